#pragma once
// The machine's own files and directories behind the file-system interfaces.
// Adaptors may be used from any vCPU (one at a time) or from a plain thread;
// the psync operations block the calling OS thread for the system call.

#include "zentho/fs/filesystem.h"
#include "zentho/fs/virtual-file.h"

namespace zentho {
namespace fs {

// I/O engine selector; any other value means psync.
enum : int {
    ioengine_psync = 0,
    ioengine_libaio = 1,
    ioengine_posixaio = 2,
    ioengine_iouring = 3,
};

class BaseFileAdaptor : public VirtualFile, public IFileXAttr {
public:
    // Takes over fd; fs (may be null) is what filesystem() reports.
    BaseFileAdaptor(int fd, IFileSystem* fs) : m_fd(fd), m_fs(fs) {}
    IFileSystem* filesystem() override { return m_fs; }
    int get_underlay_fd() override { return m_fd; }

protected:
    int m_fd;  // -1 once closed
    IFileSystem* m_fs;
};

// Ordinary blocking system calls; the transfer and sync calls first yield once
// when running on a vCPU so that its other coroutines get a turn.
class PsyncFileAdaptor : public BaseFileAdaptor {
public:
    using BaseFileAdaptor::BaseFileAdaptor;
    ~PsyncFileAdaptor() override;

    // A second close returns 0.
    int close() override;
    ssize_t read(void* buf, size_t count) override;
    ssize_t readv(const struct iovec* iov, int iovcnt) override;
    ssize_t write(const void* buf, size_t count) override;
    ssize_t writev(const struct iovec* iov, int iovcnt) override;
    ssize_t pread(void* buf, size_t count, off_t offset) override;
    ssize_t preadv(const struct iovec* iov, int iovcnt, off_t offset) override;
    ssize_t pwrite(const void* buf, size_t count, off_t offset) override;
    ssize_t pwritev(const struct iovec* iov, int iovcnt, off_t offset) override;
    off_t lseek(off_t offset, int whence) override;
    int fsync() override;
    int fdatasync() override;
    int fchmod(mode_t mode) override;
    int fchown(uid_t owner, gid_t group) override;
    int fstat(struct stat* buf) override;
    int ftruncate(off_t length) override;
    int fadvise(off_t offset, off_t len, int advice) override;
    int sync_file_range(off_t offset, off_t nbytes, unsigned flags) override;
    int fallocate(int mode, off_t offset, off_t len) override;
    int fiemap(struct ::fiemap* map) override;

    ssize_t fgetxattr(const char* name, void* value, size_t size) override;
    ssize_t flistxattr(char* list, size_t size) override;
    int fsetxattr(const char* name, const void* value, size_t size, int flags) override;
    int fremovexattr(const char* name) override;
};

class LocalFileSystemAdaptor : public IFileSystem, public IFileSystemXAttr {
public:
    explicit LocalFileSystemAdaptor(int ioengine = ioengine_psync) : m_ioengine(ioengine) {}

    IFile* open(const char* path, int flags) override;
    IFile* open(const char* path, int flags, mode_t mode) override;
    IFile* creat(const char* path, mode_t mode) override;
    int mkdir(const char* path, mode_t mode) override;
    int rmdir(const char* path) override;
    int symlink(const char* oldname, const char* newname) override;
    ssize_t readlink(const char* path, char* buf, size_t size) override;
    int link(const char* oldname, const char* newname) override;
    int rename(const char* oldname, const char* newname) override;
    int unlink(const char* path) override;
    int chmod(const char* path, mode_t mode) override;
    int chown(const char* path, uid_t owner, gid_t group) override;
    int lchown(const char* path, uid_t owner, gid_t group) override;
    int statfs(const char* path, struct ::statfs* buf) override;
    int statvfs(const char* path, struct ::statvfs* buf) override;
    int stat(const char* path, struct ::stat* buf) override;
    int lstat(const char* path, struct ::stat* buf) override;
    int access(const char* path, int mode) override;
    int truncate(const char* path, off_t length) override;
    int utime(const char* path, const struct utimbuf* file_times) override;
    int utimes(const char* path, const struct timeval times[2]) override;
    int lutimes(const char* path, const struct timeval times[2]) override;
    int mknod(const char* path, mode_t mode, dev_t dev) override;
    // sync() for the whole machine; always 0
    int syncfs() override;
    DIR* opendir(const char* path) override;

    ssize_t getxattr(const char* path, const char* name, void* value, size_t size) override;
    ssize_t lgetxattr(const char* path, const char* name, void* value, size_t size) override;
    ssize_t listxattr(const char* path, char* list, size_t size) override;
    ssize_t llistxattr(const char* path, char* list, size_t size) override;
    int setxattr(const char* path, const char* name, const void* value, size_t size, int flags) override;
    int lsetxattr(const char* path, const char* name, const void* value, size_t size, int flags) override;
    int removexattr(const char* path, const char* name) override;
    int lremovexattr(const char* path, const char* name) override;

private:
    IFile* wrap(int fd, const char* path);
    int m_ioengine;
};

// A directory cursor, positioned on its first entry when opened.
class LocalDIR : public DIR {
public:
    // Takes over dirp and reads its first entry.
    explicit LocalDIR(::DIR* dirp);
    ~LocalDIR() override;
    int closedir() override;
    struct dirent* get() override { return m_entry; }
    int next() override;
    void rewinddir() override;
    void seekdir(long loc) override;
    long telldir() override { return m_loc; }

private:
    void position();

    ::DIR* m_dirp;
    struct dirent* m_entry = nullptr;
    long m_loc = 0;
};

// Opens path and wraps the descriptor; null with errno (logged) on failure.
// Engine 1 adds O_DIRECT.
IFile* open_localfile_adaptor(const char* path, int flags, mode_t mode = 0644, int ioengine = ioengine_psync);
// Wraps an open descriptor, which the adaptor then owns; null/EINVAL for fd < 0.
IFile* new_localfile_adaptor(int fd, int ioengine = ioengine_psync);
// A local file system adaptor. Confinement to a root directory is not
// available: a non-empty root fails with ENOSYS.
IFileSystem* new_local_file_system(const char* root_path = nullptr, int ioengine = ioengine_psync);
// Creates every directory of path that is followed by "/" (a relative path is
// taken from "/"); existing ones are fine. 0, or -1 with errno.
int mkdir_parents(IFileSystem* fs, const char* path, mode_t mode);

}  // namespace fs
}  // namespace zentho
