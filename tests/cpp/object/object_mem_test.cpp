#include "object/object_mem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "kivstore_support.h"
#include "log_capture.h"
#include "object/allocator.h"
#include "zentho/fs/localfs.h"

namespace {

IBuffer* private_bytes(const std::string& s) {
    auto* b = new MemBuffer(s.size());
    memcpy(b->data, s.data(), s.size());
    return b;
}

std::string str(IBuffer* b) {
    std::string s(static_cast<const char*>(b->data ? b->data : ""), b->size);
    release_buffer(b);
    return s;
}

}  // namespace

TEST(DataObjectMemRO, ReadsViewsThenEmpty) {
    std::unique_ptr<IDataObject> o(new_memory_dataobject("/b/k", 10, "l", private_bytes("0123456789"), nullptr));
    ASSERT_NE(o, nullptr);
    IBuffer* b = o->read(UINT64_MAX);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->release(), -1);  // a view: the caller deletes it, the bytes stay
    EXPECT_EQ(std::string(static_cast<char*>(b->data), b->size), "0123456789");
    delete b;
    EXPECT_EQ(str(o->read(UINT64_MAX)), "");
    EXPECT_EQ(o->seek(2, 0), 2);
    EXPECT_EQ(str(o->read(3)), "234");
    EXPECT_EQ(o->seek(0, 2), 10);
    EXPECT_EQ(str(o->read(5)), "");
    EXPECT_EQ(o->seek(20, 0), 20);  // past the end reads nothing
    EXPECT_EQ(str(o->read(5)), "");
    char buf[4];
    EXPECT_EQ(o->readinto(buf, sizeof(buf)), 0);
}

TEST(DataObjectMemRO, ReadintoClampsAndCopyKeepsBytes) {
    std::unique_ptr<IDataObject> o(new_memory_dataobject("/b/k", 6, "", private_bytes("abcdef"), nullptr));
    char buf[16] = {};
    EXPECT_EQ(o->seek(4, 0), 4);
    EXPECT_EQ(o->readinto(buf, sizeof(buf)), 2);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(o->copy(), o.get());
    o->seek(0, 0);
    EXPECT_EQ(str(o->read(UINT64_MAX)), "abcdef");
}

TEST(DataObjectMemRO, ClosedObjectReportsInvalidBuffer) {
    std::unique_ptr<IDataObject> o(new_memory_dataobject("/b/k", 3, "", private_bytes("xyz"), nullptr));
    EXPECT_EQ(o->close(), 0);
    LogCapture log;
    char c;
    errno = 0;
    EXPECT_EQ(o->readinto(&c, 1), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(o->size, -5);
    EXPECT_EQ(o->label, "invalid buffer");
    EXPECT_TRUE(log.contains("|ERROR|") && log.contains(":invalid buffer\n"));
    EXPECT_EQ(o->read(1), nullptr);
}

TEST(DataObjectMemRO, FactoryRejectsMissingBufferOrFileSystem) {
    LogCapture log;
    errno = 0;
    EXPECT_EQ(new_memory_dataobject("/b/k", 5, "", nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(new_memory_dataobject("/b/k", 0, "", nullptr, nullptr), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(log.contains("invalid param for new_memory_dataobject"));
}

TEST(DataObjectMemRO, BytesPastTheBufferNeedAStreamer) {
    // 4 bytes buffered of a 10-byte object with no way to fetch the rest
    std::unique_ptr<IDataObject> o(new_memory_dataobject("/b/k", 10, "", private_bytes("0123"), nullptr));
    char buf[10];
    LogCapture log;
    EXPECT_EQ(o->readinto(buf, 3), 3);
    EXPECT_EQ(o->readinto(buf, 3), -1);
    EXPECT_LT(o->size, 0);
}

TEST(ErrorObject, CarriesErrnoAndMessage) {
    std::unique_ptr<IDataObject> e(new_error_dataobject("/b/k", ENOENT, "failed to open [key=/b/k]"));
    EXPECT_EQ(e->size, -ENOENT);
    EXPECT_EQ(e->label, "failed to open [key=/b/k]");
    errno = 0;
    EXPECT_EQ(e->read(1), nullptr);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(e->close(), -1);
    EXPECT_EQ(e->flush(), -1);
    EXPECT_EQ(e->write("x", 1), -1);
}

TEST(TarFileDataObject, MembersLoadWholeOrFail) {
    ASSERT_EQ(0, zentho::init());  // the pool waits on a runtime semaphore
    TempDir dir;
    std::string path = dir.write("member", "0123456789abcdefghij");  // 20 bytes
    std::unique_ptr<zentho::fs::IFile> f(zentho::fs::open_localfile_adaptor(path.c_str(), O_RDONLY));
    ASSERT_TRUE(f);
    MemAllocator* pool = new MemAllocator(16, 1);
    struct Case {
        const char* name;
        zentho::fs::IFile* member;
        uint64_t size;
        bool pool_buffer;
        int64_t expect_size;
        std::string label;
        std::string key;
    } cases[] = {
        {"private buffer", f.get(), 20, false, 20, "7", "a/m.bin"},
        {"fits the pool buffer", f.get(), 12, true, 12, "7", "a/m.bin"},
        {"larger than the pool buffer", f.get(), 20, true, -ERANGE, "tar file size exceed buf size", "a/m.bin"},
        {"member shorter than its size", f.get(), 30, false, -EIO, "failed to read tar file", "a/m.bin"},
        {"no member", nullptr, 20, true, -EINVAL, "invalid param for new_tarfile_dataobject", ""},
    };
    for (auto& k : cases) {
        SCOPED_TRACE(k.name);
        LogCapture log;
        IBuffer* buf = k.pool_buffer ? pool->alloc() : nullptr;
        std::unique_ptr<IDataObject> o(new_tarfile_dataobject(k.member, "a/m.bin", k.size, buf, 7));
        ASSERT_TRUE(o);
        EXPECT_EQ(k.expect_size, o->size);
        EXPECT_EQ(k.label, o->label);
        EXPECT_EQ(k.key, o->key);
        if (o->size > 0) {
            EXPECT_EQ(std::string("0123456789abcdefghij", k.size), str(o->read(UINT64_MAX)));
        }
        o.reset();
        // the pool buffer came home whatever happened
        EXPECT_EQ(1, pool->available());
    }
    pool->stop();
    zentho::fini();
}

namespace {

class DataObjectMemROStore : public kivstore::StoreTest {};

}  // namespace

TEST_F(DataObjectMemROStore, BytesPastTheBufferAreStreamed) {
    std::string data = kivstore::pattern(100000, 11);
    ASSERT_EQ(0, put("/kiv-test/mem/obj", data));
    // loaded through a 64 KiB buffer, the rest fetched on demand
    std::unique_ptr<IDataObject> o(
        new_memory_dataobject("/kiv-test/mem/obj", 0, "lbl", new MemBuffer(65536), fs.get()));
    ASSERT_TRUE(o);
    EXPECT_EQ(100000, o->size);
    reset_counters();
    EXPECT_EQ(data.substr(0, 65536), str(o->read(65536)));
    EXPECT_EQ(0, count("GetObject"));
    o->seek(65530, 0);
    std::string rest = str(o->read(UINT64_MAX));
    EXPECT_TRUE(rest == data.substr(65530));
    EXPECT_EQ(1, count("GetObject"));
    // a whole read spans both parts
    o->seek(0, 0);
    std::string all(data.size(), 0);
    EXPECT_EQ(int64_t(data.size()), o->readinto(all.data(), all.size()));
    EXPECT_TRUE(all == data);

    // a missing key is an error object, its private buffer released
    LogCapture log;
    std::unique_ptr<IDataObject> e(new_memory_dataobject("/kiv-test/mem/none", 0, "", nullptr, fs.get()));
    ASSERT_TRUE(e);
    EXPECT_EQ(-ENOENT, e->size);
    EXPECT_EQ("failed to create memory dataobject (read data failed) [key=/kiv-test/mem/none]", e->label);
}

int main(int argc, char** argv) { return kivstore::test_main(argc, argv); }
