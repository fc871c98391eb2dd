#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "log_capture.h"
#include "zentho/net/kernel_socket.h"
#include "zentho/net/pooled_socket.h"
#include "zentho/thread/thread.h"

using namespace zentho;
using namespace zentho::net;

namespace {

class Sockets : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, init(INIT_EVENT_EPOLL)); }
    void TearDown() override { fini(); }

    // An echo server on 127.0.0.1 that answers each line-free read with the same bytes.
    struct Echo {
        ISocketServer* server = new_tcp_socket_server();
        EndPoint ep;
        int accepted = 0;
        Echo() {
            EXPECT_EQ(0, server->bind(EndPoint(IPAddr("127.0.0.1"), 0)));
            EXPECT_EQ(0, server->listen());
            server->getsockname(ep);
            server->set_handler(&handle, this);
            EXPECT_EQ(0, server->start_loop());
        }
        ~Echo() { delete server; }
        static int handle(void* self, ISocketStream* s) {
            static_cast<Echo*>(self)->accepted++;
            char buf[4096];
            for (;;) {
                ssize_t n = s->recv(buf, sizeof(buf));
                if (n <= 0) return 0;
                if (buf[0] == 'Q') return 0;  // the server closes this connection
                if (s->write(buf, n) != n) return 0;
            }
        }
    };
};

}  // namespace

TEST_F(Sockets, TcpEchoAndSecondStartLoopFails) {
    Echo echo;
    ASSERT_NE(0, echo.ep.port);
    errno = 0;
    {
        LogCapture quiet(ALOG_FATAL);
        EXPECT_EQ(-1, echo.server->start_loop());
        EXPECT_EQ(EALREADY, errno);
    }
    auto* client = new_tcp_socket_client();
    auto* s = client->connect(echo.ep);
    ASSERT_NE(nullptr, s);
    std::string big(1 << 20, 'x');
    for (size_t i = 0; i < big.size(); i++) big[i] = char(i * 7);
    std::string back(big.size(), 0);
    // writer and reader on two coroutines so neither side's buffers fill up
    struct W {
        ISocketStream* s;
        std::string* data;
        ssize_t r = 0;
    } w{s, &big};
    Thread* th = thread_create([](void* a) -> void* {
        auto* w = static_cast<W*>(a);
        w->r = w->s->write(w->data->data(), w->data->size());
        return nullptr;
    }, &w);
    thread_set_joinable(th);
    EXPECT_EQ(ssize_t(back.size()), s->read(back.data(), back.size()));
    thread_join(th);
    EXPECT_EQ(ssize_t(big.size()), w.r);
    EXPECT_EQ(big, back);
    EndPoint peer;
    EXPECT_EQ(0, s->getpeername(peer));
    EXPECT_EQ(echo.ep, peer);
    delete s;
    delete client;
}

TEST_F(Sockets, TimeoutAndRefusedConnect) {
    Echo echo;
    auto* client = new_tcp_socket_client();
    auto* s = client->connect(echo.ep);
    ASSERT_NE(nullptr, s);
    s->timeout(50000);
    char c;
    uint64_t t0 = update_now();
    EXPECT_EQ(-1, s->recv(&c, 1));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_GE(update_now() - t0, 40000u);
    delete s;
    LogCapture quiet(ALOG_FATAL);
    ISocketServer* closed = new_tcp_socket_server();
    closed->bind(EndPoint(IPAddr("127.0.0.1"), 0));
    EndPoint ep;
    closed->getsockname(ep);
    delete closed;  // bound, never listened, now gone: nothing listens there
    EXPECT_EQ(nullptr, client->connect(ep));
    EXPECT_EQ(ECONNREFUSED, errno);
    delete client;
}

TEST_F(Sockets, UnixPathLengthLimit) {
    TempDir dir;
    std::string base = dir.path() + "/";
    ASSERT_LT(base.size(), 100u);
    std::string p107 = base + std::string(107 - base.size(), 's');
    std::string p108 = p107 + "t";
    ASSERT_EQ(107u, p107.size());
    ISocketServer* srv = new_uds_server(true);
    ASSERT_EQ(0, srv->bind(p107.c_str()));
    ASSERT_EQ(0, srv->listen());
    srv->set_handler([](void*, ISocketStream* s) -> int { return s->write("hi", 2) == 2 ? 0 : -1; }, nullptr);
    ASSERT_EQ(0, srv->start_loop());
    auto* client = new_uds_client();
    auto* s = client->connect(p107.c_str());
    ASSERT_NE(nullptr, s);
    char buf[2];
    EXPECT_EQ(2, s->read(buf, 2));
    delete s;
    {
        LogCapture cap(ALOG_ERROR);
        errno = 0;
        EXPECT_EQ(nullptr, client->connect(p108.c_str()));
        EXPECT_EQ(ENAMETOOLONG, errno);
        EXPECT_TRUE(cap.contains("pathname is too long (108>107)"));
        ISocketServer* srv2 = new_uds_server(true);
        EXPECT_EQ(-1, srv2->bind(p108.c_str()));
        EXPECT_EQ(ENAMETOOLONG, errno);
        delete srv2;
    }
    delete client;
    delete srv;
    EXPECT_NE(0, access(p107.c_str(), F_OK));  // autoremove
}

TEST_F(Sockets, PoolReusesQuietConnectionsAndDropsClosedOnes) {
    Echo echo;
    auto* pool = new_tcp_socket_pool(new_tcp_socket_client(), UINT64_MAX, true);
    char buf[8];
    auto* a = pool->connect(echo.ep);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(0, a->read(buf, 0));  // a zero-length read keeps it reusable
    EXPECT_EQ(2, a->write("ab", 2));
    EXPECT_EQ(2, a->read(buf, 2));
    int fd = a->get_underlay_fd();
    delete a;
    EXPECT_EQ(1u, pool->idle_count());
    auto* b = pool->connect(echo.ep);
    EXPECT_EQ(fd, b->get_underlay_fd());
    EXPECT_EQ(1, echo.accepted);
    // the server closes it while it is idle: never handed out again
    EXPECT_EQ(1, b->write("Q", 1));
    delete b;
    thread_usleep(Timeout(20000));  // the collector sees the close
    EXPECT_EQ(0u, pool->idle_count());
    auto* c = pool->connect(echo.ep);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(2, c->write("cd", 2));
    EXPECT_EQ(2, c->read(buf, 2));
    EXPECT_EQ(2, echo.accepted);
    // a read that meets end of stream makes it non-reusable
    EXPECT_EQ(1, c->write("Q", 1));
    EXPECT_EQ(0, c->read(buf, 1));
    delete c;
    EXPECT_EQ(0u, pool->idle_count());
    LogCapture quiet(ALOG_FATAL);
    EXPECT_EQ(nullptr, pool->connect("/tmp/x"));
    EXPECT_EQ(ENOSYS, errno);
    delete pool;
}

TEST_F(Sockets, PoolIdleExpiry) {
    Echo echo;
    auto* pool = new_tcp_socket_pool(new_tcp_socket_client(), 30000, true);
    delete pool->connect(echo.ep);
    EXPECT_EQ(1u, pool->idle_count());
    thread_usleep(Timeout(100000));
    EXPECT_EQ(0u, pool->idle_count());
    delete pool;
}

TEST_F(Sockets, SourceAddressesSpreadOverBoth) {
    Echo echo;
    {
        setenv("HTTP_SOURCE_IP", "127.0.0.2,127.0.0.3", 1);
        auto* pool = new_tcp_socket_pool(new_tcp_socket_client(), UINT64_MAX, true);
        unsetenv("HTTP_SOURCE_IP");
        ASSERT_EQ(2u, pool->source_ips().size());
        int seen2 = 0, seen3 = 0;
        std::vector<ISocketStream*> held;
        for (int i = 0; i < 40; i++) {
            auto* s = pool->connect(echo.ep);
            ASSERT_NE(nullptr, s);
            EndPoint local;
            s->getsockname(local);
            if (local.addr == IPAddr("127.0.0.2")) seen2++;
            if (local.addr == IPAddr("127.0.0.3")) seen3++;
            held.push_back(s);
        }
        EXPECT_EQ(40, seen2 + seen3);
        EXPECT_GT(seen2, 0);
        EXPECT_GT(seen3, 0);
        for (auto* s : held) delete s;
        delete pool;
    }
    for (const char* env : {(const char*)nullptr, ""}) {
        if (env)
            setenv("HTTP_SOURCE_IP", env, 1);
        else
            unsetenv("HTTP_SOURCE_IP");
        auto* pool = new_tcp_socket_pool(new_tcp_socket_client(), UINT64_MAX, true);
        EXPECT_TRUE(pool->source_ips().empty());
        auto* s = pool->connect(echo.ep);
        EndPoint local;
        s->getsockname(local);
        EXPECT_EQ(IPAddr("127.0.0.1"), local.addr);  // the kernel's choice, nothing bound
        delete s;
        delete pool;
    }
    unsetenv("HTTP_SOURCE_IP");
}

TEST(Addresses, TextForms) {
    EXPECT_EQ("10.1.2.3", IPAddr("10.1.2.3").to_string());
    EXPECT_TRUE(IPAddr("10.1.2.3").is_ipv4());
    EXPECT_EQ("::1", IPAddr("::1").to_string());
    EXPECT_TRUE(IPAddr("nonsense").undefined());
    EXPECT_EQ("[::1]:80", EndPoint(IPAddr("::1"), 80).to_string());
    EXPECT_EQ(EndPoint(IPAddr("127.0.0.1"), 65535), EndPoint("127.0.0.1:65535"));
    EXPECT_TRUE(EndPoint("127.0.0.1:65536").undefined());
    EXPECT_EQ(EndPoint(IPAddr("::1"), 8), EndPoint("[::1]:8"));
}
