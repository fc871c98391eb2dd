#pragma once
// VirtualFile turns positional I/O into a stream: it keeps one offset and
// serves read/write/lseek through pread/pwrite. A subclass overrides at least
// one of pread/preadv and one of pwrite/pwritev (the defaults call each other).
// Like every file object it is used by one vCPU at a time.

#include <cstdint>

#include "zentho/fs/filesystem.h"

namespace zentho {
namespace fs {

class VirtualFile : public IFile {
public:
    // A positive result advances the offset by the bytes transferred.
    ssize_t read(void* buf, size_t count) override;
    ssize_t readv(const struct iovec* iov, int iovcnt) override;
    ssize_t write(const void* buf, size_t count) override;
    ssize_t writev(const struct iovec* iov, int iovcnt) override;
    // No bounds are enforced; SEEK_END asks fstat for the size.
    off_t lseek(off_t offset, int whence) override;

    ssize_t pread(void* buf, size_t count, off_t offset) override;
    ssize_t pwrite(const void* buf, size_t count, off_t offset) override;
    // Several elements go through one page-aligned bounce buffer and a single
    // pread or pwrite of the summed size.
    ssize_t preadv(const struct iovec* iov, int iovcnt, off_t offset) override;
    ssize_t pwritev(const struct iovec* iov, int iovcnt, off_t offset) override;

    int64_t tell() const { return m_offset; }

protected:
    int64_t m_offset = 0;
};

// Every modifying operation fails with ENOSYS.
class VirtualReadOnlyFile : public VirtualFile {
public:
    ssize_t pwrite(const void*, size_t, off_t) override { ZENTHO_ENOSYS(-1); }
    ssize_t pwritev(const struct iovec*, int, off_t) override { ZENTHO_ENOSYS(-1); }
    int fsync() override { ZENTHO_ENOSYS(-1); }
    int fdatasync() override { ZENTHO_ENOSYS(-1); }
    int fchmod(mode_t) override { ZENTHO_ENOSYS(-1); }
    int fchown(uid_t, gid_t) override { ZENTHO_ENOSYS(-1); }
    int ftruncate(off_t) override { ZENTHO_ENOSYS(-1); }
};

}  // namespace fs
}  // namespace zentho
