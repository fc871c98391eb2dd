// The client against nginx on loopback, over HTTP and HTTPS (test CA).
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "../peers.h"
#include "log_capture.h"
#include "zentho/net/http/client.h"

using namespace zentho;
using namespace zentho::net;
using namespace zentho::net::http;

namespace {

class Nginx : public ::testing::Test {
protected:
    static inline peers::TestCA* ca = nullptr;
    static inline TempDir* dir = nullptr;
    static inline peers::Process* nginx = nullptr;
    static inline int http_port = 0, https_port = 0;
    static inline std::string big;

    static void SetUpTestSuite() {
        std::string bin = peers::which("nginx");
        ASSERT_FALSE(bin.empty()) << "nginx binary missing: run tools/setup.sh (Debian package nginx)";
        ca = new peers::TestCA;
        setenv("SSL_CERT_FILE", ca->path("ca.pem").c_str(), 1);
        dir = new TempDir;
        const std::string d = dir->path();
        mkdir((d + "/www").c_str(), 0755);
        big.resize(8 << 20);
        for (size_t i = 0; i < big.size(); i++) big[i] = char((i * 131) >> 3);
        std::ofstream(d + "/www/big.bin") << big;
        std::ofstream(d + "/www/small.txt") << "0123456789abcdefghijklmnopqrstuvwxyz";
        http_port = peers::free_port();
        https_port = peers::free_port();
        std::ofstream conf(d + "/nginx.conf");
        conf << "worker_processes 1;\nuser root;\npid " << d << "/nginx.pid;\nerror_log " << d
             << "/error.log;\nevents { worker_connections 256; }\nhttp {\n"
             << "  access_log off;\n  client_body_temp_path " << d << "/tmp;\n  proxy_temp_path " << d
             << "/tmp;\n  fastcgi_temp_path " << d << "/tmp;\n  uwsgi_temp_path " << d << "/tmp;\n  scgi_temp_path "
             << d << "/tmp;\n  keepalive_requests 10000;\n"
             << "  server {\n    listen 127.0.0.1:" << http_port << ";\n    listen 127.0.0.1:" << https_port
             << " ssl;\n    listen 127.0.0.2:" << https_port << " ssl;\n    ssl_certificate " << ca->path("good.pem") << ";\n    ssl_certificate_key "
             << ca->path("good.key") << ";\n    root " << d << "/www;\n"
             << "    location = /moved { return 302 /small.txt; }\n"
             << "    location = /close { keepalive_timeout 0; try_files /small.txt =404; }\n  }\n}\n";
        conf.close();
        nginx = new peers::Process({bin, "-p", d, "-c", d + "/nginx.conf", "-g", "daemon off;"}, d + "/stdout.log");
        ASSERT_TRUE(peers::wait_listening(http_port)) << "nginx did not start";
        ASSERT_TRUE(peers::wait_listening(https_port));
    }
    static void TearDownTestSuite() {
        delete nginx;
        delete dir;
        delete ca;
        unsetenv("SSL_CERT_FILE");
    }
    void SetUp() override {
        ASSERT_EQ(0, init(INIT_EVENT_EPOLL));
        client = new_http_client();
    }
    void TearDown() override {
        delete client;
        fini();
    }
    static std::string url(bool tls, const std::string& path, const char* host = "localhost") {
        return std::string(tls ? "https://" : "http://") + host + ":" + std::to_string(tls ? https_port : http_port) + path;
    }
    static std::string body(Client::Operation& op) {
        std::string out;
        std::string buf(1 << 16, 0);
        ssize_t n;
        while ((n = op.resp.read(buf.data(), buf.size())) > 0) out.append(buf.data(), n);
        return out;
    }
    Client* client = nullptr;
};

}  // namespace

TEST_F(Nginx, KeepAliveRangesRedirectsCloseAndLargeBodies) {
    for (bool tls : {false, true}) {
        SCOPED_TRACE(tls ? "https" : "http");
        int port_local = -1;
        for (int i = 0; i < 3; i++) {
            Client::Operation op(Verb::GET, url(tls, "/small.txt"));
            ASSERT_EQ(0, client->call(&op));
            EXPECT_EQ(200, op.status_code);
            EXPECT_EQ("0123456789abcdefghijklmnopqrstuvwxyz", body(op));
            // keep-alive: the same local port every time
            EndPoint local;
            op.resp.socket_stream()->getsockname(local);
            if (port_local >= 0) {
                EXPECT_EQ(port_local, local.port);
            }
            port_local = local.port;
        }
        {
            Client::Operation op(Verb::GET, url(tls, "/big.bin"));
            op.req.headers.insert("Range", "bytes=1000-1999");
            ASSERT_EQ(0, client->call(&op));
            EXPECT_EQ(206, op.status_code);
            EXPECT_EQ(1000, op.resp.body_size());
            EXPECT_EQ(int64_t(big.size()), op.resp.resource_size());
            EXPECT_EQ(big.substr(1000, 1000), body(op));
        }
        {
            Client::Operation op(Verb::GET, url(tls, "/moved"));
            ASSERT_EQ(0, client->call(&op));
            EXPECT_EQ(200, op.status_code);
            EXPECT_EQ("0123456789abcdefghijklmnopqrstuvwxyz", body(op));
        }
        {
            Client::Operation op(Verb::GET, url(tls, "/close"));
            ASSERT_EQ(0, client->call(&op));
            EXPECT_TRUE(op.resp.close_after_use());
            body(op);
        }
        {
            Client::Operation op(Verb::GET, url(tls, "/big.bin"));
            ASSERT_EQ(0, client->call(&op));
            EXPECT_EQ(int64_t(big.size()), op.resp.body_size());
            EXPECT_TRUE(big == body(op));
        }
        {
            Client::Operation op(Verb::HEAD, url(tls, "/big.bin"));
            ASSERT_EQ(0, client->call(&op));
            EXPECT_EQ(0, op.resp.body_size());
            EXPECT_EQ(int64_t(big.size()), op.resp.headers.content_length());
        }
    }
}

TEST_F(Nginx, HttpsToAnotherNameIsRefused) {
    // the certificate names localhost and 127.0.0.1, not 127.0.0.2
    LogCapture cap(ALOG_ERROR);
    Client::Operation ip(Verb::GET, url(true, "/small.txt", "127.0.0.2"));
    ip.retry = 0;
    EXPECT_EQ(-1, client->call(&ip));
    EXPECT_EQ(-1, ip.status_code);
    EXPECT_TRUE(cap.contains("TLS peer verification failed, host: 127.0.0.2 reason: IP address mismatch")) << cap.text();
}
