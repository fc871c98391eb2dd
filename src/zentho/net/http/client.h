#pragma once
// The HTTP/1.1 client: one exchange per call over pooled connections of the
// calling vCPU, with redirects, retries with back-off and one deadline. A
// client may be used by many coroutines at once, on any vCPU; an operation by one.

#include <cstdint>
#include <functional>
#include <string_view>

#include "zentho/net/http/message.h"
#include "zentho/net/tls-stream.h"
#include "zentho/thread/thread.h"

namespace zentho::net::http {

class Client : public Object {
public:
    class Operation {
        char* m_buf;

    public:
        static constexpr uint32_t DEFAULT_BUFFER = 16383;

        // The request lives in a buffer the operation owns; timeout_us is relative
        // (UINT64_MAX: no deadline of its own).
        Operation(Verb verb, std::string_view url, uint64_t timeout_us = UINT64_MAX,
                  uint32_t buffer_size = DEFAULT_BUFFER);
        ~Operation();
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

        Request req;
        Response resp;
        int status_code = -1;
        Timeout timeout;
        uint16_t follow = 8;
        uint16_t retry = 5;
        // sent as the body: Content-Length bytes of it, or until it ends
        fs::IStream* body_stream = nullptr;
        // writes the body itself through req.write; < 0 fails the round trip
        std::function<ssize_t(Request* req)> body_writer;
        bool use_proxy = false;
    };

    // 0 done (the response and its body stream are in op); -1 with errno; 1
    // when the request was refused before sending (status_code stays -1).
    virtual int call(Operation* op) = 0;
    // Copied into every request of this client.
    virtual Headers& common_headers() = 0;
    virtual ISocketStream* native_connect(std::string_view host, uint16_t port, bool secure, uint64_t timeout_us) = 0;
    // Caps every call's deadline; UINT64_MAX: unbounded.
    virtual void timeout(uint64_t timeout_us) = 0;
    // Every connection goes to the proxy (an "http://host:port" URL); empty clears it.
    virtual void set_proxy(std::string_view url) = 0;
};

// The TLS context is not owned; null makes each vCPU's dialer create its own.
Client* new_http_client(void* cookie_jar = nullptr, TLSContext* tls_ctx = nullptr);

// Round-trip results, exposed for tests.
enum RoundTrip { RT_DONE = 0, RT_FATAL = 1, RT_REDIRECT = 2, RT_RETRY = 3, RT_REFUSED = 5 };

// The sleep before each retry after a transport failure: 0, 1000, 3000, 7000 ms, ...
inline uint64_t next_backoff_ms(uint64_t prev_ms, bool first) { return first ? 0 : prev_ms * 2 + 1000; }

}  // namespace zentho::net::http
