#include "zentho/net/http/message.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zentho/common/logger.h"
#include "zentho/thread/thread.h"

namespace zentho::net::http {

static const std::string_view VERBS[VERB_COUNT] = {
    "UNKNOWN", "DELETE", "GET",     "HEAD",       "POST",     "PUT",      "CONNECT",   "OPTIONS",     "TRACE",
    "COPY",    "LOCK",   "MKCOL",   "MOVE",       "PROPFIND", "PROPPATCH", "SEARCH",   "UNLOCK",      "BIND",
    "REBIND",  "UNBIND", "ACL",     "REPORT",     "MKACTIVITY", "CHECKOUT", "MERGE",   "MSEARCH",     "NOTIFY",
    "SUBSCRIBE", "UNSUBSCRIBE", "PATCH", "PURGE", "MKCALENDAR", "LINK",    "UNLINK",
};

std::string_view verb_str(Verb v) {
    auto i = static_cast<uint8_t>(v);
    return i < VERB_COUNT ? VERBS[i] : VERBS[0];
}

Verb string_to_verb(std::string_view text) {
    for (int i = 1; i < VERB_COUNT; i++)
        if (VERBS[i] == text) return static_cast<Verb>(i);
    return Verb::UNKNOWN;
}

namespace {

constexpr uint32_t MAX_VERSION = 5;
constexpr uint32_t RECV_CHUNK = 4096;
constexpr uint32_t RECV_MIN_FREE = 5121;
constexpr size_t SCRATCH = 65536;

// The version token starting at p: optional "HTTP/", then up to 5 characters
// ending at one of the stop characters. Returns the end, or npos.
size_t parse_version(std::string_view in, size_t p, char stop, uint16_t& off, uint16_t& len) {
    if (in.substr(p, 5) == "HTTP/") p += 5;
    size_t e = in.find(stop, p);
    if (e == std::string_view::npos) return e;
    if (e == p || e - p > MAX_VERSION) {
        LOG_ERROR("invalid scheme ", VALUE(e - p));
        return std::string_view::npos;
    }
    off = p;
    len = e - p;
    return e;
}

int64_t parse_u64(std::string_view s) {
    if (s.empty() || s.size() > 19) return -1;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v > uint64_t(INT64_MAX) ? -1 : int64_t(v);
}

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

int parse_status_line(std::string_view in, StatusLine& out) {
    size_t p = parse_version(in, 0, ' ', out.version_offset, out.version_length);
    if (p == std::string_view::npos) LOG_ERROR_RETURN(EINVAL, -1, "incomplete or invalid status line");
    p++;
    size_t d = p;
    uint32_t code = 0;
    while (d < in.size() && d - p < 4 && in[d] >= '0' && in[d] <= '9') code = code * 10 + (in[d++] - '0');
    if (d == in.size()) LOG_ERROR_RETURN(EINVAL, -1, "incomplete status line");
    if (d == p || d - p > 3 || code < 1 || code > 999 || (in[d] != ' ' && in[d] != '\r'))
        LOG_ERROR_RETURN(EINVAL, -1, "invalid status code ", std::string_view(in.substr(p, std::min<size_t>(8, d - p + 1))));
    out.status = code;
    if (in[d] == ' ') d++;
    size_t cr = in.find('\r', d);
    if (cr == std::string_view::npos || cr + 1 >= in.size()) LOG_ERROR_RETURN(EINVAL, -1, "incomplete status line");
    if (in[cr + 1] != '\n') LOG_ERROR_RETURN(EINVAL, -1, "status line without CR LF");
    out.reason_offset = d;
    out.reason_length = cr - d;
    return cr + 2;
}

int parse_request_line(std::string_view in, RequestLine& out) {
    size_t sp = in.find(' ');
    if (sp == std::string_view::npos) LOG_ERROR_RETURN(EINVAL, -1, "incomplete request line");
    out.verb = string_to_verb(in.substr(0, sp));
    if (out.verb == Verb::UNKNOWN) LOG_ERROR_RETURN(EINVAL, -1, "invalid http method");
    size_t t = sp + 1;
    size_t sp2 = in.find(' ', t);
    if (sp2 == std::string_view::npos) LOG_ERROR_RETURN(EINVAL, -1, "incomplete request line");
    if (sp2 == t) LOG_ERROR_RETURN(EINVAL, -1, "empty request target");
    out.target_offset = t;
    out.target_length = sp2 - t;
    size_t cr = parse_version(in, sp2 + 1, '\r', out.version_offset, out.version_length);
    if (cr == std::string_view::npos || cr + 1 >= in.size()) LOG_ERROR_RETURN(EINVAL, -1, "incomplete request line");
    if (in[cr + 1] != '\n') LOG_ERROR_RETURN(EINVAL, -1, "request line without CR LF");
    return cr + 2;
}

Message::Message(void* buf, uint32_t capacity, bool buf_ownership) { reset_buffer(buf, capacity, buf_ownership); }

void Message::reset_buffer(void* buf, uint32_t capacity, bool buf_ownership) {
    m_buf = static_cast<char*>(buf);
    m_buf_capacity = std::min(capacity, MAX_BUFFER);
    m_buf_ownership = buf_ownership;
    m_buf_size = m_header_size = m_body_in_buffer = 0;
    headers.reset(m_buf, m_buf_capacity);
}

void Message::destroy_body_stream() {
    delete m_body_stream;
    m_body_stream = nullptr;
}

void Message::release_stream() {
    if (m_stream && m_stream_ownership) {
        // the connection is reusable only when nothing is left unread on it
        bool clean = !m_close_after_use && m_body_stream && m_body_stream->close() == 0;
        if (!clean) {
            LOG_DEBUG("close sockstream");
            m_stream->close();
        }
        delete m_stream;
    }
    m_stream = nullptr;
    m_stream_ownership = false;
}

void Message::clear_message() {
    release_stream();
    destroy_body_stream();
    m_state = STATE_NEW;
    m_close_after_use = false;
    m_crlf_added = false;
}

Message::~Message() {
    release_stream();
    if (m_buf_ownership) free(m_buf);
    destroy_body_stream();
}

int Message::close() { return m_body_stream ? m_body_stream->close() : 0; }

ssize_t Message::read(void* buf, size_t count) {
    if (!m_body_stream) LOG_ERROR_RETURN(EIO, -1, "body not readable");
    return m_body_stream->read(buf, count);
}

ssize_t Message::readv(const struct iovec* iov, int iovcnt) {
    if (!m_body_stream) LOG_ERROR_RETURN(EIO, -1, "body not readable");
    return m_body_stream->readv(iov, iovcnt);
}

ssize_t Message::write(const void* buf, size_t count) {
    if (m_state == STATE_NEW && send_header() < 0) return -1;
    if (!m_body_stream) LOG_ERROR_RETURN(EIO, -1, "body not writable");
    m_state = STATE_BODY_SENT;
    return m_body_stream->write(buf, count);
}

ssize_t Message::writev(const struct iovec* iov, int iovcnt) {
    if (m_state == STATE_NEW && send_header() < 0) return -1;
    if (!m_body_stream) LOG_ERROR_RETURN(EIO, -1, "body not writable");
    m_state = STATE_BODY_SENT;
    return m_body_stream->writev(iov, iovcnt);
}

int Message::prepare_body_write_stream() {
    destroy_body_stream();
    if (iequals(headers["Transfer-Encoding"], "chunked")) {
        m_body_stream = new ChunkedBodyWriteStream(m_stream);
    } else {
        int64_t len = headers.content_length();
        if (len < 0 || m_verb == Verb::HEAD) len = 0;
        m_body_stream = new BodyWriteStream(m_stream, len);
    }
    return 0;
}

int Message::send_header(ISocketStream* stream) {
    if (stream) socket_stream(stream, false);
    if (!m_stream) LOG_ERROR_RETURN(EINVAL, -1, "send header without a socket stream");
    if (m_state != STATE_NEW) return 0;
    int r = headers.insert("Connection", m_keep_alive ? "keep-alive" : "close");
    if (r == -1) return -1;
    if (!m_crlf_added) {
        if (headers.space() < 2) LOG_ERROR_RETURN(ENOBUFS, -1, "no room for the end of the header");
        headers.append_raw("\r\n", 2);
        m_crlf_added = true;
    }
    size_t n = headers.region() + headers.size() - m_buf;
    ssize_t w = m_stream->write(m_buf, n);
    if (w < 0 || size_t(w) != n) {
        if (w >= 0) errno = EIO;
        LOG_ERROR_RETURN(0, -1, "send header failed ", VALUE(w), VALUE(n), ERRNO());
    }
    m_state = STATE_HEADER_SENT;
    return prepare_body_write_stream();
}

ssize_t Message::write_stream(fs::IStream* source, size_t count) {
    if (m_state == STATE_NEW && send_header() < 0) return -1;
    if (!m_body_stream) LOG_ERROR_RETURN(EIO, -1, "body not writable");
    m_state = STATE_BODY_SENT;
    void* scratch = nullptr;
    if (posix_memalign(&scratch, 4096, SCRATCH) != 0) LOG_ERROR_RETURN(ENOMEM, -1, "no memory for body copy");
    size_t done = 0;
    ssize_t ret = 0;
    while (done < count) {
        size_t n = std::min(count - done, SCRATCH);
        ssize_t r = source->read(scratch, n);
        if (r < 0) {
            LOG_ERROR("read stream failed ", ERRNO());
            ret = -1;
            break;
        }
        if (r == 0) break;
        ssize_t w = m_body_stream->write(scratch, r);
        if (w != r) {
            LOG_ERROR("send body failed ", VALUE(w), VALUE(r), ERRNO());
            ret = -1;
            break;
        }
        done += r;
    }
    free(scratch);
    return ret < 0 ? -1 : ssize_t(done);
}

int Message::send() {
    if (m_state == STATE_NEW && send_header() < 0) LOG_ERROR_RETURN(0, -1, "send response header failed");
    int r = m_body_stream ? m_body_stream->close() : 0;
    destroy_body_stream();
    return r;
}

int Message::receive_bytes() {
    uint32_t free_bytes = m_buf_capacity - m_buf_size;
    if (free_bytes < RECV_MIN_FREE) LOG_ERROR_RETURN(ENOBUFS, -1, "no buffer ", VALUE(free_bytes));
    ssize_t r = m_stream->recv(m_buf + m_buf_size, RECV_CHUNK);
    if (r < 0) LOG_ERROR_RETURN(0, -1, "failed to receive data ", VALUE(r), ERRNO());
    if (r == 0) return 1;
    return append_bytes(r);
}

int Message::append_bytes(uint32_t n) {
    if (m_state == STATE_HEADER_PARSED) LOG_ERROR_RETURN(EINVAL, -1, "double parse");
    uint32_t used = m_buf_size + n;
    if (used >= m_buf_capacity) LOG_ERROR_RETURN(ENOBUFS, -1, "response header overflows the buffer ", VALUE(used));
    uint32_t from = m_buf_size > 3 ? m_buf_size - 3 : 0;
    m_buf_size = used;
    std::string_view seen(m_buf + from, used - from);
    auto pos = seen.find("\r\n\r\n");
    if (pos == std::string_view::npos) return 2;
    m_header_size = from + pos + 4;
    m_body_in_buffer = used - m_header_size;
    int line = parse_start_line();
    if (line < 0) return -1;
    LOG_DEBUG("add headers: ", VALUE(m_buf_size), VALUE(m_buf_capacity));
    headers.reset(m_buf + line, m_buf_capacity - line);
    if (headers.parse(used - line) < 0) LOG_ERROR_RETURN(0, -1, "failed to parse headers");
    auto conn = headers["Connection"];
    m_close_after_use = iequals(conn, "close") || !headers["Trailer"].empty() ||
                        (version() == "1.0" && !iequals(conn, "keep-alive"));
    m_state = STATE_HEADER_PARSED;
    LOG_DEBUG("header parsed");
    return 0;
}

int Message::receive_header(uint64_t timeout_us) {
    if (!m_stream) LOG_ERROR_RETURN(EINVAL, -1, "receive header without a socket stream");
    Timeout deadline(timeout_us);
    for (;;) {
        uint64_t left = deadline.expiration() == Timeout::NEVER ? UINT64_MAX : deadline.remaining();
        if (left == 0) {
            errno = ETIMEDOUT;
            if (m_stream_ownership) m_stream->close();
            LOG_ERROR_RETURN(ETIMEDOUT, -1, "receive header timed out");
        }
        m_stream->timeout(left);
        int r = receive_bytes();
        if (r < 0) {
            if (m_stream_ownership) m_stream->close();
            return -1;
        }
        if (r == 1) return 1;
        if (r == 0) return prepare_body_read_stream();
    }
}

int Message::prepare_body_read_stream() {
    destroy_body_stream();
    if (iequals(headers["Transfer-Encoding"], "chunked")) {
        char* area = m_buf + m_header_size;
        if (area + ChunkedBodyReadStream::AREA_SIZE > headers.index_begin())
            LOG_ERROR_RETURN(ENOBUFS, -1, "no room for the chunked body area ", VALUE(m_header_size));
        m_body_stream = new ChunkedBodyReadStream(m_stream, area, m_body_in_buffer);
    } else {
        m_body_stream = new BodyReadStream(m_stream, m_buf + m_header_size, m_body_in_buffer, body_size());
    }
    return 0;
}

int64_t Message::body_size() const {
    if (m_verb == Verb::HEAD || m_no_body) return 0;
    int64_t len = headers.content_length();
    if (len >= 0) return len;
    auto cr = headers["Content-Range"];
    if (cr.substr(0, 6) == "bytes ") {
        auto v = cr.substr(6);
        auto slash = v.find('/');
        auto range = v.substr(0, slash);
        if (range == "*") return std::max<int64_t>(0, parse_u64(v.substr(slash + 1)));
        auto dash = range.find('-');
        if (dash != std::string_view::npos) {
            int64_t s = parse_u64(range.substr(0, dash)), e = parse_u64(range.substr(dash + 1));
            if (s >= 0 && e >= s) return e - s + 1;
        }
    }
    return 0;
}

int64_t Message::resource_size() const {
    auto cr = headers["Content-Range"];
    if (!cr.empty()) {
        auto slash = cr.find('/');
        if (slash == std::string_view::npos) return -1;
        return parse_u64(cr.substr(slash + 1));  // "*" gives -1
    }
    return headers.content_length();
}

// ---- Request ----------------------------------------------------------------

Request::Request(void* buf, uint32_t capacity, Verb verb, std::string_view url, bool use_proxy)
    : Message(buf, capacity) {
    m_ok = reset(verb, url, use_proxy) == 0;
}

uint32_t Request::request_line_size(Verb verb, const URL& url, bool use_proxy) {
    uint32_t n = verb_str(verb).size() + 1 + url.target().size() + 11;
    if (use_proxy) n += (url.secure() ? 8 : 7) + url.host_port().size();
    return n;
}

int Request::write_request_line(Verb verb, const URL& url, bool use_proxy) {
    char* p = m_buf;
    auto put = [&](std::string_view s) {
        memcpy(p, s.data(), s.size());
        p += s.size();
    };
    put(verb_str(verb));
    put(" ");
    if (use_proxy) {
        put(url.secure() ? "https://" : "http://");
        put(url.host_port());
    }
    m_target.off = p - m_buf;
    put(url.target());
    m_target.len = p - m_buf - m_target.off;
    put(" HTTP/1.1\r\n");
    m_version = {uint16_t(p - m_buf - 5), 3};
    m_verb = verb;
    m_port = url.port();
    m_secure = url.secure();
    return p - m_buf;
}

int Request::reset(Verb verb, std::string_view url_text, bool use_proxy) {
    URL url(url_text);
    if (!(verb_str(verb).size() + 1 + url.text().size() + 20 < m_buf_capacity))
        LOG_ERROR_RETURN(ENOBUFS, -1, "out of buffer ", VALUE(url_text.size()), VALUE(m_buf_capacity));
    LOG_DEBUG("requst reset ", VALUE(url_text), VALUE(use_proxy));
    clear_message();
    int line = write_request_line(verb, url, use_proxy);
    headers.reset(m_buf + line, m_buf_capacity - line);
    if (headers.insert("Host", url.host_port()) != 0) LOG_ERROR_RETURN(ENOBUFS, -1, "out of buffer for Host");
    m_buf_size = m_header_size = 0;
    return 0;
}

void Request::rewind() {
    if (m_crlf_added) {
        headers.drop_raw(2);
        m_crlf_added = false;
    }
    destroy_body_stream();
    m_state = STATE_NEW;
}

int Request::redirect(Verb verb, std::string_view location, bool use_proxy) {
    std::string loc;
    if (location.substr(0, 7) == "http://" || location.substr(0, 8) == "https://") {
        loc = location;
    } else {
        loc = m_secure ? "https://" : "http://";
        loc += host();
        if (location.empty() || location[0] != '/') {
            // relative to the directory of the current target
            auto t = target().substr(0, target().find('?'));
            loc += t.substr(0, t.rfind('/') + 1);
        }
        loc += location;
    }
    rewind();
    URL url(loc);
    uint32_t old_line = headers.region() - m_buf;
    uint32_t new_line = request_line_size(verb, url, use_proxy);
    if (new_line + 20 >= m_buf_capacity || headers.reset_host(int(new_line) - int(old_line), url.host_port()) < 0)
        LOG_ERROR_RETURN(ENOBUFS, -1, "failed to move header data");
    write_request_line(verb, url, use_proxy);
    LOG_DEBUG("redirect moved the headers ", VALUE(old_line), VALUE(new_line));
    return 0;
}

int Request::parse_start_line() {
    RequestLine rl;
    int r = parse_request_line({m_buf, m_buf_size}, rl);
    if (r < 0) return -1;
    m_verb = rl.verb;
    m_target = {rl.target_offset, rl.target_length};
    m_version = {rl.version_offset, rl.version_length};
    return r;
}

// ---- Response ---------------------------------------------------------------

void Response::reset(void* buf, uint32_t capacity, bool buf_ownership) {
    release_stream();
    destroy_body_stream();
    if (m_buf_ownership) free(m_buf);
    reset_buffer(buf, capacity, buf_ownership);
    m_state = STATE_NEW;
    m_close_after_use = false;
    m_status = 0;
    m_no_body = false;
    m_reason = {};
    m_version = {};
}

int Response::parse_start_line() {
    StatusLine sl;
    int r = parse_status_line({m_buf, m_buf_size}, sl);
    if (r < 0) return -1;
    m_status = sl.status;
    m_no_body = m_status < 200 || m_status == 204 || m_status == 304;
    m_reason = {sl.reason_offset, sl.reason_length};
    m_version = {sl.version_offset, sl.version_length};
    return r;
}

}  // namespace zentho::net::http
