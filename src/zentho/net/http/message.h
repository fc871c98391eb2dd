#pragma once
// HTTP/1.1 messages in one caller-supplied buffer: start line, header lines,
// the header index and, for responses, the first body bytes. Limits: a message
// buffer is at most 65535 bytes (16-bit offsets; larger buffers are used up to
// that size); a status line's version token is at most 5 characters and its
// code 1..999. A message and its body stream are used by one coroutine.

#include <cstdint>
#include <string_view>

#include "zentho/net/http/body.h"
#include "zentho/net/http/headers.h"
#include "zentho/net/http/url.h"
#include "zentho/net/socket.h"

namespace zentho::net::http {

enum class Verb : uint8_t {
    UNKNOWN, DELETE, GET, HEAD, POST, PUT, CONNECT, OPTIONS, TRACE, COPY, LOCK, MKCOL, MOVE, PROPFIND,
    PROPPATCH, SEARCH, UNLOCK, BIND, REBIND, UNBIND, ACL, REPORT, MKACTIVITY, CHECKOUT, MERGE, MSEARCH,
    NOTIFY, SUBSCRIBE, UNSUBSCRIBE, PATCH, PURGE, MKCALENDAR, LINK, UNLINK,
};
constexpr int VERB_COUNT = 34;

std::string_view verb_str(Verb v);
// Exact text match; UNKNOWN otherwise.
Verb string_to_verb(std::string_view text);

// Start-line parsers over exactly the given bytes. They return the bytes
// consumed (CR LF included) or -1/EINVAL (also when the line is incomplete).
struct StatusLine {
    uint16_t version_offset, version_length;
    uint16_t status;
    uint16_t reason_offset, reason_length;
};
int parse_status_line(std::string_view in, StatusLine& out);
struct RequestLine {
    Verb verb;
    uint16_t target_offset, target_length;
    uint16_t version_offset, version_length;
};
int parse_request_line(std::string_view in, RequestLine& out);

class Message : public fs::IStream {
public:
    static constexpr uint32_t MAX_BUFFER = 65535;
    enum : uint8_t { STATE_NEW = 0, STATE_HEADER_SENT = 1, STATE_BODY_SENT = 2, STATE_HEADER_PARSED = 3 };

    // The buffer belongs to the caller unless buf_ownership (then freed with free()).
    Message(void* buf, uint32_t capacity, bool buf_ownership = false);
    // Returns the socket stream to its pool only when the body was consumed
    // whole and the connection may stay open; otherwise closes it.
    ~Message() override;
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    // Closes the body stream: 0 when the body was fully consumed (or finished).
    int close() override;
    ssize_t read(void* buf, size_t count) override;
    ssize_t readv(const struct iovec* iov, int iovcnt) override;
    ssize_t write(const void* buf, size_t count) override;
    ssize_t writev(const struct iovec* iov, int iovcnt) override;
    virtual int prepare_body_read_stream();
    virtual int prepare_body_write_stream();
    virtual int parse_start_line() = 0;

    // Adds "Connection", the empty line, then writes the header in one write.
    // 0, or -1 with errno (the write's result for a short write).
    int send_header(ISocketStream* stream = nullptr);
    // Sends the header when needed, then ends the body (chunked framing).
    int send();
    ssize_t write_stream(fs::IStream* source, size_t count);
    // 0, 1 when the peer closed before a whole header, -1 with errno.
    int receive_header(uint64_t timeout_us = UINT64_MAX);
    int receive_bytes();
    // 0 once the header is parsed, 2 when more bytes are needed, -1 on failure.
    int append_bytes(uint32_t n);

    int64_t body_size() const;
    int64_t resource_size() const;

    Headers headers;

    ISocketStream* socket_stream() const { return m_stream; }
    void socket_stream(ISocketStream* stream, bool ownership) {
        m_stream = stream;
        m_stream_ownership = ownership;
    }
    // Takes the socket stream away from the message; the caller then owns it if the message did.
    ISocketStream* release_socket_stream() {
        auto s = m_stream;
        m_stream = nullptr;
        m_stream_ownership = false;
        return s;
    }
    bool keep_alive() const { return m_keep_alive; }
    void keep_alive(bool v) { m_keep_alive = v; }
    bool close_after_use() const { return m_close_after_use; }
    uint8_t state() const { return m_state; }
    Verb verb() const { return m_verb; }
    std::string_view version() const { return sub(m_version); }
    uint32_t header_size() const { return m_header_size; }
    uint32_t buffer_size() const { return m_buf_size; }
    uint32_t buffer_capacity() const { return m_buf_capacity; }
    char* buffer() const { return m_buf; }
    fs::IStream* body_stream() const { return m_body_stream; }

protected:
    struct Span {
        uint16_t off = 0, len = 0;
    };
    std::string_view sub(Span s) const { return {m_buf + s.off, s.len}; }
    // Drops the body stream and forgets (or, when owned, releases) the socket.
    void clear_message();
    void release_stream();
    void destroy_body_stream();
    void reset_buffer(void* buf, uint32_t capacity, bool buf_ownership);

    char* m_buf = nullptr;
    uint32_t m_buf_capacity = 0;
    uint32_t m_buf_size = 0;
    uint32_t m_header_size = 0;
    uint32_t m_body_in_buffer = 0;
    fs::IStream* m_body_stream = nullptr;
    ISocketStream* m_stream = nullptr;
    bool m_buf_ownership = false;
    bool m_stream_ownership = false;
    bool m_close_after_use = false;
    bool m_keep_alive = true;
    bool m_crlf_added = false;
    bool m_no_body = false;  // 1xx, 204 and 304 answers
    Verb m_verb = Verb::UNKNOWN;
    uint8_t m_state = STATE_NEW;
    Span m_version;
};

class Request : public Message {
public:
    // Fails (ok() false) like reset; check ok() or errno after construction.
    Request(void* buf, uint32_t capacity, Verb verb = Verb::GET, std::string_view url = "http://localhost/",
            bool use_proxy = false);
    bool ok() const { return m_ok; }

    // 0, or -1/ENOBUFS when the request line cannot fit.
    int reset(Verb verb, std::string_view url, bool use_proxy = false);
    // Rewrites the request line for a new location (absolute, or relative to
    // the current scheme and Host) and keeps the other headers.
    int redirect(Verb verb, std::string_view location, bool use_proxy = false);
    // Back to new (header not sent) after a failed exchange, headers kept.
    void rewind();

    int parse_start_line() override;
    std::string_view target() const { return sub(m_target); }
    std::string_view host() const { return headers["Host"]; }
    uint16_t port() const { return m_port; }
    bool secure() const { return m_secure; }

private:
    int write_request_line(Verb verb, const URL& url, bool use_proxy);
    static uint32_t request_line_size(Verb verb, const URL& url, bool use_proxy);

    Span m_target;
    uint16_t m_port = 80;
    bool m_secure = false;
    bool m_ok = false;
};

class Response : public Message {
public:
    Response() : Message(nullptr, 0) {}
    Response(void* buf, uint32_t capacity, bool buf_ownership = false) : Message(buf, capacity, buf_ownership) {}

    // Gives the response a fresh buffer; any previous body stream is dropped
    // and an owned socket stream released.
    void reset(void* buf, uint32_t capacity, bool buf_ownership = false);
    // A response to HEAD has no body.
    void request_verb(Verb v) { m_verb = v; }

    int parse_start_line() override;
    int status_code() const { return m_status; }
    std::string_view reason() const { return sub(m_reason); }

private:
    uint16_t m_status = 0;
    Span m_reason;
};

}  // namespace zentho::net::http
