#include "zentho/net/http/client.h"

#include <atomic>
#include <cstdlib>
#include <string>

#include "zentho/common/logger.h"
#include "zentho/net/kernel_socket.h"
#include "zentho/net/pooled_socket.h"
#include "zentho/net/utils.h"
#include "zentho/thread/sync.h"
#include "zentho/thread/vcpu_local.h"

namespace zentho::net::http {

namespace {

constexpr uint32_t RESPONSE_BUFFER = 8191;
constexpr uint64_t RESOLVER_TTL = 3600ull * 1000000;

class PooledDialer;
thread_local PooledDialer* t_dialer = nullptr;

// One per vCPU: its pools hold every pooled connection of that vCPU.
class PooledDialer : public VCPULocal {
public:
    ~PooledDialer() override {
        delete m_tls_pool;
        delete m_tcp_pool;
        delete m_resolver;
        if (m_own_ctx) delete m_ctx;
        if (t_dialer == this) t_dialer = nullptr;
    }
    void fini() override { delete this; }

    int init(TLSContext* ctx) {
        m_mutex.lock();
        if (!m_initialized) {
            m_ctx = ctx;
            if (!m_ctx) {
                m_ctx = new_tls_context(nullptr, nullptr, nullptr, 2);
                m_own_ctx = true;
            }
            m_tcp_pool = new_tcp_socket_pool(new_tcp_socket_client(), UINT64_MAX, true);
            if (m_ctx)
                m_tls_pool = new_tcp_socket_pool(new_tls_client(m_ctx, new_tcp_socket_client(), true), UINT64_MAX, true);
            m_resolver = new_default_resolver(RESOLVER_TTL, UINT64_MAX);
            m_initialized = true;
        }
        m_mutex.unlock();
        return 0;
    }

    ISocketStream* dial(std::string_view host_view, uint16_t port, bool secure, uint64_t timeout_us) {
        std::string host(host_view);
        LOG_DEBUG("Dial to ", VALUE(host), VALUE(port));
        IPAddr addr = m_resolver->resolve(host.c_str());
        if (addr.undefined()) LOG_ERROR_RETURN(ENOENT, nullptr, "DNS resolve failed, name = ", host);
        EndPoint ep(addr, port);
        LOG_DEBUG("Connecting ", ep.to_string(), " ssl: ", secure);
        TCPSocketPool* pool = secure ? m_tls_pool : m_tcp_pool;
        ISocketStream* s = nullptr;
        if (pool) {
            pool->timeout(timeout_us);
            s = pool->connect(ep);
            if (s && secure && tls_stream_set_hostname(s, host.c_str()) < 0) {
                s->close();
                delete s;
                s = nullptr;
            }
        } else {
            errno = EINVAL;
        }
        if (!s) {
            int e = errno;
            LOG_ERROR("connection failed, ssl : ", secure, " ep : ", ep.to_string(), "  host : ", host, " ", ERRNO(e));
            m_resolver->discard_cache(host.c_str(), addr);
            errno = e;
            return nullptr;
        }
        LOG_DEBUG("Connected ", ep.to_string(), " host : ", host, " ssl: ", secure);
        return s;
    }

private:
    TLSContext* m_ctx = nullptr;
    bool m_own_ctx = false;
    TCPSocketPool* m_tcp_pool = nullptr;
    TCPSocketPool* m_tls_pool = nullptr;
    Resolver* m_resolver = nullptr;
    Mutex m_mutex;
    bool m_initialized = false;
};

PooledDialer* get_dialer(TLSContext* ctx) {
    if (!t_dialer) t_dialer = new PooledDialer;
    t_dialer->init(ctx);
    return t_dialer;
}

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i])) return false;
    return true;
}

class ClientImpl : public Client {
public:
    ClientImpl(void* cookie_jar, TLSContext* ctx) : m_cookie_jar(cookie_jar), m_ctx(ctx) {
        m_common.reset(m_common_buf, sizeof(m_common_buf));
    }

    Headers& common_headers() override { return m_common; }
    void timeout(uint64_t t) override { m_timeout = t; }
    void set_proxy(std::string_view url) override {
        m_proxy_text = url;
        m_has_proxy = !url.empty();
        if (m_has_proxy) m_proxy = URL(m_proxy_text);
    }
    ISocketStream* native_connect(std::string_view host, uint16_t port, bool secure, uint64_t timeout_us) override {
        return get_dialer(m_ctx)->dial(host, port, secure, timeout_us);
    }

    int call(Operation* op) override {
        auto& req = op->req;
        int64_t len = req.headers.content_length();
        if (len > 0 && iequals(req.headers["Transfer-Encoding"], "chunked")) {
            op->status_code = -1;
            LOG_ERROR_RETURN(EINVAL, 1, "Content-Length and Transfer-Encoding conflicted");
        }
        req.headers.insert("User-Agent", "KIVConnector");
        req.headers.insert("Connection", "keep-alive");
        for (uint32_t i = 0; i < m_common.count(); i++)
            if (req.headers.insert(m_common.key(i), m_common.value(i)) == -1) break;

        Timeout deadline = Timeout::from_expiration(0);
        if (!op->timeout.expired()) {
            uint64_t left = op->timeout.remaining();
            if (op->timeout.expiration() == Timeout::NEVER) left = UINT64_MAX;
            deadline = Timeout(std::min(left, m_timeout));
        }
        int retry = 0, follow = 0, r = RT_DONE;
        uint64_t backoff_ms = 0;
        bool ran = false;
        while (retry <= op->retry && !deadline.expired()) {
            r = do_roundtrip(op, deadline);
            ran = true;
            if (r == RT_DONE || r == RT_FATAL) break;
            if (r == RT_RETRY) {
                backoff_ms = next_backoff_ms(backoff_ms, retry == 0);
                retry++;
                // no sleep after the last attempt: it would only delay the failure
                uint64_t sleep_us = retry > op->retry ? 0 : std::min(backoff_ms * 1000, deadline.remaining());
                if (sleep_us) thread_usleep(Timeout(sleep_us));
            } else if (r == RT_REFUSED) {
                retry++;
            } else if (r == RT_REDIRECT) {
                follow++;
                retry = 0;
            }
            update_now();
            if (deadline.expired()) LOG_ERROR_RETURN(ETIMEDOUT, -1, "http call timed out ", VALUE(retry), VALUE(follow));
            if (follow > op->follow || retry > op->retry)
                LOG_ERROR_RETURN(0, -1, "connection failed ", VALUE(retry), VALUE(follow), ERRNO());
        }
        if (!ran) LOG_ERROR_RETURN(ETIMEDOUT, -1, "http call deadline passed before any round trip");
        if (r == RT_FATAL) LOG_ERROR_RETURN(0, -1, "too many retry, roundtrip failed ", ERRNO());
        return 0;
    }

private:
    struct Counter {
        std::atomic<int64_t>& c;
        explicit Counter(std::atomic<int64_t>& x) : c(x) { LOG_DEBUG("concurrent round trips ", VALUE(++c)); }
        ~Counter() { --c; }
    };

    static void drop_connection(ISocketStream* conn) {
        conn->close();
        delete conn;
    }

    int do_roundtrip(Operation* op, Timeout deadline) {
        Counter counter(m_concurrency);
        op->status_code = -1;
        auto& req = op->req;
        auto& resp = op->resp;
        if (deadline.expired()) LOG_ERROR_RETURN(ETIMEDOUT, RT_FATAL, "deadline passed ", VALUE(deadline.expiration()));
        resp.reset(nullptr, 0);  // the previous round trip's connection goes back or is closed
        PooledDialer* dialer = get_dialer(m_ctx);
        ISocketStream* conn;
        if (m_has_proxy) {
            conn = dialer->dial(m_proxy.host(), m_proxy.port(), m_proxy.secure(), deadline.remaining());
        } else {
            auto host = req.host();
            if (!host.empty() && host[0] == '[') {
                host = host.substr(1, host.find(']') - 1);
            } else {
                host = host.substr(0, host.find(':'));
            }
            conn = dialer->dial(host, req.port(), req.secure(), deadline.remaining());
        }
        if (!conn) {
            if (errno == ECONNREFUSED || errno == ENOENT) LOG_ERROR_RETURN(0, RT_REFUSED, "connection refused ", ERRNO());
            LOG_ERROR_RETURN(0, RT_RETRY, "connection failed ", ERRNO());
        }
        LOG_DEBUG("Sending request ", VALUE(req.target()));
        conn->timeout(deadline.remaining());
        req.rewind();
        if (req.send_header(conn) < 0) {
            drop_connection(conn);
            req.rewind();
            LOG_ERROR_RETURN(0, RT_RETRY, "send header failed, retry");
        }
        if (op->body_stream) {
            int64_t n = req.headers.content_length();
            if (req.write_stream(op->body_stream, n < 0 ? SIZE_MAX : size_t(n)) < 0) {
                drop_connection(conn);
                req.rewind();
                LOG_ERROR_RETURN(0, RT_RETRY, "send body stream failed, retry");
            }
        }
        if (op->body_writer && op->body_writer(&req) < 0) {
            drop_connection(conn);
            req.rewind();
            LOG_ERROR_RETURN(0, RT_RETRY, "failed to call body writer, retry");
        }
        if (req.send() < 0) {
            drop_connection(conn);
            req.rewind();
            LOG_ERROR_RETURN(0, RT_RETRY, "failed to ensure send");
        }
        LOG_DEBUG("Request sent, wait for response ");
        // the response goes into the request buffer's free gap when it is big enough
        char* gap = req.headers.region() + req.headers.size();
        size_t gap_size = req.headers.index_begin() - gap;
        if (gap_size > RESPONSE_BUFFER)
            resp.reset(gap, gap_size, false);
        else
            resp.reset(malloc(RESPONSE_BUFFER), RESPONSE_BUFFER, true);
        resp.socket_stream(conn, true);
        resp.request_verb(req.verb());
        int rh = resp.receive_header(deadline.remaining());
        if (rh != 0) {
            req.rewind();
            LOG_ERROR_RETURN(rh == 1 ? ECONNRESET : 0, RT_RETRY, "read response header failed ", VALUE(rh), ERRNO());
        }
        op->status_code = resp.status_code();
        LOG_DEBUG("Got response ", " code=", op->status_code, " || content_length=", resp.body_size());
        int code = op->status_code;
        if (code >= 300 && code < 400 && op->follow) {
            std::string location(resp.headers["Location"]);
            resp.reset(nullptr, 0);  // kept by the pool only if nothing is left unread
            if (location.empty()) LOG_ERROR_RETURN(EINVAL, RT_FATAL, "redirect but has no field location");
            LOG_DEBUG("Redirect to ", location);
            Verb v;
            if (code == 303)
                v = Verb::GET;
            else if (code == 300 || code == 301 || code == 302 || code == 307 || code == 308)
                v = req.verb();
            else
                LOG_ERROR_RETURN(EINVAL, RT_FATAL, "invalid 3xx status code: ", code);
            if (req.redirect(v, location, op->use_proxy) < 0) LOG_ERROR_RETURN(0, RT_FATAL, "redirect failed");
            op->status_code = -1;
            return RT_REDIRECT;
        }
        return RT_DONE;
    }

    void* m_cookie_jar;
    TLSContext* m_ctx;
    uint64_t m_timeout = UINT64_MAX;
    bool m_has_proxy = false;
    std::string m_proxy_text;
    URL m_proxy;
    std::atomic<int64_t> m_concurrency{0};
    Headers m_common;
    char m_common_buf[65535];
};

}  // namespace

Client::Operation::Operation(Verb verb, std::string_view url, uint64_t timeout_us, uint32_t buffer_size)
    : req(m_buf = static_cast<char*>(malloc(buffer_size)), buffer_size, verb, url),
      timeout(timeout_us == UINT64_MAX ? Timeout() : Timeout(timeout_us)) {}

Client::Operation::~Operation() {
    resp.reset(nullptr, 0);  // before the buffer the response may live in goes away
    free(m_buf);
}

Client* new_http_client(void* cookie_jar, TLSContext* tls_ctx) { return new ClientImpl(cookie_jar, tls_ctx); }

}  // namespace zentho::net::http
