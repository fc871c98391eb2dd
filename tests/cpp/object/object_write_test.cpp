#include "object/object_write.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>
#include <sstream>

#include "kivstore_support.h"
#include "log_capture.h"
#include "zentho/fs/forwardfs.h"
#include "zentho/fs/localfs.h"
#include "zentho/thread/thread.h"

using namespace zentho::fs;

namespace {

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A local file whose sequential writes fail after `budget` bytes, or whose
// close (the upload's completion) fails.
struct FaultyFile : ForwardFileBase_Ownership {
    FaultyFile(IFile* f, int64_t budget, bool fail_close)
        : ForwardFileBase_Ownership(f, true), m_budget(budget), m_fail_close(fail_close) {}
    ssize_t write(const void* buf, size_t n) override {
        if (!spend(n)) return -1;
        return ForwardFileBase_Ownership::write(buf, n);
    }
    ssize_t writev(const struct iovec* iov, int iovcnt) override {
        size_t n = 0;
        for (int i = 0; i < iovcnt; ++i) n += iov[i].iov_len;
        if (!spend(n)) return -1;
        return ForwardFileBase_Ownership::writev(iov, iovcnt);
    }
    bool spend(size_t n) {
        if (m_budget >= 0 && int64_t(n) > m_budget) {
            errno = EIO;
            return false;
        }
        if (m_budget >= 0) m_budget -= int64_t(n);
        return true;
    }
    int close() override {
        int r = ForwardFileBase_Ownership::close();
        if (m_fail_close) {
            errno = EPERM;
            return -1;
        }
        return r;
    }
    int64_t m_budget;
    bool m_fail_close;
};

struct FaultyFS : ForwardFSBase_Ownership {
    FaultyFS(int64_t budget, bool fail_close)
        : ForwardFSBase_Ownership(new_local_file_system(), true), m_budget(budget), m_fail_close(fail_close) {}
    IFile* open(const char* path, int flags, mode_t mode) override {
        IFile* f = ForwardFSBase_Ownership::open(path, flags & ~DataObjectWrite::O_MULTIPART_UPLOAD, mode);
        return f ? new FaultyFile(f, m_budget, m_fail_close) : nullptr;
    }
    int64_t m_budget;
    bool m_fail_close;
};

struct Runtime {
    Runtime() { EXPECT_EQ(zentho::init(), 0); }
    ~Runtime() { zentho::fini(); }
};

}  // namespace

TEST(DataObjectWrite, UnevenWritesThroughASmallRingArriveInOrder) {
    Runtime rt;
    TempDir dir;
    FaultyFS fs(-1, false);
    std::string path = dir.path() + "/ckpt";
    std::string expect;
    std::mt19937 rng(7);
    {
        // ring of 64 KiB, slices of 5000 bytes, parts of 4096 bytes, 4 workers
        DataObjectWrite w(path, &fs, 5000, 4096, 4, 64 * 1024);
        for (int i = 0; i < 200; ++i) {
            std::string piece(rng() % 20000, '\0');
            for (auto& c : piece) c = char(rng());
            expect += piece;
            ASSERT_EQ(w.write(piece.data(), piece.size()), int64_t(piece.size()));
        }
        EXPECT_EQ(w.close(), 0);
        EXPECT_EQ(w.total_write_count(), expect.size());
    }
    std::string got = read_all(path);
    ASSERT_EQ(got.size(), expect.size());
    EXPECT_TRUE(got == expect);
}

TEST(DataObjectWrite, ZeroBytesGiveAnEmptyObject) {
    Runtime rt;
    TempDir dir;
    FaultyFS fs(-1, false);
    std::string path = dir.path() + "/empty";
    DataObjectWrite w(path, &fs, 1024, 1024, 2, 4096);
    EXPECT_EQ(w.write("", 0), 0);
    EXPECT_EQ(w.close(), 0);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST(DataObjectWrite, FailedUploadFailsLaterWritesAndClose) {
    Runtime rt;
    TempDir dir;
    FaultyFS fs(8192, false);  // the third part fails
    std::string path = dir.path() + "/fail";
    DataObjectWrite w(path, &fs, 4096, 4096, 2, 16384);
    std::string block(4096, 'x');
    LogCapture log(zentho::ALOG_ERROR);
    int64_t r = 0;
    for (int i = 0; i < 64 && r >= 0; ++i) r = w.write(block.data(), block.size());
    EXPECT_EQ(r, -1);
    EXPECT_EQ(w.label, "failed to write buffer [key=" + path + "][wc=-2]");
    EXPECT_TRUE(log.contains("write kiv failed "));
    EXPECT_EQ(w.close(), -1);
    EXPECT_EQ(w.size, -5);
    EXPECT_EQ(w.label, "upload failed [key=" + path + "]");
}

TEST(DataObjectWrite, RefusedCompletionIsAFailure) {
    Runtime rt;
    TempDir dir;
    FaultyFS fs(-1, true);
    std::string path = dir.path() + "/refused";
    DataObjectWrite w(path, &fs, 4096, 4096, 2, 16384);
    EXPECT_EQ(w.write("abc", 3), 3);
    LogCapture log(zentho::ALOG_ERROR);
    EXPECT_EQ(w.close(), -1);
    EXPECT_EQ(w.size, -EPERM);
    EXPECT_EQ(w.label, "upload failed [key=" + path + "]");
}

TEST(DataObjectWrite, SliceLargerThanRingIsInvalid) {
    Runtime rt;
    TempDir dir;
    FaultyFS fs(-1, false);
    std::string path = dir.path() + "/big";
    DataObjectWrite w(path, &fs, 8192, 1024, 1, 4096);
    LogCapture log(zentho::ALOG_ERROR);
    std::string block(8192, 'x');
    EXPECT_EQ(w.write(block.data(), block.size()), -1);
    EXPECT_EQ(w.label, "failed to write buffer [key=" + path + "][wc=-1]");
    EXPECT_EQ(w.size, -EINVAL);
    EXPECT_TRUE(log.contains("count (8192) > capacity (4096)"));
    EXPECT_EQ(w.close(), 0);
}

namespace {

class DataObjectWriteStore : public kivstore::StoreTest {
protected:
    static constexpr uint64_t KiB = 1024, MiB = 1024 * KiB;
    int64_t stat_size(const std::string& path) {
        struct stat st;
        return fs->stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
    }
};

}  // namespace

TEST_F(DataObjectWriteStore, MultipartUploadReadsBackByteForByte) {
    std::string data = kivstore::pattern(10 * MiB + 512 * KiB, 4);
    {
        // ring of 4 MiB, slices of 256 KiB, parts of 1 MiB, 4 workers
        DataObjectWrite w("/kiv-test/ckpt/a", fs.get(), 256 * KiB, MiB, 4, 4 * MiB);
        reset_counters();
        size_t done = 0, step = 700001;
        while (done < data.size()) {
            size_t n = std::min(step, data.size() - done);
            ASSERT_EQ(int64_t(n), w.write(data.data() + done, n));
            done += n;
        }
        ASSERT_EQ(0, w.close());
        EXPECT_EQ(11, count("UploadPart"));
        EXPECT_EQ(1, count("CompleteMultipartUpload"));
    }
    EXPECT_TRUE(get("/kiv-test/ckpt/a") == data);
}

TEST_F(DataObjectWriteStore, ZeroBytesGiveAnEmptyObject) {
    ASSERT_EQ(0, put("/kiv-test/ckpt/empty", "old content"));
    DataObjectWrite w("/kiv-test/ckpt/empty", fs.get(), MiB, MiB, 2, 4 * MiB);
    EXPECT_EQ(0, w.write("", 0));
    EXPECT_EQ(0, w.close());
    EXPECT_EQ(0, stat_size("/kiv-test/ckpt/empty"));
}

TEST_F(DataObjectWriteStore, AFailedPartFailsLaterWritesAndClose) {
    // the second part is refused; the 1 MiB ring then fills up
    rule(R"({"op":"UploadPart","skip":1,"status":403,"code":"AccessDenied"})");
    const std::string key = "/kiv-test/ckpt/failed";
    DataObjectWrite w(key, fs.get(), 128 * KiB, 256 * KiB, 2, MiB);
    reset_counters();
    std::string block = kivstore::pattern(128 * KiB, 5);
    LogCapture log(zentho::ALOG_ERROR);
    int64_t r = 0;
    for (int i = 0; i < 64 && r >= 0; ++i) r = w.write(block.data(), block.size());
    EXPECT_EQ(-1, r);
    EXPECT_EQ("failed to write buffer [key=" + key + "][wc=-2]", w.label);
    EXPECT_TRUE(log.contains("write kiv failed "));
    EXPECT_EQ(-1, w.close());
    EXPECT_EQ(-5, w.size);
    EXPECT_EQ("upload failed [key=" + key + "]", w.label);
    // the parts that made it are not published as the object
    EXPECT_EQ(-1, stat_size(key));
    EXPECT_EQ(1, count("AbortMultipartUpload"));
    EXPECT_EQ(0, count("CompleteMultipartUpload"));
}

TEST_F(DataObjectWriteStore, ARefusedCompletionFailsClose) {
    rule(R"({"op":"CompleteMultipartUpload","status":403,"code":"AccessDenied"})");
    const std::string key = "/kiv-test/ckpt/refused";
    DataObjectWrite w(key, fs.get(), MiB, MiB, 2, 4 * MiB);
    EXPECT_EQ(3, w.write("abc", 3));
    LogCapture log(zentho::ALOG_ERROR);
    EXPECT_EQ(-1, w.close());
    EXPECT_EQ(-EPERM, w.size);
    EXPECT_EQ("upload failed [key=" + key + "]", w.label);
    EXPECT_EQ(-1, stat_size(key));
}

int main(int argc, char** argv) { return kivstore::test_main(argc, argv); }
