#pragma once
// Addresses and the stream socket interfaces. Sockets belong to the vCPU that
// created them and are used only by its coroutines; every call may block the
// calling coroutine, never the OS thread.

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <sys/un.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "zentho/fs/filesystem.h"

namespace zentho::net {

// 16 bytes in network order, always in IPv6 form; IPv4 is stored mapped.
struct IPAddr {
    in6_addr addr{};

    // The undefined address (mapped 0.0.0.0).
    IPAddr() { set_v4(0); }
    explicit IPAddr(const in6_addr& a) : addr(a) {}
    explicit IPAddr(in_addr a) { set_v4(a.s_addr); }
    // IPv6 text first, then dotted IPv4; anything else gives the undefined address.
    explicit IPAddr(const char* text);
    explicit IPAddr(std::string_view text);

    void set_v4(uint32_t be_addr) {
        memset(&addr, 0, 10);
        addr.s6_addr[10] = addr.s6_addr[11] = 0xFF;
        memcpy(&addr.s6_addr[12], &be_addr, 4);
    }
    bool is_ipv4() const {
        static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        return memcmp(addr.s6_addr, prefix, 12) == 0;
    }
    uint32_t to_nl() const {
        uint32_t v;
        memcpy(&v, &addr.s6_addr[12], 4);
        return v;
    }
    bool undefined() const { return is_ipv4() && to_nl() == 0; }
    bool operator==(const IPAddr& o) const { return memcmp(&addr, &o.addr, sizeof(addr)) == 0; }
    // Dotted decimal for mapped IPv4, standard IPv6 text otherwise.
    std::string to_string() const;
};

struct EndPoint {
    IPAddr addr;
    uint16_t port = 0;  // host order

    EndPoint() = default;
    EndPoint(IPAddr a, uint16_t p) : addr(a), port(p) {}
    // "host:port" or "[v6]:port"; a malformed text gives the undefined address, port 0.
    explicit EndPoint(std::string_view text);

    bool undefined() const { return addr.undefined(); }
    bool operator==(const EndPoint& o) const { return addr == o.addr && port == o.port; }
    std::string to_string() const;
};

struct EndPointHash {
    size_t operator()(const EndPoint& ep) const {
        // FNV-1a over the 18 bytes that identify the endpoint
        uint64_t h = 1469598103934665603ull;
        auto mix = [&](const uint8_t* p, size_t n) {
            for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
        };
        mix(ep.addr.addr.s6_addr, 16);
        mix(reinterpret_cast<const uint8_t*>(&ep.port), 2);
        return h;
    }
};

// A kernel socket address for an endpoint or a Unix path.
struct SockAddrStorage {
    union {
        sockaddr addr;
        sockaddr_in v4;
        sockaddr_in6 v6;
        sockaddr_un un;
    } u{};
    socklen_t len = 0;

    SockAddrStorage() = default;
    explicit SockAddrStorage(const EndPoint& ep);
    EndPoint to_endpoint() const;
    int family() const { return u.addr.sa_family; }
};

constexpr size_t UDS_PATH_MAX = sizeof(sockaddr_un::sun_path) - 1;  // 107

// Fills a Unix address; count 0 means strlen(path). -1/ENAMETOOLONG over 107 bytes.
int fill_uds_path(sockaddr_un& name, const char* path, size_t count);

class ISocketBase {
public:
    virtual ~ISocketBase() = default;
    virtual int get_underlay_fd() = 0;
    virtual int setsockopt(int level, int option_name, const void* option_value, socklen_t option_len) = 0;
    virtual int getsockopt(int level, int option_name, void* option_value, socklen_t* option_len) = 0;
    template <typename T>
    int setsockopt(int level, int option_name, T value) {
        return setsockopt(level, option_name, &value, sizeof(value));
    }
    // µs; -1 (the maximum) is unbounded
    virtual uint64_t timeout() const = 0;
    virtual void timeout(uint64_t tm) = 0;
};

class ISocketName {
public:
    virtual ~ISocketName() = default;
    virtual int getsockname(EndPoint& addr) = 0;
    virtual int getpeername(EndPoint& addr) = 0;
    virtual int getsockname(char* path, size_t count) = 0;
    virtual int getpeername(char* path, size_t count) = 0;
};

// recv and send are single attempts; read/readv/write/writev loop until the
// count is done (read stops early at end of stream).
class ISocketStream : public fs::IStream, public ISocketBase, public ISocketName {
public:
    virtual ssize_t recv(void* buf, size_t count, int flags = 0) = 0;
    virtual ssize_t recv(const struct iovec* iov, int iovcnt, int flags = 0) = 0;
    virtual ssize_t send(const void* buf, size_t count, int flags = 0) = 0;
    virtual ssize_t send(const struct iovec* iov, int iovcnt, int flags = 0) = 0;
    virtual ssize_t sendfile(int in_fd, off_t offset, size_t count) = 0;
};

class ISocketClient : public ISocketBase, public Object {
public:
    // The result belongs to the caller; null with errno on failure.
    virtual ISocketStream* connect(const EndPoint& remote, const EndPoint* local = nullptr) = 0;
    virtual ISocketStream* connect(const char* path, size_t count = 0) = 0;
};

class ISocketServer : public ISocketBase, public ISocketName, public Object {
public:
    // The handler runs on its own coroutine; the stream is destroyed after it returns.
    using Handler = int (*)(void* ctx, ISocketStream* stream);

    virtual int bind(const EndPoint& ep) = 0;
    virtual int bind(const char* path, size_t count = 0) = 0;
    virtual int listen(int backlog = 1024) = 0;
    virtual ISocketStream* accept(EndPoint* remote_endpoint = nullptr) = 0;
    virtual ISocketServer* set_handler(Handler handler, void* ctx) = 0;
    virtual int start_loop(bool block = false) = 0;
    virtual void terminate() = 0;
};

// Forwards everything to an underlying stream, destroyed with it when owned.
class ForwardSocketStream : public ISocketStream {
public:
    ForwardSocketStream(ISocketStream* underlay, bool ownership) : m_underlay(underlay), m_ownership(ownership) {}
    ~ForwardSocketStream() override {
        if (m_ownership) delete m_underlay;
    }
    ISocketStream* underlay() const { return m_underlay; }

    int close() override { return m_underlay->close(); }
    int shutdown(int how) override { return m_underlay->shutdown(how); }
    ssize_t read(void* buf, size_t count) override { return m_underlay->read(buf, count); }
    ssize_t readv(const struct iovec* iov, int iovcnt) override { return m_underlay->readv(iov, iovcnt); }
    ssize_t readv_mut(struct iovec* iov, int iovcnt) override { return m_underlay->readv_mut(iov, iovcnt); }
    ssize_t write(const void* buf, size_t count) override { return m_underlay->write(buf, count); }
    ssize_t writev(const struct iovec* iov, int iovcnt) override { return m_underlay->writev(iov, iovcnt); }
    ssize_t writev_mut(struct iovec* iov, int iovcnt) override { return m_underlay->writev_mut(iov, iovcnt); }
    ssize_t recv(void* buf, size_t count, int flags = 0) override { return m_underlay->recv(buf, count, flags); }
    ssize_t recv(const struct iovec* iov, int iovcnt, int flags = 0) override {
        return m_underlay->recv(iov, iovcnt, flags);
    }
    ssize_t send(const void* buf, size_t count, int flags = 0) override { return m_underlay->send(buf, count, flags); }
    ssize_t send(const struct iovec* iov, int iovcnt, int flags = 0) override {
        return m_underlay->send(iov, iovcnt, flags);
    }
    ssize_t sendfile(int in_fd, off_t offset, size_t count) override {
        return m_underlay->sendfile(in_fd, offset, count);
    }
    int get_underlay_fd() override { return m_underlay->get_underlay_fd(); }
    int setsockopt(int level, int name, const void* value, socklen_t len) override {
        return m_underlay->setsockopt(level, name, value, len);
    }
    int getsockopt(int level, int name, void* value, socklen_t* len) override {
        return m_underlay->getsockopt(level, name, value, len);
    }
    uint64_t timeout() const override { return m_underlay->timeout(); }
    void timeout(uint64_t tm) override { m_underlay->timeout(tm); }
    int getsockname(EndPoint& addr) override { return m_underlay->getsockname(addr); }
    int getpeername(EndPoint& addr) override { return m_underlay->getpeername(addr); }
    int getsockname(char* path, size_t count) override { return m_underlay->getsockname(path, count); }
    int getpeername(char* path, size_t count) override { return m_underlay->getpeername(path, count); }

protected:
    ISocketStream* m_underlay;
    bool m_ownership;
};

class ForwardSocketClient : public ISocketClient {
public:
    ForwardSocketClient(ISocketClient* underlay, bool ownership) : m_underlay(underlay), m_ownership(ownership) {}
    ~ForwardSocketClient() override {
        if (m_ownership) delete m_underlay;
    }
    ISocketStream* connect(const EndPoint& remote, const EndPoint* local = nullptr) override {
        return m_underlay->connect(remote, local);
    }
    ISocketStream* connect(const char* path, size_t count = 0) override { return m_underlay->connect(path, count); }
    int get_underlay_fd() override { return m_underlay->get_underlay_fd(); }
    int setsockopt(int level, int name, const void* value, socklen_t len) override {
        return m_underlay->setsockopt(level, name, value, len);
    }
    int getsockopt(int level, int name, void* value, socklen_t* len) override {
        return m_underlay->getsockopt(level, name, value, len);
    }
    uint64_t timeout() const override { return m_underlay->timeout(); }
    void timeout(uint64_t tm) override { m_underlay->timeout(tm); }

protected:
    ISocketClient* m_underlay;
    bool m_ownership;
};

class ForwardSocketServer : public ISocketServer {
public:
    ForwardSocketServer(ISocketServer* underlay, bool ownership) : m_underlay(underlay), m_ownership(ownership) {}
    ~ForwardSocketServer() override {
        if (m_ownership) delete m_underlay;
    }
    int bind(const EndPoint& ep) override { return m_underlay->bind(ep); }
    int bind(const char* path, size_t count = 0) override { return m_underlay->bind(path, count); }
    int listen(int backlog = 1024) override { return m_underlay->listen(backlog); }
    ISocketStream* accept(EndPoint* remote = nullptr) override { return m_underlay->accept(remote); }
    ISocketServer* set_handler(Handler handler, void* ctx) override {
        m_underlay->set_handler(handler, ctx);
        return this;
    }
    int start_loop(bool block = false) override { return m_underlay->start_loop(block); }
    void terminate() override { m_underlay->terminate(); }
    int get_underlay_fd() override { return m_underlay->get_underlay_fd(); }
    int setsockopt(int level, int name, const void* value, socklen_t len) override {
        return m_underlay->setsockopt(level, name, value, len);
    }
    int getsockopt(int level, int name, void* value, socklen_t* len) override {
        return m_underlay->getsockopt(level, name, value, len);
    }
    uint64_t timeout() const override { return m_underlay->timeout(); }
    void timeout(uint64_t tm) override { m_underlay->timeout(tm); }
    int getsockname(EndPoint& addr) override { return m_underlay->getsockname(addr); }
    int getpeername(EndPoint& addr) override { return m_underlay->getpeername(addr); }
    int getsockname(char* path, size_t count) override { return m_underlay->getsockname(path, count); }
    int getpeername(char* path, size_t count) override { return m_underlay->getpeername(path, count); }

protected:
    ISocketServer* m_underlay;
    bool m_ownership;
};

}  // namespace zentho::net
