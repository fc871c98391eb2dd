#pragma once
// A client-side pool of idle connections keyed by endpoint. Stale idle
// connections are found by readiness (the peer closed them or sent bytes)
// rather than by failed requests. Only on the vCPU that created the pool.

#include <list>
#include <unordered_map>
#include <vector>

#include "zentho/net/socket.h"
#include "zentho/thread/sync.h"

namespace zentho {
class CascadingEventEngine;
}

namespace zentho::net {

class TCPSocketPool;

// Returns its connection to the pool on destruction unless it was marked "drop".
class PooledTCPSocketStream : public ForwardSocketStream {
public:
    PooledTCPSocketStream(ISocketStream* stream, TCPSocketPool* pool, const EndPoint& ep)
        : ForwardSocketStream(stream, false), m_pool(pool), m_endpoint(ep) {}
    ~PooledTCPSocketStream() override;

    int close() override;
    int shutdown(int how) override;
    ssize_t read(void* buf, size_t count) override;
    ssize_t readv(const struct iovec* iov, int iovcnt) override;
    ssize_t readv_mut(struct iovec* iov, int iovcnt) override;
    ssize_t recv(void* buf, size_t count, int flags = 0) override;
    ssize_t recv(const struct iovec* iov, int iovcnt, int flags = 0) override;
    ssize_t write(const void* buf, size_t count) override;
    ssize_t writev(const struct iovec* iov, int iovcnt) override;
    ssize_t writev_mut(struct iovec* iov, int iovcnt) override;
    ssize_t send(const void* buf, size_t count, int flags = 0) override;
    ssize_t send(const struct iovec* iov, int iovcnt, int flags = 0) override;
    ssize_t sendfile(int in_fd, off_t offset, size_t count) override;
    bool dropped() const { return m_drop; }

private:
    ssize_t check_read(ssize_t r) {
        if (r <= 0) m_drop = true;
        return r;
    }
    ssize_t check_write(ssize_t r) {
        if (r < 0) m_drop = true;
        return r;
    }
    TCPSocketPool* m_pool;
    EndPoint m_endpoint;
    bool m_drop = false;
};

class TCPSocketPool : public ForwardSocketClient {
public:
    // expiration_us UINT64_MAX: idle connections never expire by age
    TCPSocketPool(ISocketClient* client, uint64_t expiration_us, bool ownership);
    ~TCPSocketPool() override;

    ISocketStream* connect(const EndPoint& remote, const EndPoint* local = nullptr) override;
    // -1/ENOSYS: only TCP-like endpoints are pooled
    ISocketStream* connect(const char* path, size_t count = 0) override;

    size_t idle_count() const { return m_fd_map.size(); }
    const std::vector<EndPoint>& source_ips() const { return m_src_ips; }

private:
    friend class PooledTCPSocketStream;
    struct Entry {
        EndPoint key;
        ISocketStream* stream;
        int fd;
        uint64_t expire;
    };
    void release(const EndPoint& ep, ISocketStream* stream);
    void drop_entry(Entry* e);
    uint64_t evict();
    static uint64_t timer_cb(void* self);
    static void* collector(void* self);

    uint64_t m_expiration;
    std::unordered_map<EndPoint, std::list<Entry*>, EndPointHash> m_idle;
    std::unordered_map<int, Entry*> m_fd_map;
    std::vector<EndPoint> m_src_ips;
    CascadingEventEngine* m_engine = nullptr;
    Thread* m_collector = nullptr;
    bool m_stopping = false;
    Timer* m_timer = nullptr;
};

TCPSocketPool* new_tcp_socket_pool(ISocketClient* client, uint64_t expiration_us = UINT64_MAX,
                                   bool ownership = false);

// Readable now (data or end of stream) without waiting.
bool fd_readable_now(int fd);

}  // namespace zentho::net
