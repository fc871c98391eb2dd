#pragma once
// One table of local file-system operations, each written twice: as direct
// system calls and through an IFileSystem. Both run on identical fresh
// directories; results, errno and produced bytes must agree.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "log_capture.h"
#include "zentho/fs/filesystem.h"

namespace local_cases {

using zentho::fs::IFileSystem;
using zentho::fs::IFile;

struct Result {
    long ret = 0;
    int err = 0;
    std::string data;
    bool operator==(const Result&) const = default;
};

inline std::ostream& operator<<(std::ostream& o, const Result& r) {
    return o << "{ret=" << r.ret << " errno=" << r.err << " data='" << r.data << "'}";
}

// The content of every fresh directory: file f ("hello world"), directory d
// holding a and b, and nothing called missing.
inline void populate(const std::string& dir) {
    std::string f = dir + "/f";
    int fd = ::open(f.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd >= 0) {
        (void)!::write(fd, "hello world", 11);
        ::close(fd);
    }
    ::mkdir((dir + "/d").c_str(), 0755);
    for (const char* n : {"/d/a", "/d/b"}) ::close(::open((dir + n).c_str(), O_CREAT | O_WRONLY, 0644));
}

inline Result result(long ret) { return {ret, ret < 0 ? errno : 0, {}}; }
inline Result with_data(long ret, std::string data) { return {ret, ret < 0 ? errno : 0, std::move(data)}; }

inline std::string file_text(const std::string& path) {
    std::string s(256, '\0');
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<absent>";
    ssize_t n = ::read(fd, s.data(), s.size());
    ::close(fd);
    s.resize(n > 0 ? size_t(n) : 0);
    return s;
}

// Opens through fs, runs body on the file (null file: the open's result).
inline Result on_file(IFileSystem* fs, const std::string& path, int flags, const std::function<Result(IFile*)>& body) {
    IFile* f = fs->open(path.c_str(), flags, 0644);
    if (!f) return {-1, errno, {}};
    Result r = body(f);
    delete f;
    return r;
}
inline Result on_fd(const std::string& path, int flags, const std::function<Result(int)>& body) {
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return {-1, errno, {}};
    Result r = body(fd);
    ::close(fd);
    return r;
}

struct Case {
    const char* name;
    std::function<Result(const std::string& dir)> direct;
    std::function<Result(IFileSystem* fs, const std::string& dir)> through;
};

inline std::vector<Case> cases() {
    std::vector<Case> c;
    c.push_back({"open missing -> ENOENT",
                 [](const std::string& d) { return result(::open((d + "/missing").c_str(), O_RDONLY)); },
                 [](IFileSystem* fs, const std::string& d) {
                     IFile* f = fs->open((d + "/missing").c_str(), O_RDONLY);
                     return Result{f ? 0 : -1, f ? 0 : errno, {}};
                 }});
    c.push_back({"open directory for writing -> EISDIR",
                 [](const std::string& d) { return result(::open((d + "/d").c_str(), O_WRONLY)); },
                 [](IFileSystem* fs, const std::string& d) {
                     IFile* f = fs->open((d + "/d").c_str(), O_WRONLY);
                     return Result{f ? 0 : -1, f ? 0 : errno, {}};
                 }});
    c.push_back({"open exclusive existing -> EEXIST",
                 [](const std::string& d) { return result(::open((d + "/f").c_str(), O_CREAT | O_EXCL | O_RDWR, 0644)); },
                 [](IFileSystem* fs, const std::string& d) {
                     IFile* f = fs->open((d + "/f").c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
                     return Result{f ? 0 : -1, f ? 0 : errno, {}};
                 }});
    c.push_back({"pread at offsets",
                 [](const std::string& d) {
                     return on_fd(d + "/f", O_RDONLY, [](int fd) {
                         char b[32] = {};
                         ssize_t n1 = ::pread(fd, b, 5, 6);
                         ssize_t n2 = ::pread(fd, b + 5, 10, 8);
                         ssize_t n3 = ::pread(fd, b + 20, 4, 100);
                         return with_data(n1 * 10000 + n2 * 100 + n3, std::string(b, 8));
                     });
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     return on_file(fs, d + "/f", O_RDONLY, [](IFile* f) {
                         char b[32] = {};
                         ssize_t n1 = f->pread(b, 5, 6);
                         ssize_t n2 = f->pread(b + 5, 10, 8);
                         ssize_t n3 = f->pread(b + 20, 4, 100);
                         return with_data(n1 * 10000 + n2 * 100 + n3, std::string(b, 8));
                     });
                 }});
    c.push_back({"read and lseek",
                 [](const std::string& d) {
                     return on_fd(d + "/f", O_RDONLY, [](int fd) {
                         char b[16] = {};
                         ssize_t n = ::read(fd, b, 4);
                         off_t o = ::lseek(fd, 2, SEEK_CUR);
                         ssize_t m = ::read(fd, b + 4, 16 - 4);
                         return with_data(n * 10000 + o * 100 + m, std::string(b, 9));
                     });
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     return on_file(fs, d + "/f", O_RDONLY, [](IFile* f) {
                         char b[16] = {};
                         ssize_t n = f->read(b, 4);
                         off_t o = f->lseek(2, SEEK_CUR);
                         ssize_t m = f->read(b + 4, 16 - 4);
                         return with_data(n * 10000 + o * 100 + m, std::string(b, 9));
                     });
                 }});
    c.push_back({"pwrite past the end then fstat",
                 [](const std::string& d) {
                     Result r = on_fd(d + "/f", O_RDWR, [](int fd) {
                         ssize_t n = ::pwrite(fd, "XY", 2, 13);
                         struct stat st;
                         ::fstat(fd, &st);
                         return result(n * 1000 + st.st_size);
                     });
                     r.data = file_text(d + "/f");
                     return r;
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     Result r = on_file(fs, d + "/f", O_RDWR, [](IFile* f) {
                         ssize_t n = f->pwrite("XY", 2, 13);
                         struct stat st;
                         f->fstat(&st);
                         return result(n * 1000 + st.st_size);
                     });
                     r.data = file_text(d + "/f");
                     return r;
                 }});
    c.push_back({"pwrite on a read-only file -> EBADF",
                 [](const std::string& d) {
                     return on_fd(d + "/f", O_RDONLY, [](int fd) { return result(::pwrite(fd, "x", 1, 0)); });
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     return on_file(fs, d + "/f", O_RDONLY, [](IFile* f) { return result(f->pwrite("x", 1, 0)); });
                 }});
    c.push_back({"read a directory -> EISDIR",
                 [](const std::string& d) {
                     return on_fd(d + "/d", O_RDONLY, [](int fd) {
                         char b[4];
                         return result(::read(fd, b, 4));
                     });
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     return on_file(fs, d + "/d", O_RDONLY, [](IFile* f) {
                         char b[4];
                         return result(f->read(b, 4));
                     });
                 }});
    c.push_back({"creat truncates and writes",
                 [](const std::string& d) {
                     int fd = ::creat((d + "/f").c_str(), 0600);
                     ssize_t n = ::write(fd, "new", 3);
                     ::close(fd);
                     return with_data(n, file_text(d + "/f"));
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     IFile* f = fs->creat((d + "/f").c_str(), 0600);
                     if (!f) return Result{-1, errno, {}};
                     ssize_t n = f->write("new", 3);
                     delete f;
                     return with_data(n, file_text(d + "/f"));
                 }});
    c.push_back({"stat file, directory, missing",
                 [](const std::string& d) {
                     struct stat a, b;
                     int r1 = ::stat((d + "/f").c_str(), &a);
                     int r2 = ::stat((d + "/d").c_str(), &b);
                     Result r = result(::stat((d + "/missing").c_str(), &b));
                     r.data = std::to_string(r1) + std::to_string(r2) + " " + std::to_string(a.st_size) +
                              (S_ISDIR(b.st_mode) ? " dir" : " ?");
                     return r;
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     struct stat a, b;
                     int r1 = fs->stat((d + "/f").c_str(), &a);
                     int r2 = fs->stat((d + "/d").c_str(), &b);
                     Result r = result(fs->stat((d + "/missing").c_str(), &b));
                     r.data = std::to_string(r1) + std::to_string(r2) + " " + std::to_string(a.st_size) +
                              (S_ISDIR(b.st_mode) ? " dir" : " ?");
                     return r;
                 }});
    c.push_back({"readdir lists every entry",
                 [](const std::string& d) {
                     ::DIR* dp = ::opendir((d + "/d").c_str());
                     std::vector<std::string> names;
                     while (struct dirent* e = ::readdir(dp)) names.push_back(e->d_name);
                     ::closedir(dp);
                     std::sort(names.begin(), names.end());
                     std::string s;
                     for (auto& n : names) s += n + ",";
                     return with_data(long(names.size()), s);
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     zentho::fs::DIR* dp = fs->opendir((d + "/d").c_str());
                     if (!dp) return Result{-1, errno, {}};
                     std::vector<std::string> names;
                     while (struct dirent* e = dp->get()) {
                         names.push_back(e->d_name);
                         dp->next();
                     }
                     dp->closedir();
                     delete dp;
                     std::sort(names.begin(), names.end());
                     std::string s;
                     for (auto& n : names) s += n + ",";
                     return with_data(long(names.size()), s);
                 }});
    c.push_back({"opendir missing -> ENOENT, on a file -> ENOTDIR",
                 [](const std::string& d) {
                     ::DIR* a = ::opendir((d + "/missing").c_str());
                     int e1 = errno;
                     ::DIR* b = ::opendir((d + "/f").c_str());
                     return Result{long(!!a + !!b), errno, std::to_string(e1)};
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     auto* a = fs->opendir((d + "/missing").c_str());
                     int e1 = errno;
                     auto* b = fs->opendir((d + "/f").c_str());
                     return Result{long(!!a + !!b), errno, std::to_string(e1)};
                 }});
    c.push_back({"unlink file, then again -> ENOENT",
                 [](const std::string& d) {
                     int a = ::unlink((d + "/f").c_str());
                     Result r = result(::unlink((d + "/f").c_str()));
                     r.data = std::to_string(a) + file_text(d + "/f");
                     return r;
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     int a = fs->unlink((d + "/f").c_str());
                     Result r = result(fs->unlink((d + "/f").c_str()));
                     r.data = std::to_string(a) + file_text(d + "/f");
                     return r;
                 }});
    c.push_back({"unlink a directory -> EISDIR, rmdir non-empty -> ENOTEMPTY",
                 [](const std::string& d) {
                     int a = ::unlink((d + "/d").c_str());
                     int e = errno;
                     Result r = result(::rmdir((d + "/d").c_str()));
                     r.data = std::to_string(a) + ":" + std::to_string(e);
                     return r;
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     int a = fs->unlink((d + "/d").c_str());
                     int e = errno;
                     Result r = result(fs->rmdir((d + "/d").c_str()));
                     r.data = std::to_string(a) + ":" + std::to_string(e);
                     return r;
                 }});
    c.push_back({"mkdir existing -> EEXIST, rename, symlink and readlink",
                 [](const std::string& d) {
                     int a = ::mkdir((d + "/d").c_str(), 0755);
                     int e = errno;
                     int b = ::rename((d + "/f").c_str(), (d + "/g").c_str());
                     int s = ::symlink("g", (d + "/l").c_str());
                     char buf[16] = {};
                     ssize_t n = ::readlink((d + "/l").c_str(), buf, sizeof(buf));
                     return with_data(n, std::to_string(a) + ":" + std::to_string(e) + std::to_string(b) +
                                             std::to_string(s) + buf + file_text(d + "/l"));
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     int a = fs->mkdir((d + "/d").c_str(), 0755);
                     int e = errno;
                     int b = fs->rename((d + "/f").c_str(), (d + "/g").c_str());
                     int s = fs->symlink("g", (d + "/l").c_str());
                     char buf[16] = {};
                     ssize_t n = fs->readlink((d + "/l").c_str(), buf, sizeof(buf));
                     return with_data(n, std::to_string(a) + ":" + std::to_string(e) + std::to_string(b) +
                                             std::to_string(s) + buf + file_text(d + "/l"));
                 }});
    c.push_back({"truncate, access of missing -> ENOENT",
                 [](const std::string& d) {
                     int a = ::truncate((d + "/f").c_str(), 5);
                     Result r = result(::access((d + "/missing").c_str(), F_OK));
                     r.data = std::to_string(a) + file_text(d + "/f");
                     return r;
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     int a = fs->truncate((d + "/f").c_str(), 5);
                     Result r = result(fs->access((d + "/missing").c_str(), F_OK));
                     r.data = std::to_string(a) + file_text(d + "/f");
                     return r;
                 }});
    c.push_back({"file xattrs: set, get, list, remove, get removed -> ENODATA",
                 [](const std::string& d) {
                     return on_fd(d + "/f", O_RDWR, [](int fd) {
                         int s = ::fsetxattr(fd, "user.k", "val", 3, 0);
                         char v[16] = {}, l[64] = {};
                         ssize_t g = ::fgetxattr(fd, "user.k", v, sizeof(v));
                         ssize_t n = ::flistxattr(fd, l, sizeof(l));
                         int rm = ::fremovexattr(fd, "user.k");
                         Result r = result(::fgetxattr(fd, "user.k", v, sizeof(v)));
                         r.data = std::to_string(s) + std::to_string(g) + v + std::to_string(n) +
                                  std::string(l, n > 0 ? size_t(n) : 0) + std::to_string(rm);
                         return r;
                     });
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     return on_file(fs, d + "/f", O_RDWR, [](IFile* f) {
                         auto* x = dynamic_cast<zentho::fs::IFileXAttr*>(f);
                         if (!x) return Result{-100, 0, "no xattr interface"};
                         int s = x->fsetxattr("user.k", "val", 3, 0);
                         char v[16] = {}, l[64] = {};
                         ssize_t g = x->fgetxattr("user.k", v, sizeof(v));
                         ssize_t n = x->flistxattr(l, sizeof(l));
                         int rm = x->fremovexattr("user.k");
                         Result r = result(x->fgetxattr("user.k", v, sizeof(v)));
                         r.data = std::to_string(s) + std::to_string(g) + v + std::to_string(n) +
                                  std::string(l, n > 0 ? size_t(n) : 0) + std::to_string(rm);
                         return r;
                     });
                 }});
    c.push_back({"path xattrs: set, get with a short buffer -> ERANGE, on missing -> ENOENT",
                 [](const std::string& d) {
                     int s = ::setxattr((d + "/f").c_str(), "user.p", "value", 5, XATTR_CREATE);
                     int again = ::setxattr((d + "/f").c_str(), "user.p", "value", 5, XATTR_CREATE);
                     int e_again = errno;
                     char v[2];
                     ssize_t g = ::getxattr((d + "/f").c_str(), "user.p", v, sizeof(v));
                     int e_range = errno;
                     Result r = result(::lgetxattr((d + "/missing").c_str(), "user.p", v, sizeof(v)));
                     r.data = std::to_string(s) + std::to_string(again) + ":" + std::to_string(e_again) + ":" +
                              std::to_string(g) + ":" + std::to_string(e_range);
                     return r;
                 },
                 [](IFileSystem* fs, const std::string& d) {
                     auto* x = dynamic_cast<zentho::fs::IFileSystemXAttr*>(fs);
                     if (!x) return Result{-100, 0, "no xattr interface"};
                     int s = x->setxattr((d + "/f").c_str(), "user.p", "value", 5, XATTR_CREATE);
                     int again = x->setxattr((d + "/f").c_str(), "user.p", "value", 5, XATTR_CREATE);
                     int e_again = errno;
                     char v[2];
                     ssize_t g = x->getxattr((d + "/f").c_str(), "user.p", v, sizeof(v));
                     int e_range = errno;
                     Result r = result(x->lgetxattr((d + "/missing").c_str(), "user.p", v, sizeof(v)));
                     r.data = std::to_string(s) + std::to_string(again) + ":" + std::to_string(e_again) + ":" +
                              std::to_string(g) + ":" + std::to_string(e_range);
                     return r;
                 }});
    return c;
}

// Runs every case directly and through make_fs()'s file system, each on its
// own fresh directory, and compares.
template <typename Check>
void run_all(IFileSystem* fs, Check&& check) {
    for (const Case& c : cases()) {
        TempDir a, b;
        populate(a.path());
        populate(b.path());
        Result want = c.direct(a.path());
        Result got = c.through(fs, b.path());
        check(c.name, want, got);
    }
}

}  // namespace local_cases
