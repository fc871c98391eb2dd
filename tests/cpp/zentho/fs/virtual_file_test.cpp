#include "zentho/fs/virtual-file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "log_capture.h"
#include "zentho/fs/forwardfs.h"
#include "zentho/fs/localfs.h"

using namespace zentho::fs;

namespace {

// A file over a string that overrides only pread and pwrite and records them.
struct MemFile : VirtualFile {
    std::string bytes;
    bool fstat_fails = false;
    struct Call {
        size_t count;
        off_t offset;
        bool operator==(const Call&) const = default;
    };
    std::vector<Call> preads, pwrites;
    int closes = 0;
    bool* deleted = nullptr;

    explicit MemFile(std::string b) : bytes(std::move(b)) {}
    ~MemFile() override {
        if (deleted) *deleted = true;
    }
    ssize_t pread(void* buf, size_t count, off_t offset) override {
        preads.push_back({count, offset});
        if (offset < 0) {
            errno = EINVAL;
            return -1;
        }
        if (size_t(offset) >= bytes.size()) return 0;
        size_t n = std::min(count, bytes.size() - size_t(offset));
        memcpy(buf, bytes.data() + offset, n);
        return ssize_t(n);
    }
    ssize_t pwrite(const void* buf, size_t count, off_t offset) override {
        pwrites.push_back({count, offset});
        if (bytes.size() < size_t(offset) + count) bytes.resize(size_t(offset) + count);
        memcpy(bytes.data() + offset, buf, count);
        return ssize_t(count);
    }
    int fstat(struct stat* st) override {
        if (fstat_fails) {
            errno = EIO;
            return -1;
        }
        memset(st, 0, sizeof(*st));
        st->st_size = off_t(bytes.size());
        return 0;
    }
    int close() override { return ++closes, 0; }
    IFileSystem* filesystem() override { return nullptr; }
    int fsync() override { return 0; }
    int fdatasync() override { return 0; }
    int fchmod(mode_t) override { return 0; }
    int fchown(uid_t, gid_t) override { return 0; }
    int ftruncate(off_t) override { return 0; }
};

TEST(VirtualFile, ReadAdvancesOnlyOnData) {
    MemFile f("0123456789");
    char buf[8];
    EXPECT_EQ(f.read(buf, 4), 4);
    EXPECT_EQ(f.tell(), 4);
    EXPECT_EQ(f.lseek(20, SEEK_SET), 20);
    EXPECT_EQ(f.read(buf, 4), 0);  // past the end
    EXPECT_EQ(f.tell(), 20);
    EXPECT_EQ(f.lseek(-30, SEEK_CUR), -10);
    EXPECT_EQ(f.read(buf, 4), -1);
    EXPECT_EQ(f.tell(), -10);
}

TEST(VirtualFile, Lseek) {
    struct Case {
        off_t start, off;
        int whence;
        bool fstat_fails;
        off_t ret, after;
        int err;
    } cases[] = {
        {3, 5, SEEK_SET, false, 5, 5, 0},     {3, 5, SEEK_CUR, false, 8, 8, 0},
        {3, -2, SEEK_END, false, 8, 8, 0},    {3, 0, SEEK_END, true, -1, 3, EIO},
        {3, 1, 77, false, -1, 3, EINVAL},
    };
    for (const auto& c : cases) {
        MemFile f("0123456789");
        f.lseek(c.start, SEEK_SET);
        f.fstat_fails = c.fstat_fails;
        errno = 0;
        EXPECT_EQ(f.lseek(c.off, c.whence), c.ret) << c.whence;
        EXPECT_EQ(f.tell(), c.after) << c.whence;
        if (c.ret < 0) {
            EXPECT_EQ(errno, c.err) << c.whence;
        }
    }
}

TEST(VirtualFile, VectorsGoThroughOneBouncedCall) {
    struct Case {
        std::string content;
        off_t offset;
        ssize_t ret;
        std::string a, b, c;  // element contents after the read (3 + 4 + 5 bytes)
    } cases[] = {
        {"abcdefghijklmnop", 2, 12, "cde", "fghi", "jklmn"},
        {"abcdefghij", 2, 8, "cde", "fghi", "j...."},  // short read leaves the rest
        {"abcd", 1, 3, "bcd", "....", "....."},
        {"abc", 5, 0, "...", "....", "....."},
    };
    for (const auto& c : cases) {
        MemFile f(c.content);
        GuardedBuffer e1(3), e2(4), e3(5);
        memset(e1.data(), '.', 3);
        memset(e2.data(), '.', 4);
        memset(e3.data(), '.', 5);
        struct iovec iov[3] = {{e1.data(), 3}, {e2.data(), 4}, {e3.data(), 5}};
        EXPECT_EQ(f.preadv(iov, 3, c.offset), c.ret);
        EXPECT_EQ(f.preads, (std::vector<MemFile::Call>{{12, c.offset}}));
        EXPECT_EQ(std::string(e1.data(), 3), c.a);
        EXPECT_EQ(std::string(e2.data(), 4), c.b);
        EXPECT_EQ(std::string(e3.data(), 5), c.c);
    }
    MemFile f("");
    GuardedBuffer a("xy", 2), b("z", 1);
    struct iovec iov[2] = {{a.data(), 2}, {b.data(), 1}};
    EXPECT_EQ(f.writev(iov, 2), 3);
    EXPECT_EQ(f.pwrites, (std::vector<MemFile::Call>{{3, 0}}));
    EXPECT_EQ(f.bytes, "xyz");
    EXPECT_EQ(f.tell(), 3);
    EXPECT_EQ(f.preadv(iov, 0, 0), 0);
    EXPECT_EQ(f.pwritev(iov, 1, 3), 2);  // one element: straight to pwrite
    EXPECT_EQ(f.pwrites.back(), (MemFile::Call{2, 3}));
}

struct ReadOnly : VirtualReadOnlyFile {
    ssize_t pread(void*, size_t, off_t) override { return 0; }
    int close() override { return 0; }
    IFileSystem* filesystem() override { return nullptr; }
    int fstat(struct stat*) override { return 0; }
};

TEST(VirtualFile, ReadOnlyRefusesChanges) {
    ReadOnly f;
    struct iovec v{nullptr, 0};
    int results[] = {int(f.pwrite("x", 1, 0)), int(f.pwritev(&v, 1, 0)), int(f.write("x", 1)), f.fsync(),
                     f.fdatasync(), f.fchmod(0), f.fchown(0, 0), f.ftruncate(0)};
    for (int r : results) EXPECT_EQ(r, -1);
    errno = 0;
    f.ftruncate(1);
    EXPECT_EQ(errno, ENOSYS);
}

TEST(ForwardFile, OwnershipDecidesCloseAndDelete) {
    for (bool own : {false, true}) {
        bool deleted = false;
        auto* target = new MemFile("hello");
        target->deleted = &deleted;
        auto* w = new ForwardFileBase_Ownership(target, own);
        char buf[8] = {};
        EXPECT_EQ(w->pread(buf, 5, 0), 5);
        EXPECT_EQ(w->lseek(2, SEEK_SET), 2);
        EXPECT_EQ(target->tell(), 2);  // forwarded, not the wrapper's own
        EXPECT_EQ(w->shutdown(SHUT_RDWR), 0);
        EXPECT_EQ(w->get_underlay_fd(), -1);  // spare slots stay local
        EXPECT_EQ(w->close(), 0);
        EXPECT_EQ(target->closes, own ? 1 : 0);
        delete w;
        EXPECT_EQ(deleted, own);
        if (!own) {
            EXPECT_EQ(target->pread(buf, 2, 3), 2);  // still alive and open
            delete target;
        }
    }
}

TEST(ForwardFS, ForwardsAndDeletesOwnedTarget) {
    TempDir d;
    std::string p = d.write("f", "abc");
    auto* local = new LocalFileSystemAdaptor;
    {
        ForwardFSBase_Ownership borrowed(local, false);
        struct stat st;
        EXPECT_EQ(borrowed.stat(p.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 3);
        EXPECT_EQ(borrowed.stat((d.path() + "/none").c_str(), &st), -1);
        EXPECT_EQ(errno, ENOENT);
        std::unique_ptr<IFile> f(borrowed.open(p.c_str(), O_RDONLY));
        EXPECT_EQ(f->filesystem(), local);
        errno = 0;
        EXPECT_EQ(borrowed.get_underlay_object(), nullptr);
        EXPECT_EQ(errno, ENOSYS);
    }
    struct stat st;
    EXPECT_EQ(local->stat(p.c_str(), &st), 0);  // still usable
    // an owned target goes with the wrapper (ASan reports a leak otherwise)
    delete new ForwardFSBase_Ownership(local, true);
}

}  // namespace
