// The object store file system against the local store process.

#include "kivfs/kivfs_v2.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kivstore_support.h"
#include "zentho/thread/current.h"
#include "zentho/thread/thread.h"

using namespace FileSystem;
using kivstore::FixedCreds;
using kivstore::pattern;
using zentho::fs::IFile;

namespace {

class KivFs : public kivstore::StoreTest {
protected:
    std::set<std::string> names(const std::string& path) {
        std::set<std::string> out;
        std::unique_ptr<zentho::fs::DIR> d(fs->opendir(path.c_str()));
        if (!d) return {"<opendir failed>"};
        while (auto* e = d->readdir()) out.insert(e->d_name);
        return out;
    }
};

}  // namespace

TEST(KivFsEndpoint, SchemeChoosesTransport) {
    FixedCreds c;
    struct Case {
        const char* endpoint;
        bool http;
        const char* host;
    } cases[] = {
        {"kiv-local.kivstore.test", true, "kiv-local.kivstore.test"},
        {"http://kiv-local.kivstore.test:80", true, "kiv-local.kivstore.test:80"},
        {"https://kiv-local.kivstore.test", false, "kiv-local.kivstore.test"},
    };
    ASSERT_EQ(0, zentho::init(zentho::INIT_EVENT_EPOLL));
    for (auto& k : cases) {
        kivFs_v2 fs(k.endpoint, &c, 1000000);
        EXPECT_EQ(k.http, fs.use_http()) << k.endpoint;
        EXPECT_EQ(k.host, fs.endpoint_host()) << k.endpoint;
    }
    zentho::fini();
}

TEST_F(KivFs, PutReadStatRanges) {
    std::string data = pattern(300000, 1);
    ASSERT_EQ(0, put("/kiv-test/rw/obj.bin", data));
    EXPECT_EQ(data, get("/kiv-test/rw/obj.bin"));

    struct stat st;
    ASSERT_EQ(0, fs->stat("/kiv-test/rw/obj.bin", &st));
    EXPECT_EQ(300000, st.st_size);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_GT(st.st_mtime, time(nullptr) - 3600);

    std::unique_ptr<IFile> f(fs->open("/kiv-test/rw/obj.bin", O_RDONLY));
    char buf[1000];
    ASSERT_EQ(1000, f->pread(buf, 1000, 1234));
    EXPECT_EQ(data.substr(1234, 1000), std::string(buf, 1000));
    // the first read learned the size: a read crossing it is cut, one at it sends nothing
    ASSERT_EQ(100, f->pread(buf, 1000, 299900));
    EXPECT_EQ(data.substr(299900), std::string(buf, 100));
    reset_counters();
    EXPECT_EQ(0, f->pread(buf, 1000, 300000));
    EXPECT_EQ(0, count("total"));
    ASSERT_EQ(0, f->fstat(&st));
    EXPECT_EQ(300000, st.st_size);
    EXPECT_EQ(0, count("total"));
    // a read-only file refuses writes
    errno = 0;
    EXPECT_EQ(-1, f->write("x", 1));
    EXPECT_EQ(EPERM, errno);

    // vectored read across two buffers
    char a[10], b[20];
    struct iovec iov[2] = {{a, 10}, {b, 20}};
    ASSERT_EQ(30, f->preadv(iov, 2, 5));
    EXPECT_EQ(data.substr(5, 30), std::string(a, 10) + std::string(b, 20));
}

TEST_F(KivFs, StatDirectoryProbeAndMissing) {
    ASSERT_EQ(0, put("/kiv-test/probe/dir/x", "x"));
    struct stat st;
    ASSERT_EQ(0, fs->stat("/kiv-test/probe/dir", &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(0, st.st_size);
    errno = 0;
    EXPECT_EQ(-1, fs->stat("/kiv-test/probe/none", &st));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(-1, fs->stat(nullptr, &st));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, fs->access("/kiv-test/probe/dir/x", R_OK));
}

TEST_F(KivFs, PlainWritesReplaceTheObject) {
    std::unique_ptr<IFile> f(fs->open("/kiv-test/w/plain", O_CREAT | O_WRONLY));
    ASSERT_TRUE(f);
    ASSERT_EQ(5, f->write("first", 5));
    struct iovec iov[2] = {{(void*)"sec", 3}, {(void*)"ond", 3}};
    ASSERT_EQ(6, f->writev(iov, 2));
    errno = 0;
    EXPECT_EQ(-1, f->pwrite("x", 1, 10));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ(0, f->close());
    EXPECT_EQ(-1, f->close());
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ("second", get("/kiv-test/w/plain"));

    // O_CREAT|O_EXCL is refused; O_CREAT closed without writes stores an empty object
    EXPECT_EQ(nullptr, fs->open("/kiv-test/w/plain", O_CREAT | O_EXCL | O_WRONLY));
    EXPECT_EQ(EEXIST, errno);
    f.reset(fs->open("/kiv-test/w/empty", O_CREAT | O_WRONLY));
    ASSERT_EQ(0, f->close());
    struct stat st;
    ASSERT_EQ(0, fs->stat("/kiv-test/w/empty", &st));
    EXPECT_EQ(0, st.st_size);
}

TEST_F(KivFs, AppendWrites) {
    std::unique_ptr<IFile> f(fs->open("/kiv-test/w/app", O_CREAT | O_WRONLY | O_APPEND | O_TRUNC));
    ASSERT_TRUE(f);
    ASSERT_EQ(3, f->write("abc", 3));
    ASSERT_EQ(3, f->pwrite("def", 3, 3));
    errno = 0;
    EXPECT_EQ(-1, f->pwrite("zz", 2, 2));
    EXPECT_EQ(EPERM, errno);
    ASSERT_EQ(0, f->close());
    EXPECT_EQ("abcdef", get("/kiv-test/w/app"));
}

TEST_F(KivFs, MultipartManyPartsReadBack) {
    std::string all;
    {
        std::unique_ptr<IFile> f(fs->open("/kiv-test/mp/big", O_CREAT | O_WRONLY | kivFile_v2::O_MULTIPART));
        ASSERT_TRUE(f);
        for (unsigned i = 0; i < 12; i++) {
            std::string part = pattern(100000 + i * 777, i);
            ASSERT_EQ(ssize_t(part.size()), f->write(part.data(), part.size()));
            all += part;
        }
        reset_counters();
        ASSERT_EQ(0, f->close());
        EXPECT_EQ(1, count("CompleteMultipartUpload"));
    }
    EXPECT_EQ(all, get("/kiv-test/mp/big"));

    // by ioctl, as the writable object does it; vioctl(101) on a file with data is refused
    std::unique_ptr<IFile> g(fs->open("/kiv-test/mp/ioctl", O_CREAT | O_WRONLY));
    ASSERT_EQ(0, g->ioctl(kivFile_v2::IOCTL_MULTI_PART));
    ASSERT_EQ(4, g->write("part", 4));
    ASSERT_EQ(0, g->close());
    EXPECT_EQ("part", get("/kiv-test/mp/ioctl"));
    std::unique_ptr<IFile> h(fs->open("/kiv-test/mp/held", O_CREAT | O_WRONLY));
    ASSERT_EQ(4, h->write("data", 4));
    EXPECT_EQ(-1, h->ioctl(kivFile_v2::IOCTL_MULTI_PART));
    EXPECT_EQ(EPERM, errno);
}

TEST_F(KivFs, MultipartWithoutWrites) {
    // with O_CREAT an empty upload is completed; without it the upload is aborted
    std::unique_ptr<IFile> f(fs->open("/kiv-test/mp/none", O_CREAT | O_WRONLY | kivFile_v2::O_MULTIPART));
    ASSERT_TRUE(f);
    reset_counters();
    ASSERT_EQ(0, f->close());
    EXPECT_EQ(1, count("CompleteMultipartUpload"));
    struct stat st;
    ASSERT_EQ(0, fs->stat("/kiv-test/mp/none", &st));
    EXPECT_EQ(0, st.st_size);

    std::unique_ptr<IFile> g(fs->open("/kiv-test/mp/aborted", O_WRONLY));
    ASSERT_EQ(0, g->ioctl(kivFile_v2::IOCTL_MULTI_PART));
    reset_counters();
    ASSERT_EQ(0, g->close());
    EXPECT_EQ(1, count("AbortMultipartUpload"));
    EXPECT_EQ(0, count("CompleteMultipartUpload"));
    EXPECT_EQ(-1, fs->stat("/kiv-test/mp/aborted", &st));
}

TEST_F(KivFs, SizeHintAndRangeNotSatisfiable) {
    ASSERT_EQ(0, put("/kiv-test/hint", "0123456789"));
    std::unique_ptr<IFile> f(fs->open("/kiv-test/hint", O_RDONLY));
    int64_t size = 4;
    ASSERT_EQ(0, f->ioctl(kivFile_v2::IOCTL_SET_SIZE, size));
    char buf[16];
    EXPECT_EQ(4, f->pread(buf, 16, 0));
    // unknown size: a read past the end is answered 416, which is end of file
    std::unique_ptr<IFile> g(fs->open("/kiv-test/hint", O_RDONLY));
    EXPECT_EQ(0, g->pread(buf, 16, 100));
}

TEST_F(KivFs, UnlinkMkdirOpendir) {
    ASSERT_EQ(0, put("/kiv-test/ls/a", "1"));
    ASSERT_EQ(0, put("/kiv-test/ls/b", "22"));
    ASSERT_EQ(0, put("/kiv-test/ls/sub/c", "333"));
    ASSERT_EQ(0, fs->mkdir("/kiv-test/ls/made", 0755));
    struct stat st;
    ASSERT_EQ(0, fs->stat("/kiv-test/ls/made/", &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ((std::set<std::string>{".", "..", "a", "b", "sub", "made"}), names("/kiv-test/ls"));

    std::unique_ptr<zentho::fs::DIR> d(fs->opendir("/kiv-test/ls/"));
    ASSERT_TRUE(d);
    auto& entries = static_cast<StatDir*>(d.get())->entries();
    for (auto& e : entries) {
        if (std::string(e.d.d_name) == "b") {
            EXPECT_EQ(DT_REG, e.d.d_type);
            EXPECT_EQ(2, e.size);
        }
        if (std::string(e.d.d_name) == "sub") {
            EXPECT_EQ(DT_DIR, e.d.d_type);
        }
    }
    d->rewinddir();
    EXPECT_STREQ(".", d->readdir()->d_name);

    ASSERT_EQ(0, fs->unlink("/kiv-test/ls/a"));
    EXPECT_EQ(-1, fs->stat("/kiv-test/ls/a", &st));
    EXPECT_EQ(ENOENT, errno);
}

TEST_F(KivFs, ListObjectsPagesWithAndWithoutDelimiter) {
    for (int i = 0; i < 25; i++) ASSERT_EQ(0, put("/kiv-test/pg/k" + std::to_string(100 + i), "v"));
    ASSERT_EQ(0, put("/kiv-test/pg/d/x", "v"));
    struct Ctx {
        std::vector<std::string> keys;
    };
    auto cb = [](void* ctx, size_t len, const char* key, int64_t, time_t, bool) -> int {
        static_cast<Ctx*>(ctx)->keys.emplace_back(key, len);
        return 0;
    };
    for (bool recursive : {true, false}) {
        Ctx ctx;
        std::string token;
        int pages = 0;
        do {
            ASSERT_EQ(0, fs->list_objects("kiv-test", "pg/", &token, cb, &ctx, 10, recursive));
            pages++;
        } while (!token.empty() && pages < 10);
        EXPECT_EQ(recursive ? 26u : 25u, ctx.keys.size());
        EXPECT_GE(pages, 3);
        // "pg/d/" sorts first: an object when recursive, a common prefix otherwise
        EXPECT_EQ(recursive ? "pg/d/x" : "pg/k100", ctx.keys.front());
    }
    // a failing callback stops the listing
    auto stop = [](void*, size_t, const char*, int64_t, time_t, bool) -> int { return -1; };
    EXPECT_EQ(-1, fs->list_objects("kiv-test", "pg/", nullptr, stop, nullptr, 10, true));
}

TEST_F(KivFs, RmdirAndRenameOfALargePrefix) {
    // many keys are made by server-side copies of one object
    ASSERT_EQ(0, put("/kiv-test/big/seed", "s"));
    std::string long_name(300, 'L');
    for (int i = 0; i < 2499; i++) {
        std::string key = i == 0 ? "big/" + long_name : "big/n" + std::to_string(i);
        ASSERT_EQ(0, copy("kiv-test", key, "/kiv-test/big/seed"));
    }
    reset_counters();
    ASSERT_EQ(0, fs->rename("/kiv-test/big", "/kiv-test/moved"));
    EXPECT_EQ(3, count("DeleteMultipleObjects"));
    struct stat st;
    EXPECT_EQ(-1, fs->stat("/kiv-test/big", &st));
    // the 300-byte key was moved whole, though its entry name holds 255 bytes
    ASSERT_EQ(0, fs->stat(("/kiv-test/moved/" + long_name).c_str(), &st));
    EXPECT_EQ("s", get("/kiv-test/moved/seed"));

    reset_counters();
    ASSERT_EQ(0, fs->rmdir("/kiv-test/moved"));
    EXPECT_EQ(3, count("DeleteMultipleObjects"));
    EXPECT_EQ(-1, fs->stat("/kiv-test/moved", &st));
    EXPECT_EQ(ENOENT, errno);

    reset_counters();
    EXPECT_EQ(-1, fs->rmdir("/kiv-test"));
    EXPECT_EQ(EPERM, errno);
    EXPECT_EQ(0, count("total"));
}

TEST_F(KivFs, OddKeysRoundTripAndDeleteExactly) {
    const std::vector<std::string> keys = {
        "odd/with space", "odd/caf\xc3\xa9", "odd/a+b", "odd/100%", "odd/x&y", "odd/p/q",
        "odd/x</Key></Object><Object><Key>odd/keep", "odd/<lt>",
    };
    for (auto& k : keys) ASSERT_EQ(0, put("/kiv-test/" + k, "v:" + k)) << k;
    ASSERT_EQ(0, put("/kiv-test-2/odd/keep", "other bucket"));
    for (auto& k : keys) EXPECT_EQ("v:" + k, get("/kiv-test/" + k)) << k;

    // a file renamed within the odd names, then the whole prefix removed
    ASSERT_EQ(0, fs->rename("/kiv-test/odd/x&y", "/kiv-test/odd/x&y moved"));
    EXPECT_EQ("v:odd/x&y", get("/kiv-test/odd/x&y moved"));
    ASSERT_EQ(0, put("/kiv-test/odd-keep", "kept"));
    // unescaped, this key would also name "odd/x" and "odd/keep": only it goes
    ASSERT_EQ(0, put("/kiv-test/odd/x", "x"));
    ASSERT_EQ(0, put("/kiv-test/odd/keep", "k"));
    std::vector<DirEntry> one(1);
    one[0].key = "x</Key></Object><Object><Key>odd/keep";
    ASSERT_EQ(0, fs->delete_multiple_objects("kiv-test", "odd", one));
    struct stat st;
    EXPECT_EQ(-1, fs->stat("/kiv-test/odd/x</Key></Object><Object><Key>odd/keep", &st));
    EXPECT_EQ(0, fs->stat("/kiv-test/odd/x", &st));
    EXPECT_EQ(0, fs->stat("/kiv-test/odd/keep", &st));
    ASSERT_EQ(0, fs->rmdir("/kiv-test/odd"));
    EXPECT_EQ(-1, fs->stat("/kiv-test/odd", &st));
    EXPECT_EQ("kept", get("/kiv-test/odd-keep"));
    EXPECT_EQ("other bucket", get("/kiv-test-2/odd/keep"));
}

TEST_F(KivFs, RetryPolicyAndStatusMapping) {
    ASSERT_EQ(0, put("/kiv-test/r/obj", "payload"));
    struct Case {
        const char* name;
        std::string rule;
        ssize_t result;
        int err;
        int attempts;
    } cases[] = {
        {"404 not retried", R"({"op":"GetObject","key":"r/obj","status":404,"code":"NoSuchKey"})", -1, ENOENT, 1},
        {"three 500 then 200", R"({"op":"GetObject","key":"r/obj","status":500,"count":3})", 7, 0, 4},
        {"four 500", R"({"op":"GetObject","key":"r/obj","status":500,"count":4})", -1, EIO, 4},
        {"403", R"({"op":"GetObject","key":"r/obj","status":403,"code":"AccessDenied"})", -1, EPERM, 1},
        {"400", R"({"op":"GetObject","key":"r/obj","status":400,"code":"InvalidArgument"})", -1, EINVAL, 1},
        {"qps limit retried past the limit",
         R"({"op":"GetObject","key":"r/obj","status":503,"code":"QpsLimitExceeded","count":5})", 7, 0, 6},
    };
    for (auto& k : cases) {
        store->clear_rules();
        rule(k.rule);
        reset_counters();
        std::unique_ptr<IFile> f(fs->open("/kiv-test/r/obj", O_RDONLY));
        char buf[16];
        errno = 0;
        uint64_t t0 = zentho::update_now();
        EXPECT_EQ(k.result, f->pread(buf, sizeof(buf), 0)) << k.name;
        uint64_t took = zentho::update_now() - t0;
        if (k.result < 0) { EXPECT_EQ(k.err, errno) << k.name; }
        EXPECT_EQ(k.attempts, count("GetObject")) << k.name;
        // back-off 20, 40, 80 ms (and 160, 200 for the QPS case) between attempts
        if (k.attempts == 4) { EXPECT_GE(took, 140000u) << k.name; }
        if (k.attempts == 6) { EXPECT_GE(took, 500000u) << k.name; }
    }
}

TEST_F(KivFs, FsLevelCalls) {
    struct statfs sfs;
    ASSERT_EQ(0, fs->statfs("/kiv-test", &sfs));
    EXPECT_EQ(0xE32DF01A, (unsigned long)sfs.f_type);
    struct statvfs svfs;
    ASSERT_EQ(0, fs->statvfs("/kiv-test", &svfs));
    EXPECT_EQ(4096u, svfs.f_bsize);
    EXPECT_EQ(0x180000000000ULL, svfs.f_bavail);
    EXPECT_EQ(255u, svfs.f_namemax);
    std::vector<std::pair<const char*, std::function<int()>>> unsupported = {
        {"symlink", [&] { return fs->symlink("/a", "/b"); }},
        {"readlink", [&] { char b[4]; return int(fs->readlink("/a", b, 4)); }},
        {"link", [&] { return fs->link("/a", "/b"); }},
        {"chmod", [&] { return fs->chmod("/a", 0); }},
        {"chown", [&] { return fs->chown("/a", 0, 0); }},
        {"truncate", [&] { return fs->truncate("/a", 0); }},
        {"utime", [&] { return fs->utime("/a", nullptr); }},
        {"mknod", [&] { return fs->mknod("/a", 0, 0); }},
        {"syncfs", [&] { return fs->syncfs(); }},
        {"creat", [&] { return fs->creat("/a", 0) ? 0 : -1; }},
    };
    for (auto& [name, call] : unsupported) {
        errno = 0;
        EXPECT_EQ(-1, call()) << name;
        EXPECT_EQ(ENOSYS, errno) << name;
    }
}

TEST_F(KivFs, Https) {
    setenv("SSL_CERT_FILE", store->ca_file.c_str(), 1);
    kivFs_v2 tls("https://kiv-local.kivstore.test:" + std::to_string(store->https_port), &creds, 10000000);
    std::string data = pattern(70000, 9);
    {
        std::unique_ptr<IFile> f(tls.open("/kiv-test/tls/obj", O_CREAT | O_WRONLY));
        ASSERT_TRUE(f);
        ASSERT_EQ(ssize_t(data.size()), f->write(data.data(), data.size()));
        ASSERT_EQ(0, f->close());
    }
    std::unique_ptr<IFile> f(tls.open("/kiv-test/tls/obj", O_RDONLY));
    std::string out(data.size(), 0);
    ASSERT_EQ(ssize_t(data.size()), f->pread(out.data(), out.size(), 0));
    EXPECT_EQ(data, out);
    struct stat st;
    ASSERT_EQ(0, tls.stat("/kiv-test/tls", &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

// The connection id the store saw for the latest request of the journal.
static int last_conn(const std::string& journal) {
    auto p = journal.rfind("\"conn\":");
    return p == std::string::npos ? -1 : kivstore::json_int(journal, "conn", p);
}

TEST_F(KivFs, ResetInsideTheBodyFailsTheReadAndDropsTheConnection) {
    std::string data = pattern(300000, 5);
    ASSERT_EQ(0, put("/kiv-test/rst/obj", data));
    for (int after : {0, 1000, 299999}) {
        SCOPED_TRACE(after);
        std::unique_ptr<IFile> f(fs->open("/kiv-test/rst/obj", O_RDONLY));
        std::string out(data.size(), 0);
        // a warm pooled connection first, so that the broken one would be the pool's
        ASSERT_EQ(10, f->pread(out.data(), 10, 0));
        rule(R"({"op":"GetObject","key":"rst/obj","reset_after":)" + std::to_string(after) + "}");
        reset_counters();
        errno = 0;
        EXPECT_EQ(-1, f->pread(out.data(), out.size(), 0));
        EXPECT_NE(0, errno);
        EXPECT_EQ(1, count("GetObject"));
        int broken = last_conn(store->requests());
        ASSERT_GT(broken, 0);

        LogCapture log(zentho::ALOG_WARN);
        reset_counters();
        ASSERT_EQ(ssize_t(data.size()), f->pread(out.data(), out.size(), 0));
        EXPECT_TRUE(out == data);
        // one request, on another connection, and no failed attempt on the broken one
        EXPECT_EQ(1, count("GetObject"));
        EXPECT_NE(broken, last_conn(store->requests()));
        EXPECT_EQ("", log.text());
    }
}

int main(int argc, char** argv) { return kivstore::test_main(argc, argv); }
