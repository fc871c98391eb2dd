#include "zentho/net/kernel_socket.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "zentho/common/logger.h"
#include "zentho/io/event_engine.h"

namespace zentho::net {

namespace {

Timeout deadline_of(uint64_t timeout_us) { return timeout_us == UINT64_MAX ? Timeout() : Timeout(timeout_us); }

// Retries on EINTR and waits on EAGAIN; every wait uses the same deadline.
template <typename IO>
ssize_t doio(int fd, uint32_t event, Timeout deadline, IO io) {
    for (;;) {
        ssize_t r = io();
        if (r >= 0) return r;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        if (wait_for_fd(fd, event, deadline) < 0) return -1;
    }
}

int new_socket(int family, bool nonblock, bool nodelay) {
    int fd = ::socket(family, SOCK_STREAM | (nonblock ? SOCK_NONBLOCK : 0) | SOCK_CLOEXEC, 0);
    if (fd < 0) LOG_ERROR_RETURN(0, -1, "failed to create socket fd ", ERRNO());
    if (nodelay) {
        int one = 1;
        if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) < 0)
            LOG_WARN("failed to set TCP_NODELAY ", ERRNO());
    }
    return fd;
}

// Full transfer over a copy of the vector array (at most 8 entries on the stack).
template <typename IO>
ssize_t full_vectored(const struct iovec* iov, int iovcnt, bool stop_at_eof, IO io) {
    if (iovcnt <= 0) LOG_ERROR_RETURN(EINVAL, -1, "empty I/O vector");
    struct iovec small[8];
    struct iovec* v = iovcnt <= 8 ? small : new struct iovec[iovcnt];
    memcpy(v, iov, iovcnt * sizeof(*iov));
    ssize_t total = 0;
    int i = 0;
    while (i < iovcnt) {
        if (v[i].iov_len == 0) {
            i++;
            continue;
        }
        ssize_t r = io(v + i, iovcnt - i);
        if (r < 0) {
            total = -1;
            break;
        }
        if (r == 0 && stop_at_eof) break;
        total += r;
        while (r > 0 && i < iovcnt) {
            size_t n = std::min<size_t>(r, v[i].iov_len);
            v[i].iov_base = static_cast<char*>(v[i].iov_base) + n;
            v[i].iov_len -= n;
            r -= n;
            if (v[i].iov_len == 0) i++;
        }
    }
    if (v != small) delete[] v;
    return total;
}

int uds_name(int fd, char* path, size_t count, bool peer) {
    sockaddr_un un{};
    socklen_t len = sizeof(un);
    int r = peer ? ::getpeername(fd, (sockaddr*)&un, &len) : ::getsockname(fd, (sockaddr*)&un, &len);
    if (r < 0) return -1;
    if (count) {
        size_t n = strnlen(un.sun_path, sizeof(un.sun_path));
        n = std::min(n, count - 1);
        memcpy(path, un.sun_path, n);
        path[n] = 0;
    }
    return 0;
}

int ep_name(int fd, EndPoint& ep, bool peer) {
    SockAddrStorage s;
    s.len = sizeof(s.u);
    int r = peer ? ::getpeername(fd, &s.u.addr, &s.len) : ::getsockname(fd, &s.u.addr, &s.len);
    if (r < 0) return -1;
    ep = s.to_endpoint();
    return 0;
}

}  // namespace

int SockOptBuffer::put(int level, int name, const void* value, socklen_t len) {
    if (m_used + len > STORE) LOG_ERROR_RETURN(ENOBUFS, -1, "socket option store full ", VALUE(len));
    void* p = m_store + m_used;
    memcpy(p, value, len);
    m_used += len;
    m_opts.push_back({level, name, p, len});
    return 0;
}

int SockOptBuffer::apply(int fd) const {
    for (auto& o : m_opts)
        if (::setsockopt(fd, o.level, o.opt_name, o.opt_val, o.opt_len) < 0)
            LOG_ERROR_RETURN(EINVAL, -1, "Failed to setsockopt ", VALUE(o.level), VALUE(o.opt_name), ERRNO());
    return 0;
}

// ---- stream -------------------------------------------------------------------

int KernelSocketStream::close() {
    if (m_fd < 0) return 0;
    int r = ::close(m_fd);
    m_fd = -1;
    return r;
}

int KernelSocketStream::shutdown(int how) { return ::shutdown(m_fd, how); }

ssize_t KernelSocketStream::recv(void* buf, size_t count, int flags) {
    return doio(m_fd, EVENT_READ, deadline_of(m_timeout), [&] { return ::recv(m_fd, buf, count, flags); });
}

ssize_t KernelSocketStream::recv(const struct iovec* iov, int iovcnt, int flags) {
    msghdr msg{};
    msg.msg_iov = const_cast<struct iovec*>(iov);
    msg.msg_iovlen = iovcnt;
    return doio(m_fd, EVENT_READ, deadline_of(m_timeout), [&] { return ::recvmsg(m_fd, &msg, flags); });
}

ssize_t KernelSocketStream::send(const void* buf, size_t count, int flags) {
    return doio(m_fd, EVENT_WRITE, deadline_of(m_timeout),
                [&] { return ::send(m_fd, buf, count, flags | MSG_NOSIGNAL); });
}

ssize_t KernelSocketStream::send(const struct iovec* iov, int iovcnt, int flags) {
    msghdr msg{};
    msg.msg_iov = const_cast<struct iovec*>(iov);
    msg.msg_iovlen = iovcnt;
    return doio(m_fd, EVENT_WRITE, deadline_of(m_timeout),
                [&] { return ::sendmsg(m_fd, &msg, flags | MSG_NOSIGNAL); });
}

ssize_t KernelSocketStream::sendfile(int in_fd, off_t offset, size_t count) {
    Timeout d = deadline_of(m_timeout);
    size_t done = 0;
    while (done < count) {
        ssize_t r = doio(m_fd, EVENT_WRITE, d, [&] { return ::sendfile(m_fd, in_fd, &offset, count - done); });
        if (r < 0) return -1;
        if (r == 0) break;
        done += r;
    }
    return done;
}

ssize_t KernelSocketStream::read(void* buf, size_t count) {
    Timeout d = deadline_of(m_timeout);
    size_t done = 0;
    while (done < count) {
        ssize_t r = doio(m_fd, EVENT_READ, d, [&] { return ::read(m_fd, (char*)buf + done, count - done); });
        if (r < 0) return -1;
        if (r == 0) break;
        done += r;
    }
    return done;
}

ssize_t KernelSocketStream::write(const void* buf, size_t count) {
    Timeout d = deadline_of(m_timeout);
    size_t done = 0;
    while (done < count) {
        ssize_t r = doio(m_fd, EVENT_WRITE, d,
                         [&] { return ::send(m_fd, (const char*)buf + done, count - done, MSG_NOSIGNAL); });
        if (r < 0) return -1;
        done += r;
    }
    return done;
}

ssize_t KernelSocketStream::readv(const struct iovec* iov, int iovcnt) {
    if (iovcnt == 1) return read(iov[0].iov_base, iov[0].iov_len);
    Timeout d = deadline_of(m_timeout);
    return full_vectored(iov, iovcnt, true, [&](struct iovec* v, int n) {
        return doio(m_fd, EVENT_READ, d, [&] { return ::readv(m_fd, v, n); });
    });
}

ssize_t KernelSocketStream::writev(const struct iovec* iov, int iovcnt) {
    if (iovcnt == 1) return write(iov[0].iov_base, iov[0].iov_len);
    Timeout d = deadline_of(m_timeout);
    return full_vectored(iov, iovcnt, false, [&](struct iovec* v, int n) {
        msghdr msg{};
        msg.msg_iov = v;
        msg.msg_iovlen = n;
        return doio(m_fd, EVENT_WRITE, d, [&] { return ::sendmsg(m_fd, &msg, MSG_NOSIGNAL); });
    });
}

int KernelSocketStream::setsockopt(int level, int name, const void* value, socklen_t len) {
    return ::setsockopt(m_fd, level, name, value, len);
}
int KernelSocketStream::getsockopt(int level, int name, void* value, socklen_t* len) {
    return ::getsockopt(m_fd, level, name, value, len);
}
int KernelSocketStream::getsockname(EndPoint& addr) { return ep_name(m_fd, addr, false); }
int KernelSocketStream::getpeername(EndPoint& addr) { return ep_name(m_fd, addr, true); }
int KernelSocketStream::getsockname(char* path, size_t count) { return uds_name(m_fd, path, count, false); }
int KernelSocketStream::getpeername(char* path, size_t count) { return uds_name(m_fd, path, count, true); }

// ---- client -------------------------------------------------------------------

ISocketStream* KernelSocketClient::do_connect(const sockaddr* remote, socklen_t rlen, const sockaddr* local,
                                              socklen_t llen, const std::string& name) {
    int fd = new_socket(remote->sa_family, true, remote->sa_family != AF_UNIX);
    if (fd < 0) LOG_ERROR_RETURN(0, nullptr, "Failed to create socket fd");
    auto* s = new KernelSocketStream(fd);
    if (m_opts.apply(fd) < 0) {
        delete s;
        LOG_ERROR_RETURN(EINVAL, nullptr, "Failed to setsockopt");
    }
    s->timeout(m_timeout);
    if (local && ::bind(fd, local, llen) < 0) {
        int e = errno;
        delete s;
        LOG_ERROR_RETURN(e, nullptr, "fail to bind socket ", ERRNO(e));
    }
    Timeout d = deadline_of(m_timeout);
    int r;
    for (;;) {
        r = ::connect(fd, remote, rlen);
        if (r == 0) break;
        if (errno == EINTR) continue;
        if (errno == EINPROGRESS || errno == EADDRINUSE || errno == EALREADY) {
            if (wait_for_fd(fd, EVENT_WRITE, d) < 0) break;
            int err = 0;
            socklen_t len = sizeof(err);
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) break;
            if (err) {
                errno = err;
                r = -1;
                break;
            }
            r = 0;
            break;
        }
        break;
    }
    if (r < 0) {
        int e = errno;
        delete s;
        LOG_ERROR_RETURN(e, nullptr, "Failed to connect to ", name, " ", ERRNO(e));
    }
    return s;
}

ISocketStream* KernelSocketClient::connect(const EndPoint& remote, const EndPoint* local) {
    SockAddrStorage r(remote);
    if (local) {
        SockAddrStorage l(*local);
        // a local address of another family is ignored
        if (l.family() == r.family()) return do_connect(&r.u.addr, r.len, &l.u.addr, l.len, remote.to_string());
    }
    return do_connect(&r.u.addr, r.len, nullptr, 0, remote.to_string());
}

ISocketStream* KernelSocketClient::connect(const char* path, size_t count) {
    sockaddr_un un;
    if (fill_uds_path(un, path, count) < 0) return nullptr;
    return do_connect((sockaddr*)&un, sizeof(un), nullptr, 0, un.sun_path);
}

// ---- server -------------------------------------------------------------------

KernelSocketServer::~KernelSocketServer() {
    terminate();
    if (m_fd >= 0) {
        ::shutdown(m_fd, SHUT_RDWR);
        if (m_autoremove && !m_path.empty()) ::unlink(m_path.c_str());
        ::close(m_fd);
    }
}

int KernelSocketServer::ensure_socket(int family) {
    if (m_fd >= 0) return 0;
    m_fd = new_socket(family, true, family != AF_UNIX);
    if (m_fd < 0) return -1;
    if (family != AF_UNIX) {
        int one = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    return m_opts.apply(m_fd);
}

int KernelSocketServer::bind(const EndPoint& ep) {
    SockAddrStorage s(ep);
    if (ensure_socket(s.family()) < 0) return -1;
    if (::bind(m_fd, &s.u.addr, s.len) < 0) LOG_ERROR_RETURN(0, -1, "failed to bind to ", ep.to_string(), " ", ERRNO());
    return 0;
}

int KernelSocketServer::bind(const char* path, size_t count) {
    sockaddr_un un;
    if (fill_uds_path(un, path, count) < 0) return -1;
    struct stat st;
    if (m_autoremove && ::stat(un.sun_path, &st) == 0 && S_ISSOCK(st.st_mode) && ::unlink(un.sun_path) < 0)
        LOG_ERROR_RETURN(0, -1, "failed to remove the old socket ", VALUE(un.sun_path), ERRNO());
    if (ensure_socket(AF_UNIX) < 0)
        LOG_ERROR_RETURN(0, -1, "failed to create UNIX domain socket at ", un.sun_path, " ", ERRNO());
    if (::bind(m_fd, (sockaddr*)&un, sizeof(un)) < 0)
        LOG_ERROR_RETURN(0, -1, "failed to bind to '", un.sun_path, "' ", ERRNO());
    m_path = un.sun_path;
    return 0;
}

int KernelSocketServer::listen(int backlog) {
    if (::listen(m_fd, backlog) < 0) LOG_ERROR_RETURN(0, -1, "failed to listen ", ERRNO());
    return 0;
}

ISocketStream* KernelSocketServer::accept(EndPoint* remote) {
    SockAddrStorage s;
    s.len = sizeof(s.u);
    int fd = doio(m_fd, EVENT_READ, Timeout(),
                  [&] { return ::accept4(m_fd, &s.u.addr, &s.len, SOCK_NONBLOCK | SOCK_CLOEXEC); });
    if (fd < 0) return nullptr;
    if (remote) *remote = s.to_endpoint();
    if (!m_unix) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    if (m_opts.apply(fd) < 0) {
        ::close(fd);
        LOG_ERROR_RETURN(EINVAL, nullptr, "Failed to setsockopt");
    }
    auto* stream = new KernelSocketStream(fd);
    stream->timeout(m_timeout);
    return stream;
}

int KernelSocketServer::setsockopt(int level, int name, const void* value, socklen_t len) {
    if (m_fd >= 0 && ::setsockopt(m_fd, level, name, value, len) < 0)
        LOG_ERROR_RETURN(EINVAL, -1, "failed to setsockopt ", ERRNO());
    return m_opts.put(level, name, value, len);
}
int KernelSocketServer::getsockopt(int level, int name, void* value, socklen_t* len) {
    return ::getsockopt(m_fd, level, name, value, len);
}
int KernelSocketServer::getsockname(EndPoint& addr) { return ep_name(m_fd, addr, false); }
int KernelSocketServer::getpeername(EndPoint& addr) { return ep_name(m_fd, addr, true); }
int KernelSocketServer::getsockname(char* path, size_t count) { return uds_name(m_fd, path, count, false); }
int KernelSocketServer::getpeername(char* path, size_t count) { return uds_name(m_fd, path, count, true); }

namespace {
struct HandlerArgs {
    ISocketServer::Handler handler;
    void* ctx;
    ISocketStream* stream;
};
void* run_handler(void* a) {
    auto args = *static_cast<HandlerArgs*>(a);
    delete static_cast<HandlerArgs*>(a);
    args.handler(args.ctx, args.stream);
    delete args.stream;
    return nullptr;
}
}  // namespace

int KernelSocketServer::accept_loop() {
    if (m_loop && m_loop != CURRENT) LOG_ERROR_RETURN(EALREADY, -1, "Already listening");
    m_loop = CURRENT;
    while (m_loop == CURRENT) {
        m_waiting_accept = true;
        auto* s = accept();
        m_waiting_accept = false;
        if (m_loop != CURRENT) {
            delete s;
            break;
        }
        if (!s) {
            LOG_WARN("KernelSocketServer: failed to accept new connections: ", ERRNO());
            thread_usleep(Timeout(1000));
            continue;
        }
        if (!thread_create(&run_handler, new HandlerArgs{m_handler, m_handler_ctx, s})) delete s;
    }
    return 0;
}

void* KernelSocketServer::loop_entry(void* self) {
    auto* srv = static_cast<KernelSocketServer*>(self);
    // terminated before it ever ran
    if (srv->m_loop == CURRENT) srv->accept_loop();
    return nullptr;
}

int KernelSocketServer::start_loop(bool block) {
    if (m_loop) LOG_ERROR_RETURN(EALREADY, -1, "Already listening");
    m_blocking_loop = block;
    if (block) return accept_loop();
    Thread* th = thread_create(&loop_entry, this);
    if (!th) return -1;
    thread_set_joinable(th);
    m_loop = th;
    return 0;
}

void KernelSocketServer::terminate() {
    Thread* th = m_loop;
    if (!th) return;
    m_loop = nullptr;
    if (m_waiting_accept) thread_interrupt(th, ECANCELED);
    if (!m_blocking_loop && th != CURRENT) thread_join(th);
}

ISocketClient* new_tcp_socket_client() { return new KernelSocketClient(false); }
ISocketClient* new_uds_client() { return new KernelSocketClient(true); }
ISocketServer* new_tcp_socket_server() { return new KernelSocketServer(false, false); }
ISocketServer* new_uds_server(bool autoremove) { return new KernelSocketServer(true, autoremove); }

}  // namespace zentho::net
