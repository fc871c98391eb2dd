#include "object/object_mem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "log_capture.h"

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
