// The lazily opened streaming object against the local object store.

#include "object/object_basic.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "kivstore_support.h"

using kivstore::pattern;

using kivstore::take;

namespace {

class DataObjectBasicROTest : public kivstore::StoreTest {};

}  // namespace

TEST_F(DataObjectBasicROTest, ReadsAcrossThePieceBoundary) {
    constexpr uint64_t MiB = 1 << 20, PIECE = DataObjectBasicRO::MAX_CHUNK;
    std::string data = pattern(40 * MiB, 3);
    ASSERT_EQ(0, put("/kiv-test/big/obj", data));
    for (int64_t size : {int64_t(data.size()), int64_t(0)}) {
        SCOPED_TRACE(size);
        DataObjectBasicRO o("/kiv-test/big/obj", size, "lbl", fs.get());
        reset_counters();
        // the whole object: one piece of 32 MiB and one of 8 MiB
        std::string out(data.size(), 0);
        ASSERT_EQ(int64_t(data.size()), o.readinto(out.data(), UINT64_MAX));
        EXPECT_TRUE(out == data);
        EXPECT_EQ(int64_t(data.size()), o.tell());
        EXPECT_EQ(int64_t(data.size()), o.size);
        EXPECT_EQ(2, count("GetObject"));
        EXPECT_EQ(size ? 0 : 1, count("GetObjectMeta"));

        // a read that straddles the boundary is one piece; 33 MiB from 1 MiB are two
        reset_counters();
        ASSERT_EQ(int64_t(PIECE - 5), o.seek(-int64_t(data.size() - PIECE + 5), 1));
        EXPECT_EQ(data.substr(PIECE - 5, 10), take(o.read(10)));
        EXPECT_EQ(int64_t(PIECE + 5), o.tell());
        EXPECT_EQ(1, count("GetObject"));
        reset_counters();
        ASSERT_EQ(int64_t(MiB), o.seek(MiB, 0));
        std::string part = take(o.read(33 * MiB));
        EXPECT_TRUE(part == data.substr(MiB, 33 * MiB));
        EXPECT_EQ(2, count("GetObject"));
        // the rest only, then nothing
        ASSERT_EQ(int64_t(data.size() - 3), o.seek(-3, 2));
        char tail[16];
        EXPECT_EQ(3, o.readinto(tail, sizeof(tail)));
        EXPECT_EQ(data.substr(data.size() - 3), std::string(tail, 3));
        EXPECT_EQ("", take(o.read(UINT64_MAX)));
        // closing drops the file; the next read opens it again where it was
        EXPECT_EQ(0, o.close());
        o.seek(7, 0);
        EXPECT_EQ(data.substr(7, 5), take(o.read(5)));
    }
}

TEST_F(DataObjectBasicROTest, FailuresBecomeErrorObjects) {
    ASSERT_EQ(0, put("/kiv-test/small", "0123456789"));
    struct Case {
        const char* name;
        std::string key;
        int64_t size;
        zentho::fs::IFileSystem* fs;
        int64_t expect_size;
        std::string label;
    } cases[] = {
        {"missing, size unknown", "/kiv-test/none", 0, fs.get(), -ENOENT, "failed to stat [key=/kiv-test/none]"},
        {"missing, size known", "/kiv-test/none", 10, fs.get(), -ENOENT,
         "failed to pread [key=/kiv-test/none][pos=0][count=10][rc=-1]"},
        {"no file system", "/kiv-test/small", 10, nullptr, -ENOSYS, "fs can't be nullptr [key=/kiv-test/small]"},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.name);
        DataObjectBasicRO o(k.key, k.size, "", k.fs);
        reset_counters();
        errno = 0;
        EXPECT_EQ(nullptr, o.read(UINT64_MAX));
        EXPECT_EQ(-k.expect_size, errno);
        EXPECT_EQ(k.expect_size, o.size);
        EXPECT_EQ(k.label, o.label);
        if (k.size && k.fs) { EXPECT_EQ(4, count("GetObject")); }
        // it stays failed: a later read does not pass for an empty end of file
        char c;
        errno = 0;
        EXPECT_EQ(-1, o.readinto(&c, 1));
        EXPECT_EQ(-k.expect_size, errno);
    }
}

TEST_F(DataObjectBasicROTest, AFailedPieceIsReadAgain) {
    ASSERT_EQ(0, put("/kiv-test/flaky", "0123456789"));
    rule(R"({"op":"GetObject","key":"flaky","status":404,"count":2})");
    DataObjectBasicRO o("/kiv-test/flaky", 10, "", fs.get());
    LogCapture log(zentho::ALOG_WARN);
    reset_counters();
    EXPECT_EQ("0123456789", take(o.read(UINT64_MAX)));
    EXPECT_EQ(3, count("GetObject"));
    EXPECT_TRUE(log.contains("failed to pread, retry 2, offset 0, count 10, ret -1 "));
    EXPECT_TRUE(log.contains("failed to pread, retry 1, offset 0, count 10, ret -1 "));
}

int main(int argc, char** argv) { return kivstore::test_main(argc, argv); }
