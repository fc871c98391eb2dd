#pragma once
// Stream sockets over non-blocking kernel descriptors. A call that would block
// waits on the descriptor through the calling vCPU's event engine, so it blocks
// only the calling coroutine. Objects are used on the vCPU that made them.

#include <vector>

#include "zentho/net/socket.h"
#include "zentho/thread/thread.h"

namespace zentho::net {

// Applied in insertion order to every socket a client or server creates or accepts.
class SockOptBuffer {
public:
    static constexpr size_t STORE = 4096;
    struct SocketOpt {
        int level, opt_name;
        void* opt_val;
        socklen_t opt_len;
    };
    // -1 when the value no longer fits the store
    int put(int level, int name, const void* value, socklen_t len);
    // 0, or -1 with the failing option logged
    int apply(int fd) const;
    const std::vector<SocketOpt>& options() const { return m_opts; }

private:
    std::vector<SocketOpt> m_opts;
    char m_store[STORE];
    size_t m_used = 0;
};

class KernelSocketStream : public ISocketStream {
public:
    explicit KernelSocketStream(int fd) : m_fd(fd) {}
    ~KernelSocketStream() override { close(); }

    int close() override;
    int shutdown(int how) override;
    ssize_t read(void* buf, size_t count) override;
    ssize_t readv(const struct iovec* iov, int iovcnt) override;
    ssize_t write(const void* buf, size_t count) override;
    ssize_t writev(const struct iovec* iov, int iovcnt) override;
    ssize_t recv(void* buf, size_t count, int flags = 0) override;
    ssize_t recv(const struct iovec* iov, int iovcnt, int flags = 0) override;
    ssize_t send(const void* buf, size_t count, int flags = 0) override;
    ssize_t send(const struct iovec* iov, int iovcnt, int flags = 0) override;
    ssize_t sendfile(int in_fd, off_t offset, size_t count) override;
    int get_underlay_fd() override { return m_fd; }
    int setsockopt(int level, int name, const void* value, socklen_t len) override;
    int getsockopt(int level, int name, void* value, socklen_t* len) override;
    uint64_t timeout() const override { return m_timeout; }
    void timeout(uint64_t tm) override { m_timeout = tm; }
    int getsockname(EndPoint& addr) override;
    int getpeername(EndPoint& addr) override;
    int getsockname(char* path, size_t count) override;
    int getpeername(char* path, size_t count) override;

private:
    int m_fd;
    uint64_t m_timeout = UINT64_MAX;
};

class KernelSocketClient : public ISocketClient {
public:
    explicit KernelSocketClient(bool unix_domain) : m_unix(unix_domain) {}
    ISocketStream* connect(const EndPoint& remote, const EndPoint* local = nullptr) override;
    ISocketStream* connect(const char* path, size_t count = 0) override;
    int get_underlay_fd() override { return -1; }
    int setsockopt(int level, int name, const void* value, socklen_t len) override {
        return m_opts.put(level, name, value, len);
    }
    int getsockopt(int, int, void*, socklen_t*) override {
        errno = ENOSYS;
        return -1;
    }
    uint64_t timeout() const override { return m_timeout; }
    void timeout(uint64_t tm) override { m_timeout = tm; }

private:
    ISocketStream* do_connect(const sockaddr* remote, socklen_t rlen, const sockaddr* local, socklen_t llen,
                              const std::string& name);
    bool m_unix;
    SockOptBuffer m_opts;
    uint64_t m_timeout = UINT64_MAX;
};

class KernelSocketServer : public ISocketServer {
public:
    KernelSocketServer(bool unix_domain, bool autoremove) : m_unix(unix_domain), m_autoremove(autoremove) {}
    ~KernelSocketServer() override;

    int bind(const EndPoint& ep) override;
    int bind(const char* path, size_t count = 0) override;
    int listen(int backlog = 1024) override;
    ISocketStream* accept(EndPoint* remote_endpoint = nullptr) override;
    ISocketServer* set_handler(Handler handler, void* ctx) override {
        m_handler = handler;
        m_handler_ctx = ctx;
        return this;
    }
    // -1/EALREADY when a loop runs
    int start_loop(bool block = false) override;
    void terminate() override;

    int get_underlay_fd() override { return m_fd; }
    int setsockopt(int level, int name, const void* value, socklen_t len) override;
    int getsockopt(int level, int name, void* value, socklen_t* len) override;
    uint64_t timeout() const override { return m_timeout; }
    void timeout(uint64_t tm) override { m_timeout = tm; }
    int getsockname(EndPoint& addr) override;
    int getpeername(EndPoint& addr) override;
    int getsockname(char* path, size_t count) override;
    int getpeername(char* path, size_t count) override;

private:
    int accept_loop();
    int ensure_socket(int family);
    static void* loop_entry(void* self);

    int m_fd = -1;
    bool m_unix, m_autoremove;
    SockOptBuffer m_opts;
    uint64_t m_timeout = UINT64_MAX;
    Handler m_handler = nullptr;
    void* m_handler_ctx = nullptr;
    zentho::Thread* m_loop = nullptr;
    bool m_blocking_loop = false;
    bool m_waiting_accept = false;
    std::string m_path;
};

ISocketClient* new_tcp_socket_client();
ISocketClient* new_uds_client();
ISocketServer* new_tcp_socket_server();
ISocketServer* new_uds_server(bool autoremove = false);

}  // namespace zentho::net
