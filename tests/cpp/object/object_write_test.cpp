#include "object/object_write.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <random>
#include <sstream>

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
        if (m_budget >= 0 && int64_t(n) > m_budget) {
            errno = EIO;
            return -1;
        }
        if (m_budget >= 0) m_budget -= int64_t(n);
        return ForwardFileBase_Ownership::write(buf, n);
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
