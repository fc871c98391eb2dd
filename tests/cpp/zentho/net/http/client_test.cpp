#include "zentho/net/http/client.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "../peers.h"
#include "log_capture.h"
#include "zentho/net/kernel_socket.h"

using namespace zentho;
using namespace zentho::net;
using namespace zentho::net::http;

namespace {

const std::string CHUNKED =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
    "5\r\nhello\r\n1;x=y\r\n \r\n10\r\n0123456789abcdef\r\n0\r\n\r\n";

class HttpClient : public ::testing::Test {
protected:
    static inline peers::Process* server = nullptr;
    static inline int port = 0;
    static inline TempDir* dir = nullptr;

    static void SetUpTestSuite() {
        std::string here = __FILE__;
        std::string script = here.substr(0, here.rfind('/')) + "/peer_server.py";
        std::string py = peers::which("python3");
        ASSERT_FALSE(py.empty()) << "python3 missing: run tools/setup.sh";
        dir = new TempDir;
        std::string log = dir->path() + "/port";
        server = new peers::Process({py, script}, log);
        for (int i = 0; i < 500 && port == 0; i++) {
            std::ifstream in(log);
            in >> port;
            if (!port) usleep(10000);
        }
        ASSERT_NE(0, port) << "peer server did not start";
        ASSERT_TRUE(peers::wait_listening(port));
    }
    static void TearDownTestSuite() {
        delete server;
        delete dir;
    }
    void SetUp() override {
        ASSERT_EQ(0, init(INIT_EVENT_EPOLL));
        client = new_http_client();
    }
    void TearDown() override {
        delete client;
        fini();
    }
    std::string url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }
    static std::string body(Client::Operation& op) {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = op.resp.read(buf, sizeof(buf))) > 0) out.append(buf, n);
        return out;
    }
    Client* client = nullptr;
};

}  // namespace

TEST_F(HttpClient, KeepAliveReusesOneConnection) {
    std::string before;
    {
        Client::Operation op(Verb::GET, url("/conns"));
        ASSERT_EQ(0, client->call(&op));
        before = body(op);
    }
    for (int i = 0; i < 5; i++) {
        Client::Operation op(Verb::GET, url("/hello"));
        ASSERT_EQ(0, client->call(&op));
        EXPECT_EQ(200, op.status_code);
        EXPECT_EQ("hello", body(op));
    }
    Client::Operation op(Verb::GET, url("/conns"));
    ASSERT_EQ(0, client->call(&op));
    EXPECT_EQ(before, body(op));  // no new connection was accepted
}

TEST_F(HttpClient, ChunkedAnswerCutAtEveryByteBoundary) {
    for (size_t cut = 0; cut <= CHUNKED.size(); cut++) {
        Client::Operation op(Verb::GET, url("/chunked?cut=" + std::to_string(cut)));
        ASSERT_EQ(0, client->call(&op)) << cut;
        EXPECT_EQ("hello 0123456789abcdef", body(op)) << cut;
    }
}

TEST_F(HttpClient, PeerClosingAnIdleConnectionCostsNoRetry) {
    {
        Client::Operation op(Verb::GET, url("/closeidle"));
        ASSERT_EQ(0, client->call(&op));
        EXPECT_EQ("bye soon", body(op));
    }
    thread_usleep(Timeout(150000));
    Client::Operation op(Verb::GET, url("/hello"));
    op.retry = 0;
    LogCapture cap(ALOG_ERROR);
    ASSERT_EQ(0, client->call(&op));
    EXPECT_EQ("hello", body(op));
    EXPECT_EQ("", cap.text());
}

TEST_F(HttpClient, SlowAnswerHitsTheDeadline) {
    LogCapture quiet(ALOG_FATAL);
    Client::Operation op(Verb::GET, url("/slow?ms=800"), 150000);
    uint64_t t0 = update_now();
    EXPECT_EQ(-1, client->call(&op));
    EXPECT_EQ(ETIMEDOUT, errno);
    uint64_t took = update_now() - t0;
    EXPECT_GE(took, 140000u);
    EXPECT_LT(took, 700000u);
    // the client timeout caps an operation without a deadline
    client->timeout(100000);
    Client::Operation op2(Verb::GET, url("/slow?ms=800"));
    EXPECT_EQ(-1, client->call(&op2));
    EXPECT_EQ(ETIMEDOUT, errno);
}

TEST_F(HttpClient, Redirects) {
    struct Case {
        Verb verb;
        const char* path;
        uint16_t follow;
        int result, status;
        const char* body;
    } cases[] = {
        {Verb::POST, "/redirect?code=302&to=/echo", 8, 0, 200, "POST 0 KIVConnector"},
        {Verb::PUT, "/redirect?code=303&to=/echo", 8, 0, 200, "GET 0 KIVConnector"},
        {Verb::GET, "/redirect?code=307&to=/redirect%3Fcode%3D301%26to%3D/hello", 8, 0, 200, "hello"},
        {Verb::GET, "/redirect?code=301&to=/hello", 0, 0, 301, "moved"},
        {Verb::GET, "/redirect?code=304&to=/hello", 8, -1, 304, nullptr},
        {Verb::GET, "/redirect?code=302&to=/redirect?code=302", 1, -1, -1, nullptr},
    };
    LogCapture quiet(ALOG_FATAL);
    for (auto& c : cases) {
        Client::Operation op(c.verb, url(c.path));
        op.follow = c.follow;
        errno = 0;
        EXPECT_EQ(c.result, client->call(&op)) << c.path;
        EXPECT_EQ(c.status, op.status_code) << c.path;
        if (c.body) {
            EXPECT_EQ(c.body, body(op)) << c.path;
        }
        if (c.status == 304) {
            EXPECT_EQ(EINVAL, errno);
        }
    }
}

TEST_F(HttpClient, RefusedOnEveryAttemptMakesRetryPlusOneAttemptsWithoutSleeping) {
    ISocketServer* gone = new_tcp_socket_server();
    gone->bind(EndPoint(IPAddr("127.0.0.1"), 0));
    EndPoint ep;
    gone->getsockname(ep);
    delete gone;
    LogCapture cap(ALOG_ERROR);
    Client::Operation op(Verb::GET, "http://127.0.0.1:" + std::to_string(ep.port) + "/");
    op.retry = 5;
    uint64_t t0 = update_now();
    EXPECT_EQ(-1, client->call(&op));
    EXPECT_LT(update_now() - t0, 500000u);
    std::string log = cap.text();
    size_t attempts = 0;
    for (size_t p = 0; (p = log.find("connection refused", p)) != std::string::npos; p++) attempts++;
    EXPECT_EQ(6u, attempts);
    EXPECT_NE(std::string::npos, log.find("connection failed"));
}

TEST_F(HttpClient, TransportFailuresBackOffZeroThenOneSecond) {
    EXPECT_EQ(0u, next_backoff_ms(0, true));
    EXPECT_EQ(1000u, next_backoff_ms(0, false));
    EXPECT_EQ(3000u, next_backoff_ms(1000, false));
    EXPECT_EQ(7000u, next_backoff_ms(3000, false));
    // a peer that accepts and hangs up at once: every header receive fails
    ISocketServer* srv = new_tcp_socket_server();
    srv->bind(EndPoint(IPAddr("127.0.0.1"), 0));
    srv->listen();
    EndPoint ep;
    srv->getsockname(ep);
    int accepted = 0;
    srv->set_handler([](void* n, ISocketStream*) -> int { return ++*static_cast<int*>(n); }, &accepted);
    srv->start_loop();
    LogCapture quiet(ALOG_FATAL);
    Client::Operation op(Verb::GET, "http://127.0.0.1:" + std::to_string(ep.port) + "/");
    op.retry = 2;
    uint64_t t0 = update_now();
    EXPECT_EQ(-1, client->call(&op));
    uint64_t took = update_now() - t0;
    EXPECT_EQ(3, accepted);
    EXPECT_GE(took, 1000000u);  // sleeps of 0 and 1000 ms
    EXPECT_LT(took, 2500000u);
    delete srv;
}

TEST_F(HttpClient, BodiesAndTheConflictingFramingRule) {
    struct Src : fs::IStream {
        size_t left;
        explicit Src(size_t n) : left(n) {}
        int close() override { return 0; }
        ssize_t read(void* buf, size_t n) override {
            n = std::min(n, left);
            memset(buf, 'z', n);
            left -= n;
            return n;
        }
        ssize_t readv(const struct iovec*, int) override { return -1; }
        ssize_t write(const void*, size_t) override { return -1; }
        ssize_t writev(const struct iovec*, int) override { return -1; }
    } src(100000);
    Client::Operation op(Verb::PUT, url("/echo"));
    op.req.headers.insert("Content-Length", "100000");
    op.body_stream = &src;
    ASSERT_EQ(0, client->call(&op));
    EXPECT_EQ("PUT 100000 KIVConnector", body(op));

    Client::Operation chunked(Verb::POST, url("/echo"));
    chunked.req.headers.insert("Transfer-Encoding", "chunked");
    chunked.body_writer = [](Request* r) { return r->write("0123456789", 10) + r->write("abc", 3); };
    ASSERT_EQ(0, client->call(&chunked));
    EXPECT_EQ("POST 13 KIVConnector", body(chunked));

    LogCapture cap(ALOG_ERROR);
    Client::Operation bad(Verb::PUT, url("/echo"));
    bad.req.headers.insert("Content-Length", "5");
    bad.req.headers.insert("Transfer-Encoding", "chunked");
    EXPECT_EQ(1, client->call(&bad));
    EXPECT_EQ(-1, bad.status_code);
    EXPECT_EQ(EINVAL, errno);
    EXPECT_TRUE(cap.contains("Content-Length and Transfer-Encoding conflicted"));
}

TEST_F(HttpClient, UnknownHostIsRefusedAndCommonHeadersAreSent) {
    client->common_headers().insert("User-Agent", "custom");  // the client's own one wins
    client->common_headers().insert("X-Common", "1");
    Client::Operation op(Verb::GET, url("/echo"));
    ASSERT_EQ(0, client->call(&op));
    EXPECT_EQ("GET 0 KIVConnector", body(op));
    EXPECT_EQ("1", op.req.headers["x-common"]);
    LogCapture quiet(ALOG_FATAL);
    Client::Operation nx(Verb::GET, "http://no-such-host.invalid/");
    nx.retry = 1;
    EXPECT_EQ(-1, client->call(&nx));
}
