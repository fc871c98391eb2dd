#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "peers.h"
#include "zentho/net/kernel_socket.h"
#include "zentho/net/tls-stream.h"
#include "zentho/thread/thread.h"

using namespace zentho;
using namespace zentho::net;

namespace {

class Tls : public ::testing::Test {
protected:
    static inline peers::TestCA* ca = nullptr;
    static void SetUpTestSuite() {
        ca = new peers::TestCA;
        setenv("SSL_CERT_FILE", ca->path("ca.pem").c_str(), 1);
    }
    static void TearDownTestSuite() {
        delete ca;
        unsetenv("SSL_CERT_FILE");
    }
    void SetUp() override {
        ASSERT_FALSE(peers::which("openssl").empty()) << "openssl binary missing: run tools/setup.sh";
        ASSERT_EQ(0, init(INIT_EVENT_EPOLL));
    }
    void TearDown() override { fini(); }

    // s_server with the named certificate; extra arguments appended.
    std::unique_ptr<peers::Process> s_server(const std::string& cert, int& port, std::vector<std::string> extra = {}) {
        port = peers::free_port();
        std::vector<std::string> argv = {peers::which("openssl"), "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                         "-cert", ca->path(cert + ".pem"), "-key", ca->path(cert + ".key"), "-www", "-quiet"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto p = std::make_unique<peers::Process>(argv);
        EXPECT_TRUE(peers::wait_listening(port)) << "openssl s_server did not start";
        return p;
    }

    // GET / through TLS to host; returns the first bytes of the answer or "" on failure.
    static std::string get(int port, const char* host, TLSContext* ctx) {
        auto* tcp = new_tcp_socket_client();
        auto* client = new_tls_client(ctx, tcp, true);
        auto* s = client->connect(EndPoint(IPAddr("127.0.0.1"), port));
        std::string out;
        if (s) {
            s->timeout(5000000);
            EXPECT_EQ(0, tls_stream_set_hostname(s, host));
            const char req[] = "GET / HTTP/1.0\r\n\r\n";
            if (s->write(req, sizeof(req) - 1) == ssize_t(sizeof(req) - 1)) {
                char buf[64];
                ssize_t n = s->read(buf, 15);
                if (n > 0) out.assign(buf, n);
            }
            delete s;
        }
        delete client;
        return out;
    }
};

}  // namespace

TEST_F(Tls, HandshakeWithTrustedCertificateByNameAndAddress) {
    int port;
    auto srv = s_server("good", port);
    TLSContext* ctx = new_tls_context(nullptr, nullptr, nullptr, 2);
    ASSERT_NE(nullptr, ctx);
    EXPECT_EQ("HTTP/1.0 200 ok", get(port, "localhost", ctx));
    EXPECT_EQ("HTTP/1.0 200 ok", get(port, "127.0.0.1", ctx));
    delete ctx;
}

TEST_F(Tls, ServerNameIndicationReachesThePeer) {
    int port;
    // the default certificate names other.example; only the server name "localhost" gets the good
    // one, so a handshake that verifies proves the name was sent
    auto srv = s_server("wrong", port,
                        {"-servername", "localhost", "-servername_fatal", "-cert2", ca->path("good.pem"), "-key2",
                         ca->path("good.key")});
    TLSContext* ctx = new_tls_context(nullptr, nullptr, nullptr, 2);
    EXPECT_EQ("HTTP/1.0 200 ok", get(port, "localhost", ctx));
    LogCapture quiet(ALOG_FATAL);
    // another name draws the fatal alert
    EXPECT_EQ("", get(port, "other.example", ctx));
    delete ctx;
}

TEST_F(Tls, WrongNameAndUnknownCaAreRefusedWithOneLine) {
    struct Case {
        const char* cert;
        const char* host;
        const char* reason;
    } cases[] = {
        {"wrong", "localhost", "hostname mismatch"},
        {"good", "other.example", "hostname mismatch"},
        {"stranger", "localhost", "unable to get local issuer certificate"},
    };
    for (auto& c : cases) {
        int port;
        auto srv = s_server(c.cert, port);
        TLSContext* ctx = new_tls_context(nullptr, nullptr, nullptr, 0);
        LogCapture cap(ALOG_ERROR);
        EXPECT_EQ("", get(port, c.host, ctx)) << c.cert;
        std::string log = cap.text();
        size_t lines = std::count(log.begin(), log.end(), '\n');
        EXPECT_EQ(1u, lines) << log;
        EXPECT_NE(std::string::npos, log.find(std::string("host: ") + c.host)) << log;
        EXPECT_NE(std::string::npos, log.find(c.reason)) << log;
        delete ctx;
    }
}

TEST_F(Tls, ContextLoadsCertificateAndKey) {
    auto slurp = [](const std::string& p) {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    std::string cert = slurp(ca->path("good.pem")), key = slurp(ca->path("good.key"));
    TLSContext* ok = new_tls_context(cert.c_str(), key.c_str(), nullptr, 0);
    EXPECT_NE(nullptr, ok);
    delete ok;
    LogCapture quiet(ALOG_FATAL);
    std::string other = slurp(ca->path("wrong.key"));
    EXPECT_EQ(nullptr, new_tls_context(cert.c_str(), other.c_str(), nullptr, 0));  // key does not match
    EXPECT_EQ(nullptr, new_tls_context("not a pem", nullptr, nullptr, 0));
    EXPECT_EQ(nullptr, new_tls_stream(nullptr, nullptr, SecurityRole::Client, false));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(Tls, OwnServerAndClientTalkOverTls) {
    auto slurp = [](const std::string& p) {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    std::string cert = slurp(ca->path("good.pem")), key = slurp(ca->path("good.key"));
    TLSContext* sctx = new_tls_context(cert.c_str(), key.c_str(), nullptr, 0);
    ASSERT_NE(nullptr, sctx);
    ISocketServer* srv = new_tls_server(sctx, new_tcp_socket_server(), true);
    ASSERT_EQ(0, srv->bind(EndPoint(IPAddr("127.0.0.1"), 0)));
    ASSERT_EQ(0, srv->listen());
    EndPoint ep;
    srv->getsockname(ep);
    srv->set_handler([](void*, ISocketStream* s) -> int {
        char buf[5];
        if (s->read(buf, 5) != 5) return -1;
        return s->write(buf, 5) == 5 ? 0 : -1;
    }, nullptr);
    ASSERT_EQ(0, srv->start_loop());
    TLSContext* cctx = new_tls_context(nullptr, nullptr, nullptr, 2);
    auto* client = new_tls_client(cctx, new_tcp_socket_client(), true);
    auto* s = client->connect(ep);
    ASSERT_NE(nullptr, s);
    ASSERT_EQ(0, tls_stream_set_hostname(s, "localhost"));
    EXPECT_EQ(5, s->write("hello", 5));
    char buf[5];
    EXPECT_EQ(5, s->read(buf, 5));
    EXPECT_EQ("hello", std::string(buf, 5));
    delete s;
    delete client;
    delete cctx;
    delete srv;
    delete sctx;
}
