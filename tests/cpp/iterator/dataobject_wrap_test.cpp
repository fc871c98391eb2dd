// The in-memory loader of the prefetching iterators against the local object store.

#include "iterator/dataobject_wrap.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kivstore_support.h"
#include "object/allocator.h"
#include "object/object_mem.h"

using kivstore::take;

namespace {

class DataObjectWrapTest : public kivstore::StoreTest {};

}  // namespace

TEST_F(DataObjectWrapTest, LoadsIntoThePoolBufferAndStreamsTheRest) {
    std::string small = kivstore::pattern(1000, 1), big = kivstore::pattern(100000, 2);
    ASSERT_EQ(0, put("/kiv-test/w/small", small));
    ASSERT_EQ(0, put("/kiv-test/w/big", big));
    MemAllocator* pool = new MemAllocator(65536, 1);
    struct Case {
        const char* name;
        std::string key;
        int64_t size;  // as the caller knows it
        const std::string& data;
        int gets_after_load;  // requests for the bytes past the buffer
    } cases[] = {
        {"known size within the buffer", "/kiv-test/w/small", 1000, small, 0},
        {"unknown size within the buffer", "/kiv-test/w/small", 0, small, 0},
        {"known size past the buffer", "/kiv-test/w/big", 100000, big, 1},
        {"unknown size past the buffer", "/kiv-test/w/big", 0, big, 1},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.name);
        reset_counters();
        std::unique_ptr<IDataObject> o(new_dataobject_wrap(fs.get(), fs.get(), pool->alloc(), k.key, "lbl", k.size));
        ASSERT_TRUE(o);
        EXPECT_EQ(k.key, o->key);
        EXPECT_EQ("lbl", o->label);
        ASSERT_EQ(int64_t(k.data.size()), o->size);
        // one ranged read loads it: neither a stat nor a second read
        EXPECT_EQ(1, count("total"));
        reset_counters();
        EXPECT_TRUE(take(o->read(UINT64_MAX)) == k.data);
        EXPECT_EQ(k.gets_after_load, count("GetObject"));
        EXPECT_EQ(0, pool->available());
        o.reset();
        EXPECT_EQ(1, pool->available());
    }
    pool->stop();
}

TEST_F(DataObjectWrapTest, AnUnreadableObjectIsAnErrorObjectAndTheBufferGoesHome) {
    MemAllocator* pool = new MemAllocator(4096, 1);
    LogCapture log(zentho::ALOG_WARN);
    reset_counters();
    std::unique_ptr<IDataObject> o(new_dataobject_wrap(fs.get(), fs.get(), pool->alloc(), "/kiv-test/w/none", "l", 10));
    ASSERT_TRUE(o);
    EXPECT_EQ("/kiv-test/w/none", o->key);
    EXPECT_EQ(-ENOENT, o->size);
    EXPECT_EQ("failed to read object", o->label);
    EXPECT_EQ(4, count("GetObject"));
    EXPECT_TRUE(log.contains("failed to pread, retry [size=10][res=-1]"));
    EXPECT_TRUE(log.contains("failed to read object /kiv-test/w/none errno=2("));
    EXPECT_EQ(1, pool->available());
    pool->stop();
}

int main(int argc, char** argv) { return kivstore::test_main(argc, argv); }
