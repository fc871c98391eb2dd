#pragma once
// Forwarding bases: every operation goes to a target object. Wrappers derive
// from these and override only what they change. The plain bases never close
// or delete their target; the _Ownership bases do so when their flag is set
// (the destructor deletes an owned target without closing it first).

#include "zentho/fs/filesystem.h"

namespace zentho {
namespace fs {

template <typename T = IFile>
class ForwardFileBaseT : public IFile {
public:
    explicit ForwardFileBaseT(T* file) : m_file(file) {}

    int close() override { return m_file->close(); }
    // a wrapper has no connection of its own to shut down
    int shutdown(int) override { return 0; }
    ssize_t read(void* buf, size_t count) override { return m_file->read(buf, count); }
    ssize_t readv(const struct iovec* iov, int iovcnt) override { return m_file->readv(iov, iovcnt); }
    ssize_t readv_mut(struct iovec* iov, int iovcnt) override { return m_file->readv_mut(iov, iovcnt); }
    ssize_t write(const void* buf, size_t count) override { return m_file->write(buf, count); }
    ssize_t writev(const struct iovec* iov, int iovcnt) override { return m_file->writev(iov, iovcnt); }
    ssize_t writev_mut(struct iovec* iov, int iovcnt) override { return m_file->writev_mut(iov, iovcnt); }

    IFileSystem* filesystem() override { return m_file->filesystem(); }
    ssize_t pread(void* buf, size_t count, off_t offset) override { return m_file->pread(buf, count, offset); }
    ssize_t preadv(const struct iovec* iov, int iovcnt, off_t offset) override {
        return m_file->preadv(iov, iovcnt, offset);
    }
    ssize_t preadv_mut(struct iovec* iov, int iovcnt, off_t offset) override {
        return m_file->preadv_mut(iov, iovcnt, offset);
    }
    ssize_t preadv2(const struct iovec* iov, int iovcnt, off_t offset, int flags) override {
        return m_file->preadv2(iov, iovcnt, offset, flags);
    }
    ssize_t preadv2_mut(struct iovec* iov, int iovcnt, off_t offset, int flags) override {
        return m_file->preadv2_mut(iov, iovcnt, offset, flags);
    }
    ssize_t pwrite(const void* buf, size_t count, off_t offset) override {
        return m_file->pwrite(buf, count, offset);
    }
    ssize_t pwritev(const struct iovec* iov, int iovcnt, off_t offset) override {
        return m_file->pwritev(iov, iovcnt, offset);
    }
    ssize_t pwritev_mut(struct iovec* iov, int iovcnt, off_t offset) override {
        return m_file->pwritev_mut(iov, iovcnt, offset);
    }
    ssize_t pwritev2(const struct iovec* iov, int iovcnt, off_t offset, int flags) override {
        return m_file->pwritev2(iov, iovcnt, offset, flags);
    }
    ssize_t pwritev2_mut(struct iovec* iov, int iovcnt, off_t offset, int flags) override {
        return m_file->pwritev2_mut(iov, iovcnt, offset, flags);
    }
    off_t lseek(off_t offset, int whence) override { return m_file->lseek(offset, whence); }
    int fsync() override { return m_file->fsync(); }
    int fdatasync() override { return m_file->fdatasync(); }
    int fchmod(mode_t mode) override { return m_file->fchmod(mode); }
    int fchown(uid_t owner, gid_t group) override { return m_file->fchown(owner, group); }
    int fstat(struct stat* buf) override { return m_file->fstat(buf); }
    int ftruncate(off_t length) override { return m_file->ftruncate(length); }
    int fadvise(off_t offset, off_t len, int advice) override { return m_file->fadvise(offset, len, advice); }
    int sync_file_range(off_t offset, off_t nbytes, unsigned flags) override {
        return m_file->sync_file_range(offset, nbytes, flags);
    }
    int fallocate(int mode, off_t offset, off_t len) override { return m_file->fallocate(mode, offset, len); }
    int fiemap(struct ::fiemap* map) override { return m_file->fiemap(map); }
    int vioctl(int request, va_list args) override { return m_file->vioctl(request, args); }

    T* target() const { return m_file; }

protected:
    T* m_file;
};

template <typename T = IFile>
class ForwardFileBase_OwnershipT : public ForwardFileBaseT<T> {
public:
    ForwardFileBase_OwnershipT(T* file, bool ownership) : ForwardFileBaseT<T>(file), m_ownership(ownership) {}
    ~ForwardFileBase_OwnershipT() override {
        if (m_ownership) delete this->m_file;
    }
    // a borrowed target stays open for its owner
    int close() override { return m_ownership ? this->m_file->close() : 0; }

protected:
    bool m_ownership;
};

template <typename T = IFileSystem>
class ForwardFSBaseT : public IFileSystem {
public:
    explicit ForwardFSBaseT(T* fs) : m_fs(fs) {}

    IFile* open(const char* path, int flags) override { return m_fs->open(path, flags); }
    IFile* open(const char* path, int flags, mode_t mode) override { return m_fs->open(path, flags, mode); }
    IFile* creat(const char* path, mode_t mode) override { return m_fs->creat(path, mode); }
    int mkdir(const char* path, mode_t mode) override { return m_fs->mkdir(path, mode); }
    int rmdir(const char* path) override { return m_fs->rmdir(path); }
    int symlink(const char* oldname, const char* newname) override { return m_fs->symlink(oldname, newname); }
    ssize_t readlink(const char* path, char* buf, size_t size) override { return m_fs->readlink(path, buf, size); }
    int link(const char* oldname, const char* newname) override { return m_fs->link(oldname, newname); }
    int rename(const char* oldname, const char* newname) override { return m_fs->rename(oldname, newname); }
    int unlink(const char* path) override { return m_fs->unlink(path); }
    int chmod(const char* path, mode_t mode) override { return m_fs->chmod(path, mode); }
    int chown(const char* path, uid_t owner, gid_t group) override { return m_fs->chown(path, owner, group); }
    int lchown(const char* path, uid_t owner, gid_t group) override { return m_fs->lchown(path, owner, group); }
    int statfs(const char* path, struct ::statfs* buf) override { return m_fs->statfs(path, buf); }
    int statvfs(const char* path, struct ::statvfs* buf) override { return m_fs->statvfs(path, buf); }
    int stat(const char* path, struct ::stat* buf) override { return m_fs->stat(path, buf); }
    int lstat(const char* path, struct ::stat* buf) override { return m_fs->lstat(path, buf); }
    int access(const char* path, int mode) override { return m_fs->access(path, mode); }
    int truncate(const char* path, off_t length) override { return m_fs->truncate(path, length); }
    int utime(const char* path, const struct utimbuf* file_times) override { return m_fs->utime(path, file_times); }
    int utimes(const char* path, const struct timeval times[2]) override { return m_fs->utimes(path, times); }
    int lutimes(const char* path, const struct timeval times[2]) override { return m_fs->lutimes(path, times); }
    int mknod(const char* path, mode_t mode, dev_t dev) override { return m_fs->mknod(path, mode, dev); }
    int syncfs() override { return m_fs->syncfs(); }
    DIR* opendir(const char* path) override { return m_fs->opendir(path); }

    T* target() const { return m_fs; }

protected:
    T* m_fs;
};

template <typename T = IFileSystem>
class ForwardFSBase_OwnershipT : public ForwardFSBaseT<T> {
public:
    ForwardFSBase_OwnershipT(T* fs, bool ownership) : ForwardFSBaseT<T>(fs), m_ownership(ownership) {}
    ~ForwardFSBase_OwnershipT() override {
        if (m_ownership) delete this->m_fs;
    }

protected:
    bool m_ownership;
};

using ForwardFileBase = ForwardFileBaseT<IFile>;
using ForwardFileBase_Ownership = ForwardFileBase_OwnershipT<IFile>;
using ForwardFSBase = ForwardFSBaseT<IFileSystem>;
using ForwardFSBase_Ownership = ForwardFSBase_OwnershipT<IFileSystem>;

}  // namespace fs
}  // namespace zentho
