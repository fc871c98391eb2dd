// The listing iterator against the local object store.

#include "iterator/kiv_list_iterator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "kivstore_support.h"
#include "zentho/thread/current.h"

namespace {

class KivListIteratorTest : public kivstore::StoreTest {
protected:
    // n keys prefix + "k0000".. as server-side copies of one 3-byte object.
    void make_keys(const std::string& prefix, int n) {
        ASSERT_EQ(0, put("/kiv-test/" + prefix + "seed", "abc"));
        for (int i = 1; i < n; i++) {
            char name[16];
            snprintf(name, sizeof(name), "k%04d", i);
            ASSERT_EQ(0, copy("kiv-test", prefix + name, "/kiv-test/" + prefix + "seed"));
        }
    }
    std::unique_ptr<IDataObjectIterator> list(const std::string& prefix, bool fast = false) {
        return std::unique_ptr<IDataObjectIterator>(
            new_kiv_iterator(fs.get(), fs.get(), "kiv-test", prefix, fast, 16, 1));
    }
};

}  // namespace

TEST_F(KivListIteratorTest, PagesYieldEveryDataObjectOnce) {
    make_keys("many/", 1100);
    ASSERT_EQ(0, fs->mkdir("/kiv-test/many/dir", 0755));   // "many/dir/", empty
    ASSERT_EQ(0, put("/kiv-test/many/full-dir/", "xyz"));  // ends in "/" though not empty
    ASSERT_EQ(0, put("/kiv-test/many/empty", ""));
    for (bool fast : {false, true}) {
        SCOPED_TRACE(fast ? "fast" : "plain");
        reset_counters();
        auto it = list("many/", fast);
        ASSERT_TRUE(it);
        EXPECT_EQ(0u, it->length);
        EXPECT_FALSE(it->include_errors);
        std::map<std::string, int> seen;
        std::unique_ptr<IDataObject> first;
        while (IDataObject* o = it->next()) {
            EXPECT_EQ(3, o->size) << o->key;
            EXPECT_EQ("", o->label);
            seen[o->key]++;
            if (!first)
                first.reset(o);
            else
                delete o;
        }
        EXPECT_EQ(nullptr, it->next());
        EXPECT_EQ(1100u, seen.size());
        for (auto& [key, n] : seen) EXPECT_EQ(1, n) << key;
        EXPECT_EQ(1u, seen.count("/kiv-test/many/seed"));
        EXPECT_EQ(1u, seen.count("/kiv-test/many/k1099"));
        EXPECT_EQ(2, count("ListObjectsV2"));
        EXPECT_EQ(1100u, static_cast<KivListIterator*>(it.get())->list_count());
        // listed objects open nothing until read; they read through the object file system
        EXPECT_EQ(0, count("GetObject") + count("HeadObject"));
        auto* b = first->read(UINT64_MAX);
        ASSERT_NE(nullptr, b);
        EXPECT_EQ("abc", std::string(static_cast<char*>(b->data), b->size));
        release_buffer(b);
    }
}

TEST_F(KivListIteratorTest, EmptyPrefixEndsAtOnce) {
    auto it = list("nothing-here/");
    EXPECT_EQ(nullptr, it->next());
    EXPECT_EQ(nullptr, it->next());
}

TEST_F(KivListIteratorTest, ListingErrorComesAfterTheListedObjects) {
    make_keys("err/", 1100);
    // the second page fails on every attempt
    rule(R"({"op":"ListObjectsV2","skip":1,"count":4,"status":500,"code":"InternalError"})");
    LogCapture log(zentho::ALOG_INFO);
    auto it = list("err/");
    int objects = 0;
    IDataObject* o;
    while ((o = it->next()) && !o->key.empty()) {
        EXPECT_GT(o->size, 0);
        objects++;
        delete o;
    }
    EXPECT_EQ(1000, objects);
    ASSERT_NE(nullptr, o);
    EXPECT_EQ("", o->key);
    EXPECT_EQ(-EIO, o->size);
    EXPECT_EQ("failed to list objects", o->label);
    delete o;
    EXPECT_EQ(nullptr, it->next());
    it.reset();
    EXPECT_TRUE(log.contains("list error, break"));
    EXPECT_FALSE(log.contains("kiv list objects finished"));
}

TEST_F(KivListIteratorTest, DestroyWhileListingStopsPromptlyAndKeepsHandedOutObjects) {
    // three pages, so that the listing never ends by itself here
    make_keys("stop/", 2100);
    ASSERT_NE("", store->control("PUT", "/settings", R"({"list_page_delay_ms":300})"));
    // taken: 1 while the first page is being queued, 1000 while the second is on its way
    for (int taken : {1, 1000}) {
        SCOPED_TRACE(taken);
        LogCapture log(zentho::ALOG_INFO);
        auto it = list("stop/");
        std::unique_ptr<IDataObject> held(it->next());
        ASSERT_TRUE(held);
        for (int i = 1; i < taken; i++) {
            std::unique_ptr<IDataObject> o(it->next());
            ASSERT_TRUE(o && !o->key.empty());
        }
        uint64_t t0 = zentho::update_now();
        it.reset();
        uint64_t took = zentho::update_now() - t0;
        EXPECT_LT(took, 5000000u);
        // every listed object was handed out or destroyed with the queue
        std::string text = log.text();
        size_t at = text.find("destruct KivListIterator");
        ASSERT_NE(std::string::npos, at) << text;
        int cleared = 0;
        for (int i = 0; i < 2; i++) {
            at = text.find("clear_queue:[count=", at);
            ASSERT_NE(std::string::npos, at) << text;
            cleared += atoi(text.c_str() + at + strlen("clear_queue:[count="));
            at++;
        }
        at = text.find("destruct KivListIterator done [list_from_kiv_count=");
        ASSERT_NE(std::string::npos, at) << text;
        int listed = atoi(text.c_str() + at + strlen("destruct KivListIterator done [list_from_kiv_count="));
        EXPECT_NE(std::string::npos, text.find("[list_count=" + std::to_string(taken) + "]"));
        EXPECT_EQ(listed, taken + cleared);
        // the page that arrived after the stop added nothing
        if (taken == 1000) { EXPECT_EQ(1000, listed); }
        EXPECT_FALSE(log.contains("kiv list objects finished"));
        auto* b = held->read(UINT64_MAX);
        ASSERT_NE(nullptr, b);
        EXPECT_EQ("abc", std::string(static_cast<char*>(b->data), b->size));
        release_buffer(b);
    }
    store->control("PUT", "/settings", R"({"list_page_delay_ms":0})");
}

int main(int argc, char** argv) { return kivstore::test_main(argc, argv); }
