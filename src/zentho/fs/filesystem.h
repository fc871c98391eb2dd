#pragma once
// Abstract file, file-system and directory interfaces. Every operation fails
// with -1 (or null) and errno; unsupported operations fail with ENOSYS.
// Objects carry no locking: one vCPU uses them unless wrapped by an executor
// proxy. Pointers returned by open, creat and opendir belong to the caller.

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <utime.h>

#include <cerrno>
#include <cstdarg>

struct fiemap;

namespace zentho {

class Object {
public:
    virtual ~Object() = default;
};

namespace fs {

#define ZENTHO_ENOSYS(ret) \
    do {                   \
        errno = ENOSYS;    \
        return ret;        \
    } while (0)

class IFileSystem;

class IStream : public Object {
public:
    virtual int close() = 0;
    virtual int shutdown(int /*how*/) { return 0; }
    virtual ssize_t read(void* buf, size_t count) = 0;
    virtual ssize_t readv(const struct iovec* iov, int iovcnt) = 0;
    // the callee may modify the array
    virtual ssize_t readv_mut(struct iovec* iov, int iovcnt) { return readv(iov, iovcnt); }
    virtual ssize_t write(const void* buf, size_t count) = 0;
    virtual ssize_t writev(const struct iovec* iov, int iovcnt) = 0;
    virtual ssize_t writev_mut(struct iovec* iov, int iovcnt) { return writev(iov, iovcnt); }
};

class IFile : public IStream {
public:
    virtual IFileSystem* filesystem() = 0;
    virtual ssize_t pread(void* buf, size_t count, off_t offset) = 0;
    virtual ssize_t preadv(const struct iovec* iov, int iovcnt, off_t offset) = 0;
    virtual ssize_t preadv_mut(struct iovec* iov, int iovcnt, off_t offset) {
        return preadv(iov, iovcnt, offset);
    }
    virtual ssize_t preadv2(const struct iovec* iov, int iovcnt, off_t offset, int /*flags*/) {
        return preadv(iov, iovcnt, offset);
    }
    virtual ssize_t preadv2_mut(struct iovec* iov, int iovcnt, off_t offset, int flags) {
        return preadv2(iov, iovcnt, offset, flags);
    }
    virtual ssize_t pwrite(const void* buf, size_t count, off_t offset) = 0;
    virtual ssize_t pwritev(const struct iovec* iov, int iovcnt, off_t offset) = 0;
    virtual ssize_t pwritev_mut(struct iovec* iov, int iovcnt, off_t offset) {
        return pwritev(iov, iovcnt, offset);
    }
    virtual ssize_t pwritev2(const struct iovec* iov, int iovcnt, off_t offset, int /*flags*/) {
        return pwritev(iov, iovcnt, offset);
    }
    virtual ssize_t pwritev2_mut(struct iovec* iov, int iovcnt, off_t offset, int flags) {
        return pwritev2(iov, iovcnt, offset, flags);
    }
    virtual off_t lseek(off_t offset, int whence) = 0;
    virtual int fsync() = 0;
    virtual int fdatasync() = 0;
    virtual int fchmod(mode_t mode) = 0;
    virtual int fchown(uid_t owner, gid_t group) = 0;
    virtual int fstat(struct stat* buf) = 0;
    virtual int ftruncate(off_t length) = 0;
    virtual int fadvise(off_t, off_t, int) { ZENTHO_ENOSYS(-1); }
    virtual int sync_file_range(off_t, off_t, unsigned) { ZENTHO_ENOSYS(-1); }
    virtual int fallocate(int, off_t, off_t) { ZENTHO_ENOSYS(-1); }
    virtual int fiemap(struct ::fiemap*) { ZENTHO_ENOSYS(-1); }
    virtual int spare_query0() { ZENTHO_ENOSYS(-1); }
    virtual int vioctl(int /*request*/, va_list /*args*/) { ZENTHO_ENOSYS(-1); }
    // local adaptors return their descriptor; nothing else implements it
    virtual int get_underlay_fd() { ZENTHO_ENOSYS(-1); }

    int ioctl(int request, ...) {
        va_list args;
        va_start(args, request);
        int r = vioctl(request, args);
        va_end(args);
        return r;
    }
};

class IFileXAttr {
public:
    virtual ~IFileXAttr() = default;
    virtual ssize_t fgetxattr(const char* name, void* value, size_t size) = 0;
    virtual ssize_t flistxattr(char* list, size_t size) = 0;
    virtual int fsetxattr(const char* name, const void* value, size_t size, int flags) = 0;
    virtual int fremovexattr(const char* name) = 0;
};

class DIR : public Object {
public:
    virtual int closedir() = 0;
    virtual struct dirent* get() = 0;
    // 1 when a new current entry exists, 0 at the end
    virtual int next() = 0;
    virtual struct dirent* readdir() {
        struct dirent* e = get();
        if (e) next();
        return e;
    }
    virtual void rewinddir() = 0;
    virtual void seekdir(long loc) = 0;
    virtual long telldir() = 0;
    virtual void* spare_query() { ZENTHO_ENOSYS(nullptr); }
};

class IFileSystem : public Object {
public:
    virtual IFile* open(const char* path, int flags) = 0;
    virtual IFile* open(const char* path, int flags, mode_t mode) = 0;
    virtual IFile* creat(const char* path, mode_t mode) = 0;
    virtual int mkdir(const char* path, mode_t mode) = 0;
    virtual int rmdir(const char* path) = 0;
    virtual int symlink(const char* oldname, const char* newname) = 0;
    virtual ssize_t readlink(const char* path, char* buf, size_t size) = 0;
    virtual int link(const char* oldname, const char* newname) = 0;
    virtual int rename(const char* oldname, const char* newname) = 0;
    virtual int unlink(const char* path) = 0;
    virtual int chmod(const char* path, mode_t mode) = 0;
    virtual int chown(const char* path, uid_t owner, gid_t group) = 0;
    virtual int lchown(const char* path, uid_t owner, gid_t group) = 0;
    virtual int statfs(const char* path, struct ::statfs* buf) = 0;
    virtual int statvfs(const char* path, struct ::statvfs* buf) = 0;
    virtual int stat(const char* path, struct ::stat* buf) = 0;
    virtual int lstat(const char* path, struct ::stat* buf) = 0;
    virtual int access(const char* path, int mode) = 0;
    virtual int truncate(const char* path, off_t length) = 0;
    virtual int utime(const char* path, const struct utimbuf* file_times) = 0;
    virtual int utimes(const char* path, const struct timeval times[2]) = 0;
    virtual int lutimes(const char* path, const struct timeval times[2]) = 0;
    virtual int mknod(const char* path, mode_t mode, dev_t dev) = 0;
    virtual int syncfs() = 0;
    // only the executor proxy answers (with itself)
    virtual void* get_underlay_object() { ZENTHO_ENOSYS(nullptr); }
    virtual DIR* opendir(const char* path) = 0;
};

class IFileSystemXAttr {
public:
    virtual ~IFileSystemXAttr() = default;
    virtual ssize_t getxattr(const char* path, const char* name, void* value, size_t size) = 0;
    virtual ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size) = 0;
    virtual ssize_t listxattr(const char* path, char* list, size_t size) = 0;
    virtual ssize_t llistxattr(const char* path, char* list, size_t size) = 0;
    virtual int setxattr(const char* path, const char* name, const void* value, size_t size,
                         int flags) = 0;
    virtual int lsetxattr(const char* path, const char* name, const void* value, size_t size,
                          int flags) = 0;
    virtual int removexattr(const char* path, const char* name) = 0;
    virtual int lremovexattr(const char* path, const char* name) = 0;
};

}  // namespace fs
}  // namespace zentho
