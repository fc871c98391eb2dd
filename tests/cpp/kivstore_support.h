#pragma once
// Tests against the local object store process (tools/kivstore), which checks
// every signature. Virtual-host names resolve only inside tools/vhost-run, so
// a test binary's main() re-executes itself through it when they do not:
//     int main(int argc, char** argv) { return kivstore::test_main(argc, argv); }
// The store has a control port for fault rules, counters and the journal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/credential_provider.h"
#include "kivfs/kivfs_v2.h"
#include "log_capture.h"
#include "object/buffer.h"
#include "zentho/net/peers.h"
#include "zentho/thread/thread.h"

namespace kivstore {

inline const std::string SUPPORT_HERE = __FILE__;
inline const std::string REPO = SUPPORT_HERE.substr(0, SUPPORT_HERE.rfind("/tests/cpp/"));
inline const char* VHOST = "kiv-test.kiv-local.kivstore.test";
inline const std::string ENDPOINT_HOST = "kiv-local.kivstore.test";
inline const std::string KEY_ID = "kivtestaccesskey", SECRET = "kivtestsecret0123456789";

class FixedCreds : public CredentialProvider {
public:
    std::string access_key_id() override { return KEY_ID; }
    std::string access_key_secret() override { return SECRET; }
    std::string security_token() override { return ""; }
    int64_t expiration() override { return -1; }
    bool validate(std::string&) override { return true; }
    int reset() override { return 0; }
};

// The first integer value of "name" in a JSON text, -1 when absent.
inline int json_int(const std::string& doc, const std::string& name, size_t from = 0) {
    auto p = doc.find("\"" + name + "\":", from);
    if (p == std::string::npos) return -1;
    return atoi(doc.c_str() + p + name.size() + 3);
}

inline std::string json_str(const std::string& doc, const std::string& name) {
    auto p = doc.find("\"" + name + "\": \"");
    if (p == std::string::npos) return "";
    p += name.size() + 5;
    return doc.substr(p, doc.find('"', p) - p);
}

// A plain blocking exchange with the store's control port; the body, or "" on failure.
inline std::string control(int port, const std::string& method, const std::string& path,
                           const std::string& body = "") {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (sockaddr*)&a, sizeof(a)) != 0) {
        ::close(fd);
        return "";
    }
    std::string req = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                      "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\n\r\n" + body;
    if (::write(fd, req.data(), req.size()) != ssize_t(req.size())) {
        ::close(fd);
        return "";
    }
    std::string out;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof(buf))) > 0) out.append(buf, n);
    ::close(fd);
    auto p = out.find("\r\n\r\n");
    return p == std::string::npos ? "" : out.substr(p + 4);
}

// n reproducible pseudo-random bytes.
// A buffer's bytes as text, the buffer released; "<null>" for none.
inline std::string take(IBuffer* b) {
    if (!b) return "<null>";
    std::string s(static_cast<const char*>(b->data ? b->data : ""), b->size);
    release_buffer(b);
    return s;
}

inline std::string pattern(size_t n, unsigned seed) {
    std::string s(n, 0);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 16);
    }
    return s;
}

// One store process with the buckets "kiv-test" and "kiv-test-2".
class Store {
public:
    Store() {
        std::string ready = m_dir.path() + "/ready.json";
        setenv("PYTHONPATH", (REPO + "/tools").c_str(), 1);
        m_process.reset(new peers::Process(
            {peers::which("python3"), "-m", "kivstore", "--data-dir", m_dir.path() + "/data", "--ready-file", ready,
             "--access-key", KEY_ID + ":" + SECRET, "--http-port", "0", "--https-port", "0", "--control-port", "0",
             "--bucket", "kiv-test", "--bucket", "kiv-test-2"},
            m_dir.path() + "/store.log"));
        std::string doc;
        for (int i = 0; i < 3000 && doc.empty(); i++) {
            std::ifstream in(ready);
            std::stringstream ss;
            ss << in.rdbuf();
            doc = ss.str();
            if (doc.empty()) usleep(10000);
        }
        http_port = json_int(doc, "http_port");
        https_port = json_int(doc, "https_port");
        control_port = json_int(doc, "control_port");
        ca_file = json_str(doc, "ca_file");
    }
    bool ready() const { return http_port > 0 && control_port > 0; }
    std::string endpoint() const { return ENDPOINT_HOST + ":" + std::to_string(http_port); }

    std::string control(const std::string& method, const std::string& path, const std::string& body = "") const {
        return kivstore::control(control_port, method, path, body);
    }
    // Requests received for an operation ("total": all) since the last reset.
    int count(const std::string& op) const { return std::max(0, json_int(control("GET", "/counters"), op)); }
    void reset_counters() const { control("DELETE", "/counters"); }
    // Arms one fault rule (a JSON object, see tools/kivstore/faults.py); false when refused.
    bool rule(const std::string& json) const {
        std::string r = control("POST", "/rules", json);
        return r.find("\"ids\"") != std::string::npos;
    }
    void clear_rules() const { control("DELETE", "/rules"); }
    // The journal since the last reset, as the store's JSON list.
    std::string requests() const { return control("GET", "/requests"); }

    int http_port = 0, https_port = 0, control_port = 0;
    std::string ca_file;

private:
    TempDir m_dir;
    std::unique_ptr<peers::Process> m_process;
};

// One store per test suite; each test runs on an initialised runtime thread
// with a fresh object store file system and no fault rules.
class StoreTest : public ::testing::Test {
protected:
    static inline Store* store = nullptr;

    static void SetUpTestSuite() {
        store = new Store;
        ASSERT_TRUE(store->ready()) << "kivstore did not start";
    }
    static void TearDownTestSuite() {
        delete store;
        store = nullptr;
    }
    void SetUp() override {
        ASSERT_EQ(0, zentho::init(zentho::INIT_EVENT_EPOLL));
        fs.reset(new FileSystem::kivFs_v2(store->endpoint(), &creds, 10000000));
        store->clear_rules();
    }
    void TearDown() override {
        fs.reset();
        store->clear_rules();
        zentho::fini();
    }

    int count(const std::string& op) { return store->count(op); }
    void reset_counters() { store->reset_counters(); }
    void rule(const std::string& json) { ASSERT_TRUE(store->rule(json)) << json; }

    // Stores data as the object at path with one PUT; 0 or -1.
    int put(const std::string& path, const std::string& data) {
        std::unique_ptr<zentho::fs::IFile> f(fs->open(path.c_str(), O_CREAT | O_WRONLY));
        if (!f) return -1;
        if (f->write(data.data(), data.size()) != ssize_t(data.size())) return -1;
        return f->close();
    }
    // Makes "bucket/key" a server-side copy of the object at source ("/bucket/key").
    int copy(const std::string& bucket, const std::string& key, const std::string& source) {
        FileSystem::kivFs_v2::Call c;
        if (fs->make_call(c, zentho::net::http::Verb::PUT, bucket, key, {},
                          {{"x-kiv-copy-source", source}, {"Content-Length", "0"}}) < 0)
            return -1;
        return fs->do_onstack_call(c);
    }
    // The whole object, read in 64 KiB ranges; *err gets the errno of a failed read.
    std::string get(const std::string& path, int* err = nullptr) {
        std::unique_ptr<zentho::fs::IFile> f(fs->open(path.c_str(), O_RDONLY));
        std::string out;
        char buf[1 << 16];
        for (;;) {
            ssize_t n = f->pread(buf, sizeof(buf), off_t(out.size()));
            if (n < 0 && err) *err = errno;
            if (n <= 0) break;
            out.append(buf, n);
        }
        return out;
    }

    FixedCreds creds;
    std::unique_ptr<FileSystem::kivFs_v2> fs;
};

inline int test_main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; i++) listing |= strstr(argv[i], "gtest_list_tests") != nullptr;
    addrinfo* res = nullptr;
    bool resolves = getaddrinfo(VHOST, nullptr, nullptr, &res) == 0;
    if (res) freeaddrinfo(res);
    if (!resolves && !listing && !getenv("KIVSTORE_TEST_IN_VHOST")) {
        setenv("KIVSTORE_TEST_IN_VHOST", "1", 1);
        std::string runner = REPO + "/tools/vhost-run";
        std::vector<char*> args{(char*)"python3", runner.data(), (char*)"--"};
        for (int i = 0; i < argc; i++) args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("python3", args.data());
        perror("exec tools/vhost-run");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

}  // namespace kivstore
