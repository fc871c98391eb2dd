#include "zentho/net/tls-stream.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <string>

#include "zentho/common/logger.h"

namespace zentho::net {

namespace {

constexpr int BIO_TYPE_ZENTHO = 0x0400;
constexpr int BIO_CTRL_SET_STREAM = 106;

std::string ssl_errors() {
    std::string out;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, buf, sizeof(buf));
        if (!out.empty()) out += "; ";
        out += buf;
    }
    return out.empty() ? "no OpenSSL error" : out;
}

void init_library() {
    static bool once = [] {
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS |
                             OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS,
                         nullptr);
        return true;
    }();
    (void)once;
}

int bio_write(BIO* b, const char* buf, int len) {
    BIO_clear_retry_flags(b);
    auto* s = static_cast<ISocketStream*>(BIO_get_data(b));
    ssize_t r = s->send(buf, len);
    return r < 0 ? -1 : int(r);
}
int bio_read(BIO* b, char* buf, int len) {
    BIO_clear_retry_flags(b);
    auto* s = static_cast<ISocketStream*>(BIO_get_data(b));
    ssize_t r = s->recv(buf, len);
    return r < 0 ? -1 : int(r);
}
int bio_puts(BIO* b, const char* str) {
    auto* s = static_cast<ISocketStream*>(BIO_get_data(b));
    size_t n = strlen(str);
    return s->write(str, n) == ssize_t(n) ? int(n) : -1;
}
long bio_ctrl(BIO* b, int cmd, long num, void* ptr) {
    switch (cmd) {
        case BIO_CTRL_FLUSH:
        case BIO_CTRL_DUP:
            return 1;
        case BIO_CTRL_GET_CLOSE:
            return BIO_get_shutdown(b);
        case BIO_CTRL_SET_CLOSE:
            BIO_set_shutdown(b, int(num));
            return 1;
        case BIO_CTRL_SET_STREAM:
            BIO_set_data(b, ptr);
            BIO_set_shutdown(b, int(num));
            BIO_set_init(b, 1);
            return 1;
        default:
            return 0;
    }
}

BIO_METHOD* bio_method() {
    static struct Holder {
        BIO_METHOD* m;
        Holder() {
            m = BIO_meth_new(BIO_TYPE_ZENTHO, "BIO_ZENTHO_SOCKSTREAM");
            BIO_meth_set_write(m, bio_write);
            BIO_meth_set_read(m, bio_read);
            BIO_meth_set_puts(m, bio_puts);
            BIO_meth_set_ctrl(m, bio_ctrl);
        }
        ~Holder() { BIO_meth_free(m); }
    } holder;
    return holder.m;
}

class TLSContextImpl : public TLSContext {
public:
    SSL_CTX* m_ctx = nullptr;
    char m_pass[4096] = {};

    ~TLSContextImpl() override { SSL_CTX_free(m_ctx); }

    int set_pass_phrase(const char* pass) override {
        strncpy(m_pass, pass ? pass : "", sizeof(m_pass) - 1);
        return 0;
    }
    static int pass_cb(char* buf, int size, int, void* self) {
        auto* ctx = static_cast<TLSContextImpl*>(self);
        int n = std::min<int>(strlen(ctx->m_pass), size - 1);
        memcpy(buf, ctx->m_pass, n);
        buf[n] = 0;
        return n;
    }
    int set_cert(const char* cert) override {
        BIO* b = BIO_new_mem_buf(cert, -1);
        X509* x = PEM_read_bio_X509(b, nullptr, nullptr, nullptr);
        BIO_free(b);
        if (!x || SSL_CTX_use_certificate(m_ctx, x) != 1) {
            X509_free(x);
            LOG_ERROR_RETURN(EINVAL, -1, ssl_errors(), " Failed to set TLS cert");
        }
        X509_free(x);
        return 0;
    }
    int set_pkey(const char* key, const char* pass) override {
        if (pass) set_pass_phrase(pass);
        BIO* b = BIO_new_mem_buf(key, -1);
        EVP_PKEY* k = PEM_read_bio_PrivateKey(b, nullptr, &pass_cb, this);
        BIO_free(b);
        if (!k || SSL_CTX_use_PrivateKey(m_ctx, k) != 1 || SSL_CTX_check_private_key(m_ctx) != 1) {
            EVP_PKEY_free(k);
            LOG_ERROR_RETURN(EINVAL, -1, ssl_errors(), " Failed to set TLS pkey");
        }
        EVP_PKEY_free(k);
        return 0;
    }
};

class TLSSocketStream : public ForwardSocketStream {
public:
    TLSSocketStream(TLSContextImpl* ctx, ISocketStream* base, SecurityRole role, bool ownership)
        : ForwardSocketStream(base, ownership) {
        m_ssl = SSL_new(ctx->m_ctx);
        BIO* bio = BIO_new(bio_method());
        BIO_ctrl(bio, BIO_CTRL_SET_STREAM, 0, base);
        SSL_set_bio(m_ssl, bio, bio);
        if (role == SecurityRole::Client) {
            SSL_set_verify(m_ssl, SSL_VERIFY_PEER, nullptr);
            SSL_set_connect_state(m_ssl);
        } else {
            SSL_set_accept_state(m_ssl);
        }
    }
    ~TLSSocketStream() override {
        if (!m_closed) close();
        SSL_free(m_ssl);
    }

    int set_hostname(const char* host) {
        m_host = host;
        in6_addr a6;
        in_addr a4;
        bool literal = inet_pton(AF_INET, host, &a4) == 1 || inet_pton(AF_INET6, host, &a6) == 1;
        X509_VERIFY_PARAM* param = SSL_get0_param(m_ssl);
        int ok = literal ? X509_VERIFY_PARAM_set1_ip_asc(param, host)
                         : (SSL_set_tlsext_host_name(m_ssl, host) == 1 && SSL_set1_host(m_ssl, host) == 1);
        if (ok != 1) LOG_ERROR_RETURN(EINVAL, -1, "Failed to set hostname on tls stream: ", host);
        return 0;
    }

    int close() override {
        if (m_closed) return 0;
        m_closed = true;
        if (SSL_is_init_finished(m_ssl)) SSL_shutdown(m_ssl);
        return m_ownership ? m_underlay->close() : 0;
    }
    ssize_t recv(void* buf, size_t count, int = 0) override {
        if (count == 0) return 0;
        int r = SSL_read(m_ssl, buf, int(std::min<size_t>(count, INT32_MAX)));
        return r > 0 ? r : failed(r);
    }
    ssize_t send(const void* buf, size_t count, int = 0) override {
        if (count == 0) return 0;
        int r = SSL_write(m_ssl, buf, int(std::min<size_t>(count, INT32_MAX)));
        return r > 0 ? r : failed(r);
    }
    ssize_t recv(const struct iovec* iov, int iovcnt, int flags = 0) override {
        for (int i = 0; i < iovcnt; i++)
            if (iov[i].iov_len) return recv(iov[i].iov_base, iov[i].iov_len, flags);
        return 0;
    }
    ssize_t send(const struct iovec* iov, int iovcnt, int flags = 0) override {
        for (int i = 0; i < iovcnt; i++)
            if (iov[i].iov_len) return send(iov[i].iov_base, iov[i].iov_len, flags);
        return 0;
    }
    ssize_t read(void* buf, size_t count) override {
        size_t done = 0;
        while (done < count) {
            ssize_t r = recv((char*)buf + done, count - done);
            if (r < 0) return done ? ssize_t(done) : -1;
            if (r == 0) break;
            done += r;
        }
        return done;
    }
    ssize_t write(const void* buf, size_t count) override {
        size_t done = 0;
        while (done < count) {
            ssize_t r = send((const char*)buf + done, count - done);
            if (r <= 0) return -1;
            done += r;
        }
        return done;
    }
    ssize_t readv(const struct iovec* iov, int iovcnt) override {
        ssize_t total = 0;
        for (int i = 0; i < iovcnt; i++) {
            ssize_t r = read(iov[i].iov_base, iov[i].iov_len);
            if (r < 0) return total ? total : -1;
            total += r;
            if (size_t(r) < iov[i].iov_len) break;
        }
        return total;
    }
    ssize_t writev(const struct iovec* iov, int iovcnt) override {
        ssize_t total = 0;
        for (int i = 0; i < iovcnt; i++) {
            if (write(iov[i].iov_base, iov[i].iov_len) < 0) return -1;
            total += iov[i].iov_len;
        }
        return total;
    }
    ssize_t readv_mut(struct iovec* iov, int iovcnt) override { return readv(iov, iovcnt); }
    ssize_t writev_mut(struct iovec* iov, int iovcnt) override { return writev(iov, iovcnt); }
    ssize_t sendfile(int, off_t, size_t) override { LOG_ERROR_RETURN(ENOSYS, -1, "sendfile over TLS"); }

private:
    ssize_t failed(int r) {
        int err = SSL_get_error(m_ssl, r);
        if (err == SSL_ERROR_ZERO_RETURN) return 0;
        int saved = errno;
        long verify = SSL_get_verify_result(m_ssl);
        if (!SSL_is_init_finished(m_ssl) && verify != X509_V_OK) {
            // the one line that says whom we refused and why
            ERR_clear_error();
            if (!m_logged)
                LOG_ERROR("TLS peer verification failed, host: ", m_host, " reason: ",
                          X509_verify_cert_error_string(verify));
            m_logged = true;
            errno = EPROTO;
            return -1;
        }
        if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
            ERR_clear_error();
            if (r == 0 || saved == 0) return 0;  // end of stream
            errno = saved;
            return -1;
        }
        std::string reason = ssl_errors();
        if (!m_logged) LOG_ERROR("TLS failure, host: ", m_host, " reason: ", reason);
        m_logged = true;
        errno = EPROTO;
        return -1;
    }

    SSL* m_ssl;
    std::string m_host;
    bool m_closed = false;
    bool m_logged = false;
};

class TLSSocketClient : public ForwardSocketClient {
public:
    TLSSocketClient(TLSContextImpl* ctx, ISocketClient* base, bool ownership)
        : ForwardSocketClient(base, ownership), m_ctx(ctx) {}
    ISocketStream* connect(const EndPoint& remote, const EndPoint* local = nullptr) override {
        return wrap(m_underlay->connect(remote, local));
    }
    ISocketStream* connect(const char* path, size_t count = 0) override {
        return wrap(m_underlay->connect(path, count));
    }

private:
    ISocketStream* wrap(ISocketStream* s) {
        if (!s) return nullptr;
        return new_tls_stream(m_ctx, s, SecurityRole::Client, true);
    }
    TLSContextImpl* m_ctx;
};

class TLSSocketServer : public ForwardSocketServer {
public:
    TLSSocketServer(TLSContextImpl* ctx, ISocketServer* base, bool ownership)
        : ForwardSocketServer(base, ownership), m_ctx(ctx) {}
    ISocketStream* accept(EndPoint* remote = nullptr) override {
        ISocketStream* s = m_underlay->accept(remote);
        return s ? new_tls_stream(m_ctx, s, SecurityRole::Server, true) : nullptr;
    }
    ISocketServer* set_handler(Handler handler, void* ctx) override {
        m_handler = handler;
        m_handler_ctx = ctx;
        m_underlay->set_handler(&wrap_handler, this);
        return this;
    }

private:
    // the plain stream stays the loop's to destroy; the TLS layer over it is ours
    static int wrap_handler(void* self, ISocketStream* plain) {
        auto* srv = static_cast<TLSSocketServer*>(self);
        ISocketStream* tls = new_tls_stream(srv->m_ctx, plain, SecurityRole::Server, false);
        int r = tls ? srv->m_handler(srv->m_handler_ctx, tls) : -1;
        delete tls;
        return r;
    }
    TLSContextImpl* m_ctx;
    Handler m_handler = nullptr;
    void* m_handler_ctx = nullptr;
};

}  // namespace

TLSContext* new_tls_context(const char* cert, const char* key, const char* pass, int version) {
    init_library();
    auto* ctx = new TLSContextImpl;
    ctx->m_ctx = SSL_CTX_new(TLS_method());
    if (!ctx->m_ctx) {
        LOG_ERROR("Failed to initial TLS: ", ssl_errors());
        delete ctx;
        LOG_ERROR_RETURN(EINVAL, nullptr, "Failed to create TLS context");
    }
    if (version == 1) {
        SSL_CTX_set_min_proto_version(ctx->m_ctx, TLS1_1_VERSION);
        SSL_CTX_set_max_proto_version(ctx->m_ctx, TLS1_1_VERSION);
    } else if (version != 0) {
        SSL_CTX_set_min_proto_version(ctx->m_ctx, TLS1_2_VERSION);
        SSL_CTX_set_max_proto_version(ctx->m_ctx, TLS1_2_VERSION);
    }
    // the trust store that client streams verify their peers against
    if (SSL_CTX_set_default_verify_paths(ctx->m_ctx) != 1) LOG_WARN("no default trust store: ", ssl_errors());
    if (pass) ctx->set_pass_phrase(pass);
    if (cert && ctx->set_cert(cert) < 0) {
        delete ctx;
        return nullptr;
    }
    if (key && ctx->set_pkey(key, pass) < 0) {
        delete ctx;
        return nullptr;
    }
    return ctx;
}

ISocketStream* new_tls_stream(TLSContext* ctx, ISocketStream* base, SecurityRole role, bool ownership) {
    if (!ctx || !base) LOG_ERROR_RETURN(EINVAL, nullptr, "invalid parameters, ", VALUE(ctx), VALUE(base));
    LOG_DEBUG("New tls stream on ", VALUE(base));
    return new TLSSocketStream(static_cast<TLSContextImpl*>(ctx), base, role, ownership);
}

ISocketClient* new_tls_client(TLSContext* ctx, ISocketClient* base, bool ownership) {
    if (!ctx || !base) LOG_ERROR_RETURN(EINVAL, nullptr, "invalid parameters, ", VALUE(ctx), VALUE(base));
    return new TLSSocketClient(static_cast<TLSContextImpl*>(ctx), base, ownership);
}

ISocketServer* new_tls_server(TLSContext* ctx, ISocketServer* base, bool ownership) {
    if (!ctx || !base) LOG_ERROR_RETURN(EINVAL, nullptr, "invalid parameters, ", VALUE(ctx), VALUE(base));
    return new TLSSocketServer(static_cast<TLSContextImpl*>(ctx), base, ownership);
}

int tls_stream_set_hostname(ISocketStream* stream, const char* host) {
    while (stream) {
        if (auto* tls = dynamic_cast<TLSSocketStream*>(stream)) return tls->set_hostname(host);
        auto* fwd = dynamic_cast<ForwardSocketStream*>(stream);
        stream = fwd ? fwd->underlay() : nullptr;
    }
    LOG_ERROR_RETURN(EINVAL, -1, "Failed to set hostname on tls stream: ", host);
}

}  // namespace zentho::net
