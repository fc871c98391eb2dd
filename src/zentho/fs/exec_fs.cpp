#include "zentho/fs/exec_fs.h"

#include "zentho/common/logger.h"

namespace zentho {
namespace fs {

namespace {

class ExecForwardFS;

class ExecForwardFile : public IExecForwardFile {
public:
    ExecForwardFile(IFile* target, ExecForwardFS* fs) : IExecForwardFile(target), m_owner(fs) {}
    ~ExecForwardFile() override;

    Executor* exec();
    template <typename F>
    auto call(F&& f) -> std::invoke_result_t<F&> {
        return exec()->run_and_wait(f);
    }

    int close() override { return call([&] { return m_file->close(); }); }
    ssize_t read(void* buf, size_t count) override { return call([&] { return m_file->read(buf, count); }); }
    ssize_t readv(const struct iovec* iov, int iovcnt) override {
        return call([&] { return m_file->readv(iov, iovcnt); });
    }
    ssize_t readv_mut(struct iovec* iov, int iovcnt) override {
        return call([&] { return m_file->readv_mut(iov, iovcnt); });
    }
    ssize_t write(const void* buf, size_t count) override { return call([&] { return m_file->write(buf, count); }); }
    ssize_t writev(const struct iovec* iov, int iovcnt) override {
        return call([&] { return m_file->writev(iov, iovcnt); });
    }
    ssize_t writev_mut(struct iovec* iov, int iovcnt) override {
        return call([&] { return m_file->writev_mut(iov, iovcnt); });
    }
    // the proxy, so that callers keep going through the executor
    IFileSystem* filesystem() override;
    ssize_t pread(void* buf, size_t count, off_t offset) override {
        return call([&] { return m_file->pread(buf, count, offset); });
    }
    ssize_t preadv(const struct iovec* iov, int iovcnt, off_t offset) override {
        return call([&] { return m_file->preadv(iov, iovcnt, offset); });
    }
    ssize_t preadv_mut(struct iovec* iov, int iovcnt, off_t offset) override {
        return call([&] { return m_file->preadv_mut(iov, iovcnt, offset); });
    }
    ssize_t preadv2(const struct iovec* iov, int iovcnt, off_t offset, int flags) override {
        return call([&] { return m_file->preadv2(iov, iovcnt, offset, flags); });
    }
    ssize_t preadv2_mut(struct iovec* iov, int iovcnt, off_t offset, int flags) override {
        return call([&] { return m_file->preadv2_mut(iov, iovcnt, offset, flags); });
    }
    ssize_t pwrite(const void* buf, size_t count, off_t offset) override {
        return call([&] { return m_file->pwrite(buf, count, offset); });
    }
    ssize_t pwritev(const struct iovec* iov, int iovcnt, off_t offset) override {
        return call([&] { return m_file->pwritev(iov, iovcnt, offset); });
    }
    ssize_t pwritev_mut(struct iovec* iov, int iovcnt, off_t offset) override {
        return call([&] { return m_file->pwritev_mut(iov, iovcnt, offset); });
    }
    ssize_t pwritev2(const struct iovec* iov, int iovcnt, off_t offset, int flags) override {
        return call([&] { return m_file->pwritev2(iov, iovcnt, offset, flags); });
    }
    ssize_t pwritev2_mut(struct iovec* iov, int iovcnt, off_t offset, int flags) override {
        return call([&] { return m_file->pwritev2_mut(iov, iovcnt, offset, flags); });
    }
    off_t lseek(off_t offset, int whence) override { return call([&] { return m_file->lseek(offset, whence); }); }
    int fsync() override { return call([&] { return m_file->fsync(); }); }
    int fdatasync() override { return call([&] { return m_file->fdatasync(); }); }
    int fchmod(mode_t mode) override { return call([&] { return m_file->fchmod(mode); }); }
    int fchown(uid_t owner, gid_t group) override { return call([&] { return m_file->fchown(owner, group); }); }
    int fstat(struct stat* buf) override { return call([&] { return m_file->fstat(buf); }); }
    int ftruncate(off_t length) override { return call([&] { return m_file->ftruncate(length); }); }
    int fadvise(off_t offset, off_t len, int advice) override {
        return call([&] { return m_file->fadvise(offset, len, advice); });
    }
    int sync_file_range(off_t offset, off_t nbytes, unsigned flags) override {
        return call([&] { return m_file->sync_file_range(offset, nbytes, flags); });
    }
    int fallocate(int mode, off_t offset, off_t len) override {
        return call([&] { return m_file->fallocate(mode, offset, len); });
    }
    int fiemap(struct ::fiemap* map) override { return call([&] { return m_file->fiemap(map); }); }
    // the argument list stays on the blocked caller's stack during the call
    int vioctl(int request, va_list args) override {
        return call([&] { return m_file->vioctl(request, args); });
    }

    ssize_t fgetxattr(const char* name, void* value, size_t size) override {
        return xcall([&](IFileXAttr* x) -> ssize_t { return x->fgetxattr(name, value, size); });
    }
    ssize_t flistxattr(char* list, size_t size) override {
        return xcall([&](IFileXAttr* x) -> ssize_t { return x->flistxattr(list, size); });
    }
    int fsetxattr(const char* name, const void* value, size_t size, int flags) override {
        return int(xcall([&](IFileXAttr* x) -> ssize_t { return x->fsetxattr(name, value, size, flags); }));
    }
    int fremovexattr(const char* name) override {
        return int(xcall([&](IFileXAttr* x) -> ssize_t { return x->fremovexattr(name); }));
    }

private:
    template <typename F>
    ssize_t xcall(F&& f) {
        auto* x = dynamic_cast<IFileXAttr*>(m_file);
        if (!x) ZENTHO_ENOSYS(-1);
        return call([&] { return f(x); });
    }

    ExecForwardFS* m_owner;
};

class ExecForwardFS : public IExecForwardFS, public ::ResetHandle {
public:
    ExecForwardFS(IFileSystem* target, Executor* executor, bool own_executor)
        : IExecForwardFS(target), m_exec(executor), m_own_exec(own_executor) {}

    ~ExecForwardFS() override {
        LOG_INFO("destruct ExecForwardFS");
        IFileSystem* t = m_fs;
        m_exec->run_and_wait([t] { delete t; });
        if (m_own_exec) delete m_exec;
    }

    int reset() override {
        LOG_INFO("reset ExecForwardFS");
        ZenthoOptions opts;
        opts.aio_queue_depth = 32;
        opts.bypass_pool = true;
        // the old executor's thread does not exist here: it cannot be stopped
        // or joined, so it is left alone
        m_exec = new Executor(INIT_EVENT_EPOLL, INIT_IO_NONE, opts);
        m_own_exec = true;
        return 0;
    }

    template <typename F>
    auto call(F&& f) -> std::invoke_result_t<F&> {
        return m_exec->run_and_wait(f);
    }

    IFileSystem* get_target_fs() override { return m_fs; }
    Executor* get_executor() override { return m_exec; }
    void* get_underlay_object() override { return this; }

    IFile* wrap(IFile* f) { return f ? new ExecForwardFile(f, this) : nullptr; }

    IFile* open(const char* path, int flags) override { return wrap(call([&] { return m_fs->open(path, flags); })); }
    IFile* open(const char* path, int flags, mode_t mode) override {
        return wrap(call([&] { return m_fs->open(path, flags, mode); }));
    }
    IFile* creat(const char* path, mode_t mode) override {
        return wrap(call([&] { return m_fs->creat(path, mode); }));
    }
    int mkdir(const char* path, mode_t mode) override { return call([&] { return m_fs->mkdir(path, mode); }); }
    int rmdir(const char* path) override { return call([&] { return m_fs->rmdir(path); }); }
    int symlink(const char* o, const char* n) override { return call([&] { return m_fs->symlink(o, n); }); }
    ssize_t readlink(const char* path, char* buf, size_t size) override {
        return call([&] { return m_fs->readlink(path, buf, size); });
    }
    int link(const char* o, const char* n) override { return call([&] { return m_fs->link(o, n); }); }
    int rename(const char* o, const char* n) override { return call([&] { return m_fs->rename(o, n); }); }
    int unlink(const char* path) override { return call([&] { return m_fs->unlink(path); }); }
    int chmod(const char* path, mode_t mode) override { return call([&] { return m_fs->chmod(path, mode); }); }
    int chown(const char* path, uid_t u, gid_t g) override { return call([&] { return m_fs->chown(path, u, g); }); }
    int lchown(const char* path, uid_t u, gid_t g) override {
        return call([&] { return m_fs->lchown(path, u, g); });
    }
    int statfs(const char* path, struct ::statfs* buf) override { return call([&] { return m_fs->statfs(path, buf); }); }
    int statvfs(const char* path, struct ::statvfs* buf) override {
        return call([&] { return m_fs->statvfs(path, buf); });
    }
    int stat(const char* path, struct ::stat* buf) override { return call([&] { return m_fs->stat(path, buf); }); }
    int lstat(const char* path, struct ::stat* buf) override { return call([&] { return m_fs->lstat(path, buf); }); }
    int access(const char* path, int mode) override { return call([&] { return m_fs->access(path, mode); }); }
    int truncate(const char* path, off_t length) override {
        return call([&] { return m_fs->truncate(path, length); });
    }
    int utime(const char* path, const struct utimbuf* t) override { return call([&] { return m_fs->utime(path, t); }); }
    int utimes(const char* path, const struct timeval t[2]) override {
        return call([&] { return m_fs->utimes(path, t); });
    }
    int lutimes(const char* path, const struct timeval t[2]) override {
        return call([&] { return m_fs->lutimes(path, t); });
    }
    int mknod(const char* path, mode_t mode, dev_t dev) override {
        return call([&] { return m_fs->mknod(path, mode, dev); });
    }
    int syncfs() override { return call([&] { return m_fs->syncfs(); }); }
    // the target's own cursor, unwrapped
    DIR* opendir(const char* path) override { return call([&] { return m_fs->opendir(path); }); }

    ssize_t getxattr(const char* p, const char* n, void* v, size_t s) override {
        return xcall([&](IFileSystemXAttr* x) { return x->getxattr(p, n, v, s); });
    }
    ssize_t lgetxattr(const char* p, const char* n, void* v, size_t s) override {
        return xcall([&](IFileSystemXAttr* x) { return x->lgetxattr(p, n, v, s); });
    }
    ssize_t listxattr(const char* p, char* l, size_t s) override {
        return xcall([&](IFileSystemXAttr* x) { return x->listxattr(p, l, s); });
    }
    ssize_t llistxattr(const char* p, char* l, size_t s) override {
        return xcall([&](IFileSystemXAttr* x) { return x->llistxattr(p, l, s); });
    }
    int setxattr(const char* p, const char* n, const void* v, size_t s, int f) override {
        return int(xcall([&](IFileSystemXAttr* x) -> ssize_t { return x->setxattr(p, n, v, s, f); }));
    }
    int lsetxattr(const char* p, const char* n, const void* v, size_t s, int f) override {
        return int(xcall([&](IFileSystemXAttr* x) -> ssize_t { return x->lsetxattr(p, n, v, s, f); }));
    }
    int removexattr(const char* p, const char* n) override {
        return int(xcall([&](IFileSystemXAttr* x) -> ssize_t { return x->removexattr(p, n); }));
    }
    int lremovexattr(const char* p, const char* n) override {
        return int(xcall([&](IFileSystemXAttr* x) -> ssize_t { return x->lremovexattr(p, n); }));
    }

private:
    template <typename F>
    ssize_t xcall(F&& f) {
        auto* x = dynamic_cast<IFileSystemXAttr*>(m_fs);
        if (!x) ZENTHO_ENOSYS(-1);
        return call([&] { return f(x); });
    }

    Executor* m_exec;
    bool m_own_exec;
};

Executor* ExecForwardFile::exec() { return m_owner->get_executor(); }

ExecForwardFile::~ExecForwardFile() {
    LOG_DEBUG("~ExecForwardFile");
    IFile* t = m_file;
    m_owner->get_executor()->run_and_wait([t] { delete t; });
}

IFileSystem* ExecForwardFile::filesystem() { return m_owner; }

}  // namespace

IExecForwardFS* new_exec_forward_fs(IFileSystem* target, Executor* executor, bool own_executor) {
    if (!target) return nullptr;
    return new ExecForwardFS(target, executor, own_executor);
}

}  // namespace fs
}  // namespace zentho
