#include "zentho/fs/localfs.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "zentho/fs/forwardfs.h"
#include "zentho/fs/local_cases.h"
#include "zentho/thread/thread.h"

using namespace zentho::fs;

namespace {

TEST(LocalFs, SameResultsAndErrnoAsSystemCalls) {
    LogCapture log;
    std::unique_ptr<IFileSystem> fs(new_local_file_system(nullptr, ioengine_psync));
    ASSERT_TRUE(fs);
    local_cases::run_all(fs.get(), [](const char* name, const local_cases::Result& want,
                                      const local_cases::Result& got) { EXPECT_EQ(want, got) << name; });
}

// The psync calls yield first on a vCPU: the same table, run by a coroutine.
TEST(LocalFs, SameResultsOnAVcpu) {
    LogCapture log;
    std::vector<std::string> failures;
    std::thread t([&] {
        ASSERT_EQ(zentho::init(zentho::INIT_EVENT_EPOLL), 0);
        std::unique_ptr<IFileSystem> fs(new_local_file_system());
        local_cases::run_all(fs.get(), [&](const char* name, const local_cases::Result& want,
                                           const local_cases::Result& got) {
            if (!(want == got)) failures.push_back(name);
        });
        zentho::fini();
    });
    t.join();
    EXPECT_TRUE(failures.empty()) << failures.front();
}

TEST(LocalFs, OpenFailuresAreLogged) {
    LogCapture log;
    LocalFileSystemAdaptor fs;
    TempDir d;
    std::string missing = d.path() + "/missing";
    EXPECT_EQ(fs.open(missing.c_str(), O_RDONLY), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(log.contains("failed to open/create file " + missing + " errno=2("));

    EXPECT_EQ(open_localfile_adaptor(missing.c_str(), O_RDONLY, 0600), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(log.contains("failed to ::open('" + missing + "', 0, 384) errno=2("));

    errno = 0;
    EXPECT_EQ(new_localfile_adaptor(-1), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_TRUE(log.contains("invalid fd: -1"));

    EXPECT_EQ(new_local_file_system("/tmp"), nullptr);
    EXPECT_EQ(errno, ENOSYS);
}

TEST(LocalFs, AdaptorOwnsItsDescriptorAndClosesOnce) {
    TempDir d;
    std::string p = d.write("f", "abc");
    IFile* f = open_localfile_adaptor(p.c_str(), O_RDONLY);
    ASSERT_TRUE(f);
    int fd = f->get_underlay_fd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(f->filesystem(), nullptr);
    EXPECT_EQ(f->close(), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // really closed
    EXPECT_EQ(f->close(), 0);
    delete f;

    int raw = ::open(p.c_str(), O_RDONLY);
    IFile* g = new_localfile_adaptor(raw);
    delete g;  // the destructor closes what is still open
    EXPECT_EQ(fcntl(raw, F_GETFD), -1);

    LocalFileSystemAdaptor fs;
    std::unique_ptr<IFile> h(fs.open(p.c_str(), O_RDONLY));
    EXPECT_EQ(h->filesystem(), &fs);
}

TEST(LocalFs, EngineOneOpensWithDirectIo) {
    TempDir d;
    std::string p = d.write("f", std::string(4096, 'x'));
    std::unique_ptr<IFile> f(open_localfile_adaptor(p.c_str(), O_RDONLY, 0, ioengine_libaio));
    ASSERT_TRUE(f) << strerror(errno);
    EXPECT_TRUE(fcntl(f->get_underlay_fd(), F_GETFL) & O_DIRECT);
    std::unique_ptr<IFile> g(open_localfile_adaptor(p.c_str(), O_RDONLY, 0, ioengine_psync));
    EXPECT_FALSE(fcntl(g->get_underlay_fd(), F_GETFL) & O_DIRECT);
    LocalFileSystemAdaptor fs1(ioengine_libaio);
    std::unique_ptr<IFile> h(fs1.open(p.c_str(), O_RDONLY));
    EXPECT_TRUE(fcntl(h->get_underlay_fd(), F_GETFL) & O_DIRECT);
}

TEST(LocalFs, DirectoryCursor) {
    TempDir d;
    for (const char* n : {"a", "b", "c"}) d.write(n, "");
    LocalFileSystemAdaptor fs;
    std::unique_ptr<zentho::fs::DIR> dir(fs.opendir(d.path().c_str()));
    ASSERT_TRUE(dir);
    std::map<long, std::string> at;  // telldir -> name
    std::vector<std::string> names;
    do {
        ASSERT_TRUE(dir->get());
        at[dir->telldir()] = dir->get()->d_name;
        names.push_back(dir->get()->d_name);
    } while (dir->next() == 1);
    EXPECT_EQ(names.size(), 5u);  // . .. a b c
    EXPECT_EQ(dir->get(), nullptr);
    // readdir at the end returns null and stays there
    EXPECT_EQ(dir->readdir(), nullptr);
    EXPECT_EQ(dir->next(), 0);

    for (auto& [loc, name] : at) {
        dir->seekdir(loc);
        ASSERT_TRUE(dir->get());
        EXPECT_EQ(dir->get()->d_name, name);
        EXPECT_EQ(dir->telldir(), loc);
    }
    dir->rewinddir();
    ASSERT_TRUE(dir->get());
    EXPECT_EQ(dir->get()->d_name, names.front());
    struct dirent* e = dir->readdir();
    EXPECT_EQ(e->d_name, names.front());
    EXPECT_EQ(dir->get()->d_name, names[1]);

    EXPECT_EQ(dir->closedir(), 0);
    // nothing refers to the released stream afterwards
    EXPECT_EQ(dir->get(), nullptr);
    EXPECT_EQ(dir->next(), 0);
    EXPECT_EQ(dir->closedir(), 0);
}

// Records mkdir calls and answers them from a script.
struct MkdirRecorder : ForwardFSBase {
    std::vector<std::string> made;
    std::map<std::string, int> fail;  // path -> errno
    MkdirRecorder(IFileSystem* t) : ForwardFSBase(t) {}
    int mkdir(const char* path, mode_t) override {
        made.push_back(path);
        auto it = fail.find(path);
        if (it == fail.end()) return 0;
        errno = it->second;
        return -1;
    }
};

TEST(LocalFs, MkdirParents) {
    LocalFileSystemAdaptor local;
    struct Case {
        const char* path;
        std::map<std::string, int> fail;
        int ret;
        int err;
        std::vector<std::string> made;
    } cases[] = {
        {"", {}, 0, 0, {}},
        {"a/b/", {}, 0, 0, {"/a", "/a/b"}},
        {"/x/y", {}, 0, 0, {"/x"}},
        {"/var/run/kiv-connector/", {}, 0, 0, {"/var", "/var/run", "/var/run/kiv-connector"}},
        {"/e/f/g", {{"/e", EEXIST}}, 0, 0, {"/e", "/e/f"}},
        {"/p/q/r/", {{"/p/q", EACCES}}, -1, EACCES, {"/p", "/p/q"}},
        {"/", {}, 0, 0, {}},
    };
    for (const auto& c : cases) {
        MkdirRecorder rec(&local);
        rec.fail = c.fail;
        errno = 0;
        EXPECT_EQ(mkdir_parents(&rec, c.path, 0755), c.ret) << c.path;
        if (c.ret < 0) {
            EXPECT_EQ(errno, c.err) << c.path;
        }
        EXPECT_EQ(rec.made, c.made) << c.path;
    }
    // a path that does not fit the 4096-byte buffer is refused, not cut
    LogCapture log;
    MkdirRecorder rec(&local);
    std::string longp(4095, 'a');
    EXPECT_EQ(mkdir_parents(&rec, longp.c_str(), 0755), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_TRUE(rec.made.empty());

    TempDir d;
    std::string deep = d.path() + "/one/two/three/";
    EXPECT_EQ(mkdir_parents(&local, deep.c_str(), 0755), 0);
    struct stat st;
    EXPECT_EQ(::stat(deep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
