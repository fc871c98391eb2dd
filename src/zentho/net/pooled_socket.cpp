#include "zentho/net/pooled_socket.h"

#include <poll.h>

#include <cstdlib>
#include <string>

#include "zentho/common/logger.h"
#include "zentho/io/epoll.h"
#include "zentho/io/event_engine.h"

namespace zentho::net {

bool fd_readable_now(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    int r = ::poll(&p, 1, 0);
    return r != 0;  // an error counts as readable: the connection is unusable
}

PooledTCPSocketStream::~PooledTCPSocketStream() {
    if (m_drop)
        delete m_underlay;
    else
        m_pool->release(m_endpoint, m_underlay);
}

int PooledTCPSocketStream::close() {
    m_drop = true;
    return m_underlay->close();
}
int PooledTCPSocketStream::shutdown(int how) {
    m_drop = true;
    return m_underlay->shutdown(how);
}
ssize_t PooledTCPSocketStream::read(void* buf, size_t count) {
    if (count == 0) return 0;
    return check_read(m_underlay->read(buf, count));
}
ssize_t PooledTCPSocketStream::readv(const struct iovec* iov, int iovcnt) {
    return check_read(m_underlay->readv(iov, iovcnt));
}
ssize_t PooledTCPSocketStream::readv_mut(struct iovec* iov, int iovcnt) {
    return check_read(m_underlay->readv_mut(iov, iovcnt));
}
ssize_t PooledTCPSocketStream::recv(void* buf, size_t count, int flags) {
    if (count == 0) return 0;
    return check_read(m_underlay->recv(buf, count, flags));
}
ssize_t PooledTCPSocketStream::recv(const struct iovec* iov, int iovcnt, int flags) {
    return check_read(m_underlay->recv(iov, iovcnt, flags));
}
ssize_t PooledTCPSocketStream::write(const void* buf, size_t count) {
    if (count == 0) return 0;
    return check_write(m_underlay->write(buf, count));
}
ssize_t PooledTCPSocketStream::writev(const struct iovec* iov, int iovcnt) {
    return check_write(m_underlay->writev(iov, iovcnt));
}
ssize_t PooledTCPSocketStream::writev_mut(struct iovec* iov, int iovcnt) {
    return check_write(m_underlay->writev_mut(iov, iovcnt));
}
ssize_t PooledTCPSocketStream::send(const void* buf, size_t count, int flags) {
    if (count == 0) return 0;
    return check_write(m_underlay->send(buf, count, flags));
}
ssize_t PooledTCPSocketStream::send(const struct iovec* iov, int iovcnt, int flags) {
    return check_write(m_underlay->send(iov, iovcnt, flags));
}
ssize_t PooledTCPSocketStream::sendfile(int in_fd, off_t offset, size_t count) {
    return check_write(m_underlay->sendfile(in_fd, offset, count));
}

TCPSocketPool::TCPSocketPool(ISocketClient* client, uint64_t expiration_us, bool ownership)
    : ForwardSocketClient(client, ownership), m_expiration(expiration_us) {
    const char* env = getenv("HTTP_SOURCE_IP");
    LOG_INFO("env_src_ips ", VALUE(env ? env : ""));
    if (env) {
        std::string_view all(env);
        while (!all.empty()) {
            auto comma = all.find(',');
            auto piece = all.substr(0, comma);
            if (!piece.empty()) {
                IPAddr a(piece);
                if (a.undefined())
                    LOG_WARN("ignored source address ", piece);
                else
                    m_src_ips.emplace_back(a, 0);
            }
            if (comma == std::string_view::npos) break;
            all.remove_prefix(comma + 1);
        }
    }
    LOG_INFO("total_ip ", VALUE(m_src_ips.size()));
    srand(now_us.load());
    m_engine = new_epoll_cascading_engine();
    if (m_engine) {
        m_collector = thread_create(&collector, this, 8ull << 20);
        if (m_collector) thread_set_joinable(m_collector);
    }
    if (m_expiration != UINT64_MAX) m_timer = new Timer(m_expiration, &timer_cb, this, true, 64 * 1024);
}

TCPSocketPool::~TCPSocketPool() {
    delete m_timer;
    m_stopping = true;
    if (m_collector) {
        thread_interrupt(m_collector, ECANCELED);
        thread_join(m_collector);
    }
    for (auto& [fd, e] : m_fd_map) {
        delete e->stream;
        delete e;
    }
    m_fd_map.clear();
    m_idle.clear();
    delete m_engine;
}

void TCPSocketPool::drop_entry(Entry* e) {
    auto it = m_idle.find(e->key);
    if (it != m_idle.end()) {
        it->second.remove(e);
        if (it->second.empty()) m_idle.erase(it);
    }
    m_fd_map.erase(e->fd);
    if (m_engine) m_engine->rm_interest({e->fd, EVENT_READ, nullptr});
    delete e->stream;
    delete e;
}

void* TCPSocketPool::collector(void* self) {
    auto* pool = static_cast<TCPSocketPool*>(self);
    void* data[16];
    while (!pool->m_stopping) {
        ssize_t n = pool->m_engine->wait_for_events(data, 16, Timeout());
        if (pool->m_stopping) break;
        if (n < 0) {
            if (errno == ECANCELED || errno == EPERM) break;
            thread_usleep(Timeout(1000));
            continue;
        }
        for (ssize_t i = 0; i < n; i++) {
            auto it = pool->m_fd_map.find(int(reinterpret_cast<intptr_t>(data[i])));
            if (it != pool->m_fd_map.end()) pool->drop_entry(it->second);
        }
    }
    return nullptr;
}

uint64_t TCPSocketPool::evict() {
    uint64_t now = now_us.load(std::memory_order_relaxed);
    uint64_t next = m_expiration;
    std::vector<Entry*> dead;
    for (auto& [fd, e] : m_fd_map) {
        if (e->expire <= now)
            dead.push_back(e);
        else
            next = std::min(next, e->expire - now);
    }
    for (auto* e : dead) drop_entry(e);
    return std::max<uint64_t>(next, 1000);
}

uint64_t TCPSocketPool::timer_cb(void* self) { return static_cast<TCPSocketPool*>(self)->evict(); }

ISocketStream* TCPSocketPool::connect(const EndPoint& remote, const EndPoint* local) {
    for (;;) {
        auto it = m_idle.find(remote);
        if (it == m_idle.end()) break;
        Entry* e = it->second.front();
        it->second.pop_front();
        if (it->second.empty()) m_idle.erase(it);
        m_fd_map.erase(e->fd);
        if (m_engine) m_engine->rm_interest({e->fd, EVENT_READ, nullptr});
        ISocketStream* s = e->stream;
        bool stale = fd_readable_now(e->fd);
        delete e;
        if (stale) {
            delete s;
            continue;
        }
        return new PooledTCPSocketStream(s, this, remote);
    }
    EndPoint src;
    if (!local && !m_src_ips.empty()) {
        src = m_src_ips[rand() % m_src_ips.size()];
        local = &src;
    }
    ISocketStream* s = m_underlay->connect(remote, local);
    if (!s) return nullptr;
    return new PooledTCPSocketStream(s, this, remote);
}

ISocketStream* TCPSocketPool::connect(const char*, size_t) {
    LOG_ERROR_RETURN(ENOSYS, nullptr, "Socket pool supports TCP-like socket only");
}

void TCPSocketPool::release(const EndPoint& ep, ISocketStream* stream) {
    int fd = stream->get_underlay_fd();
    if (fd < 0 || fd_readable_now(fd) || m_stopping) {
        delete stream;
        return;
    }
    auto* e = new Entry{ep, stream, fd, Timeout::saturating_add(now_us.load(), m_expiration)};
    m_idle[ep].push_back(e);
    m_fd_map[fd] = e;
    if (m_engine && m_engine->add_interest({fd, EVENT_READ, reinterpret_cast<void*>(intptr_t(fd))}) < 0)
        drop_entry(e);
}

TCPSocketPool* new_tcp_socket_pool(ISocketClient* client, uint64_t expiration_us, bool ownership) {
    return new TCPSocketPool(client, expiration_us, ownership);
}

}  // namespace zentho::net
