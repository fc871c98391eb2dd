#include "zentho/net/http/body.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "zentho/common/logger.h"

namespace zentho::net::http {

ssize_t ROStream::write(const void*, size_t) { LOG_ERROR_RETURN(EBADF, -1, "write to a read-only body stream"); }
ssize_t ROStream::writev(const struct iovec*, int) {
    LOG_ERROR_RETURN(EBADF, -1, "write to a read-only body stream");
}
ssize_t WOStream::read(void*, size_t) { LOG_ERROR_RETURN(EBADF, -1, "read from a write-only body stream"); }
ssize_t WOStream::readv(const struct iovec*, int) {
    LOG_ERROR_RETURN(EBADF, -1, "read from a write-only body stream");
}

namespace {

template <typename Stream>
ssize_t readv_by_vector(Stream* s, const struct iovec* iov, int iovcnt) {
    ssize_t total = 0;
    for (int i = 0; i < iovcnt; i++) {
        if (iov[i].iov_len == 0) continue;
        ssize_t r = s->read(iov[i].iov_base, iov[i].iov_len);
        if (r < 0) return total ? total : -1;
        total += r;
        if (r == 0 || size_t(r) < iov[i].iov_len) break;
    }
    return total;
}

}  // namespace

int BodyReadStream::close() {
    if (m_remain == 0 && m_partial_len == 0) return 0;
    errno = EIO;
    return -1;
}

ssize_t BodyReadStream::read(void* buf, size_t count) {
    size_t n = std::min<uint64_t>(count, m_remain);
    if (n == 0) return 0;
    size_t from_buf = std::min<uint64_t>(n, m_partial_len);
    memcpy(buf, m_partial, from_buf);
    m_partial += from_buf;
    m_partial_len -= from_buf;
    m_remain -= from_buf;
    if (from_buf == n) return n;
    ssize_t r = m_stream->read(static_cast<char*>(buf) + from_buf, n - from_buf);
    if (r < 0) {
        if (from_buf) return from_buf;
        LOG_ERROR_RETURN(0, -1, "failed to read body ", VALUE(n), ERRNO());
    }
    // the connection ended before Content-Length: a failure, never an end of body
    if (r == 0 && !from_buf) LOG_ERROR_RETURN(ECONNRESET, -1, "body ended early ", VALUE(m_remain));
    m_remain -= r;
    return from_buf + r;
}

ssize_t BodyReadStream::readv(const struct iovec* iov, int iovcnt) { return readv_by_vector(this, iov, iovcnt); }

int ChunkedBodyReadStream::close() {
    if (m_finished) return 0;
    errno = EIO;
    return -1;
}

int ChunkedBodyReadStream::refill() {
    if (m_start > 0) {
        memmove(m_area, m_area + m_start, m_end - m_start);
        m_end -= m_start;
        m_start = 0;
    }
    if (m_end >= AREA_SIZE) LOG_ERROR_RETURN(EPROTO, -1, "chunk-size line too long ", VALUE(m_end));
    ssize_t r = m_stream->recv(m_area + m_end, AREA_SIZE - m_end);
    if (r < 0) LOG_ERROR_RETURN(0, -1, "failed to receive chunked body ", ERRNO());
    if (r == 0) LOG_ERROR_RETURN(ECONNRESET, -1, "Peer closed");
    m_end += r;
    return 0;
}

int ChunkedBodyReadStream::next_line(const char*& line, uint32_t& len) {
    uint32_t scanned = m_start;
    for (;;) {
        const char* base = m_area + scanned;
        const char* lf = static_cast<const char*>(memchr(base, '\n', m_end - scanned));
        if (lf) {
            const char* begin = m_area + m_start;
            if (lf == begin || lf[-1] != '\r') LOG_ERROR_RETURN(EPROTO, -1, "chunk line without CR LF");
            line = begin;
            len = lf - 1 - begin;
            m_start = lf + 1 - m_area;
            return 1;
        }
        uint32_t have = m_end - m_start;
        if (refill() < 0) return -1;
        scanned = have;  // refill moved the pending bytes to the area start
    }
}

ssize_t ChunkedBodyReadStream::read(void* buf, size_t count) {
    if (m_failed) LOG_ERROR_RETURN(EIO, -1, "chunked body failed before");
    char* out = static_cast<char*>(buf);
    size_t done = 0;
    while (done < count && !m_finished) {
        if (m_chunk_left > 0) {
            size_t want = std::min<uint64_t>(count - done, m_chunk_left);
            uint32_t avail = m_end - m_start;
            if (avail > 0) {
                size_t n = std::min<size_t>(want, avail);
                memcpy(out + done, m_area + m_start, n);
                m_start += n;
                done += n;
                m_chunk_left -= n;
            } else {
                LOG_DEBUG("read from stream ", VALUE(want));
                ssize_t r = m_stream->read(out + done, want);
                if (r <= 0 || size_t(r) < want) {
                    m_failed = true;
                    LOG_ERROR_RETURN(r < 0 ? errno : ECONNRESET, -1, "Peer closed inside a chunk ", VALUE(r));
                }
                done += r;
                m_chunk_left -= r;
            }
            continue;
        }
        const char* line;
        uint32_t len;
        if (next_line(line, len) < 0) {
            m_failed = true;
            return -1;
        }
        if (len == 0) continue;  // the CR LF that ends a chunk's data
        uint64_t size = 0;
        uint32_t digits = 0;
        while (digits < len) {
            char c = line[digits];
            int v = (c >= '0' && c <= '9') ? c - '0'
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                           : -1;
            if (v < 0) break;
            if (++digits > MAX_SIZE_DIGITS) {
                m_failed = true;
                LOG_ERROR_RETURN(EPROTO, -1, "chunk size too long");
            }
            size = size * 16 + v;
        }
        // chunk extensions after ';' are ignored
        if (digits == 0 || (digits < len && line[digits] != ';' && line[digits] != ' ' && line[digits] != '\t')) {
            m_failed = true;
            LOG_ERROR_RETURN(EPROTO, -1, "invalid chunk-size line ", std::string_view(line, std::min(len, 32u)));
        }
        if (size == 0) {
            // skip any trailer lines up to the empty line
            do {
                if (next_line(line, len) < 0) {
                    m_failed = true;
                    return -1;
                }
            } while (len != 0);
            m_finished = true;
            break;
        }
        m_chunk_left = size;
    }
    return done;
}

ssize_t ChunkedBodyReadStream::readv(const struct iovec* iov, int iovcnt) {
    return readv_by_vector(this, iov, iovcnt);
}

ssize_t BodyWriteStream::write(const void* buf, size_t count) {
    uint64_t room = m_size - m_written;
    if (count > room) {
        LOG_WARN("body write beyond the declared size, truncated ", VALUE(count), VALUE(room));
        count = room;
    }
    if (count == 0) return 0;
    ssize_t r = m_stream->write(buf, count);
    if (r < 0 || size_t(r) != count) LOG_ERROR_RETURN(0, -1, "send body failed ", VALUE(r), VALUE(count), ERRNO());
    m_written += count;
    return count;
}

ssize_t BodyWriteStream::writev(const struct iovec* iov, int iovcnt) {
    ssize_t total = 0;
    for (int i = 0; i < iovcnt; i++) {
        ssize_t r = write(iov[i].iov_base, iov[i].iov_len);
        if (r < 0) return -1;
        total += r;
        if (size_t(r) < iov[i].iov_len) break;
    }
    return total;
}

ssize_t ChunkedBodyWriteStream::write(const void* buf, size_t count) {
    struct iovec iov{const_cast<void*>(buf), count};
    return writev(&iov, 1);
}

ssize_t ChunkedBodyWriteStream::writev(const struct iovec* iov, int iovcnt) {
    if (m_finished) LOG_ERROR_RETURN(EIO, -1, "chunked body already finished");
    size_t total = 0;
    for (int i = 0; i < iovcnt; i++) total += iov[i].iov_len;
    // an empty chunk would end the body
    if (total == 0) return 0;
    char line[24];
    int n = snprintf(line, sizeof(line), "%zx\r\n", total);
    struct iovec small[18];
    struct iovec* v = iovcnt + 2 <= 18 ? small : new struct iovec[iovcnt + 2];
    v[0] = {line, size_t(n)};
    memcpy(v + 1, iov, iovcnt * sizeof(*iov));
    v[iovcnt + 1] = {const_cast<char*>("\r\n"), 2};
    size_t expect = total + n + 2;
    ssize_t r = m_stream->writev(v, iovcnt + 2);
    if (v != small) delete[] v;
    if (r < 0 || size_t(r) != expect) LOG_ERROR_RETURN(0, -1, "send chunk failed ", VALUE(r), VALUE(expect), ERRNO());
    return total;
}

int ChunkedBodyWriteStream::close() {
    if (m_finished) return 0;
    m_finished = true;
    ssize_t r = m_stream->write("0\r\n\r\n", 5);
    if (r != 5) LOG_ERROR_RETURN(0, -1, "send last chunk failed ", VALUE(r), ERRNO());
    return 0;
}

}  // namespace zentho::net::http
