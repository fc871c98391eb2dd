#include "zentho/fs/localfs.h"

#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "zentho/common/logger.h"
#include "zentho/thread/thread.h"

namespace zentho {
namespace fs {

namespace {

// Lets the vCPU's other coroutines run before the OS thread blocks.
inline void yield_if_vcpu() {
    if (CURRENT) thread_yield();
}

int engine_flags(int ioengine) { return ioengine == ioengine_libaio ? O_DIRECT : 0; }

}  // namespace

PsyncFileAdaptor::~PsyncFileAdaptor() {
    if (m_fd >= 0) ::close(m_fd);
}

int PsyncFileAdaptor::close() {
    if (m_fd < 0) return 0;
    int r = ::close(m_fd);
    if (r == 0) m_fd = -1;
    return r;
}

ssize_t PsyncFileAdaptor::read(void* buf, size_t count) {
    yield_if_vcpu();
    return ::read(m_fd, buf, count);
}
ssize_t PsyncFileAdaptor::readv(const struct iovec* iov, int iovcnt) {
    yield_if_vcpu();
    return ::readv(m_fd, iov, iovcnt);
}
ssize_t PsyncFileAdaptor::write(const void* buf, size_t count) {
    yield_if_vcpu();
    return ::write(m_fd, buf, count);
}
ssize_t PsyncFileAdaptor::writev(const struct iovec* iov, int iovcnt) {
    yield_if_vcpu();
    return ::writev(m_fd, iov, iovcnt);
}
ssize_t PsyncFileAdaptor::pread(void* buf, size_t count, off_t offset) {
    yield_if_vcpu();
    return ::pread(m_fd, buf, count, offset);
}
ssize_t PsyncFileAdaptor::preadv(const struct iovec* iov, int iovcnt, off_t offset) {
    yield_if_vcpu();
    return ::preadv(m_fd, iov, iovcnt, offset);
}
ssize_t PsyncFileAdaptor::pwrite(const void* buf, size_t count, off_t offset) {
    yield_if_vcpu();
    return ::pwrite(m_fd, buf, count, offset);
}
ssize_t PsyncFileAdaptor::pwritev(const struct iovec* iov, int iovcnt, off_t offset) {
    yield_if_vcpu();
    return ::pwritev(m_fd, iov, iovcnt, offset);
}
int PsyncFileAdaptor::fsync() {
    yield_if_vcpu();
    return ::fsync(m_fd);
}
int PsyncFileAdaptor::fdatasync() {
    yield_if_vcpu();
    return ::fdatasync(m_fd);
}
int PsyncFileAdaptor::sync_file_range(off_t offset, off_t nbytes, unsigned flags) {
    yield_if_vcpu();
    return ::sync_file_range(m_fd, offset, nbytes, flags);
}

off_t PsyncFileAdaptor::lseek(off_t offset, int whence) { return ::lseek(m_fd, offset, whence); }
int PsyncFileAdaptor::fchmod(mode_t mode) { return ::fchmod(m_fd, mode); }
int PsyncFileAdaptor::fchown(uid_t owner, gid_t group) { return ::fchown(m_fd, owner, group); }
int PsyncFileAdaptor::fstat(struct stat* buf) { return ::fstat(m_fd, buf); }
int PsyncFileAdaptor::ftruncate(off_t length) { return ::ftruncate(m_fd, length); }
int PsyncFileAdaptor::fadvise(off_t offset, off_t len, int advice) {
    // posix_fadvise answers with the error number instead of errno
    int e = ::posix_fadvise(m_fd, offset, len, advice);
    if (e == 0) return 0;
    errno = e;
    return -1;
}
int PsyncFileAdaptor::fallocate(int mode, off_t offset, off_t len) { return ::fallocate(m_fd, mode, offset, len); }
int PsyncFileAdaptor::fiemap(struct ::fiemap* map) { return ::ioctl(m_fd, FS_IOC_FIEMAP, map); }

ssize_t PsyncFileAdaptor::fgetxattr(const char* name, void* value, size_t size) {
    return ::fgetxattr(m_fd, name, value, size);
}
ssize_t PsyncFileAdaptor::flistxattr(char* list, size_t size) { return ::flistxattr(m_fd, list, size); }
int PsyncFileAdaptor::fsetxattr(const char* name, const void* value, size_t size, int flags) {
    return ::fsetxattr(m_fd, name, value, size, flags);
}
int PsyncFileAdaptor::fremovexattr(const char* name) { return ::fremovexattr(m_fd, name); }

// ---- file system ----------------------------------------------------------------

IFile* LocalFileSystemAdaptor::wrap(int fd, const char* path) {
    if (fd < 0) {
        LOG_ERROR("failed to open/create file ", path, " ", ERRNO());
        return nullptr;
    }
    return new PsyncFileAdaptor(fd, this);
}

IFile* LocalFileSystemAdaptor::open(const char* path, int flags) {
    return wrap(::open(path, flags | engine_flags(m_ioengine)), path);
}
IFile* LocalFileSystemAdaptor::open(const char* path, int flags, mode_t mode) {
    return wrap(::open(path, flags | engine_flags(m_ioengine), mode), path);
}
IFile* LocalFileSystemAdaptor::creat(const char* path, mode_t mode) {
    int flags = O_CREAT | O_WRONLY | O_TRUNC | engine_flags(m_ioengine);
    return wrap(::open(path, flags, mode), path);
}

int LocalFileSystemAdaptor::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int LocalFileSystemAdaptor::rmdir(const char* path) { return ::rmdir(path); }
int LocalFileSystemAdaptor::symlink(const char* oldname, const char* newname) { return ::symlink(oldname, newname); }
ssize_t LocalFileSystemAdaptor::readlink(const char* path, char* buf, size_t size) {
    return ::readlink(path, buf, size);
}
int LocalFileSystemAdaptor::link(const char* oldname, const char* newname) { return ::link(oldname, newname); }
int LocalFileSystemAdaptor::rename(const char* oldname, const char* newname) { return ::rename(oldname, newname); }
int LocalFileSystemAdaptor::unlink(const char* path) { return ::unlink(path); }
int LocalFileSystemAdaptor::chmod(const char* path, mode_t mode) { return ::chmod(path, mode); }
int LocalFileSystemAdaptor::chown(const char* path, uid_t owner, gid_t group) { return ::chown(path, owner, group); }
int LocalFileSystemAdaptor::lchown(const char* path, uid_t owner, gid_t group) { return ::lchown(path, owner, group); }
int LocalFileSystemAdaptor::statfs(const char* path, struct ::statfs* buf) { return ::statfs(path, buf); }
int LocalFileSystemAdaptor::statvfs(const char* path, struct ::statvfs* buf) { return ::statvfs(path, buf); }
int LocalFileSystemAdaptor::stat(const char* path, struct ::stat* buf) { return ::stat(path, buf); }
int LocalFileSystemAdaptor::lstat(const char* path, struct ::stat* buf) { return ::lstat(path, buf); }
int LocalFileSystemAdaptor::access(const char* path, int mode) { return ::access(path, mode); }
int LocalFileSystemAdaptor::truncate(const char* path, off_t length) { return ::truncate(path, length); }
int LocalFileSystemAdaptor::utime(const char* path, const struct utimbuf* file_times) {
    return ::utime(path, file_times);
}
int LocalFileSystemAdaptor::utimes(const char* path, const struct timeval times[2]) { return ::utimes(path, times); }
int LocalFileSystemAdaptor::lutimes(const char* path, const struct timeval times[2]) {
    return ::lutimes(path, times);
}
int LocalFileSystemAdaptor::mknod(const char* path, mode_t mode, dev_t dev) { return ::mknod(path, mode, dev); }
int LocalFileSystemAdaptor::syncfs() {
    ::sync();
    return 0;
}

DIR* LocalFileSystemAdaptor::opendir(const char* path) {
    ::DIR* d = ::opendir(path);
    if (!d) return nullptr;
    return new LocalDIR(d);
}

ssize_t LocalFileSystemAdaptor::getxattr(const char* path, const char* name, void* value, size_t size) {
    return ::getxattr(path, name, value, size);
}
ssize_t LocalFileSystemAdaptor::lgetxattr(const char* path, const char* name, void* value, size_t size) {
    return ::lgetxattr(path, name, value, size);
}
ssize_t LocalFileSystemAdaptor::listxattr(const char* path, char* list, size_t size) {
    return ::listxattr(path, list, size);
}
ssize_t LocalFileSystemAdaptor::llistxattr(const char* path, char* list, size_t size) {
    return ::llistxattr(path, list, size);
}
int LocalFileSystemAdaptor::setxattr(const char* path, const char* name, const void* value, size_t size, int flags) {
    return ::setxattr(path, name, value, size, flags);
}
int LocalFileSystemAdaptor::lsetxattr(const char* path, const char* name, const void* value, size_t size,
                                      int flags) {
    return ::lsetxattr(path, name, value, size, flags);
}
int LocalFileSystemAdaptor::removexattr(const char* path, const char* name) { return ::removexattr(path, name); }
int LocalFileSystemAdaptor::lremovexattr(const char* path, const char* name) { return ::lremovexattr(path, name); }

// ---- directory --------------------------------------------------------------------

LocalDIR::LocalDIR(::DIR* dirp) : m_dirp(dirp) { position(); }

LocalDIR::~LocalDIR() {
    if (m_dirp) ::closedir(m_dirp);
}

void LocalDIR::position() {
    m_loc = ::telldir(m_dirp);
    m_entry = ::readdir(m_dirp);
}

int LocalDIR::closedir() {
    if (m_dirp && ::closedir(m_dirp) == 0) m_dirp = nullptr;
    m_entry = nullptr;  // the entry lived in the stream's memory
    return 0;
}

int LocalDIR::next() {
    if (!m_dirp) return m_entry ? 1 : 0;
    if (m_entry) position();
    return m_entry ? 1 : 0;
}

void LocalDIR::rewinddir() {
    if (!m_dirp) return;
    ::rewinddir(m_dirp);
    position();
}

void LocalDIR::seekdir(long loc) {
    if (!m_dirp) return;
    ::seekdir(m_dirp, loc);
    position();
}

// ---- factories --------------------------------------------------------------------

IFile* new_localfile_adaptor(int fd, int ioengine) {
    if (fd < 0) LOG_ERROR_RETURN(EINVAL, nullptr, "invalid fd: ", fd);
    // the kernel-AIO and POSIX-AIO submission paths are not built: every
    // engine is served by blocking calls (engine 1 keeps its O_DIRECT)
    (void)ioengine;
    return new PsyncFileAdaptor(fd, nullptr);
}

IFile* open_localfile_adaptor(const char* path, int flags, mode_t mode, int ioengine) {
    flags |= engine_flags(ioengine);
    int fd = ::open(path, flags, mode);
    if (fd < 0) {
        LOG_ERROR("failed to ::open('", path, "', ", flags, ", ", mode, ") ", ERRNO());
        return nullptr;
    }
    return new_localfile_adaptor(fd, ioengine);
}

IFileSystem* new_local_file_system(const char* root_path, int ioengine) {
    if (root_path && *root_path)
        LOG_ERROR_RETURN(ENOSYS, nullptr, "a local file system confined to a root is not available ",
                         VALUE(root_path));
    return new LocalFileSystemAdaptor(ioengine);
}

int mkdir_parents(IFileSystem* fs, const char* path, mode_t mode) {
    if (!path || !*path) return 0;
    char buf[4096];
    size_t len = strlen(path);
    size_t lead = path[0] == '/' ? 0 : 1;
    if (len + lead >= sizeof(buf)) LOG_ERROR_RETURN(ENAMETOOLONG, -1, "path too long to create ", VALUE(len));
    buf[0] = '/';
    memcpy(buf + lead, path, len + 1);
    for (char* p = buf + 1; *p; ++p) {
        if (*p != '/') continue;
        *p = '\0';
        int r = fs->mkdir(buf, mode);
        *p = '/';
        if (r < 0 && errno != EEXIST) return -1;
    }
    return 0;
}

}  // namespace fs
}  // namespace zentho
