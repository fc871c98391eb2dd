#pragma once
// Body streams of an HTTP message. Each owns nothing but itself: the socket
// stream and the working memory belong to the message. Limits: a chunk-size
// line (extensions and CR LF included) must fit the 4096-byte working area,
// and a chunk size has at most 16 hexadecimal digits.

#include <cstdint>

#include "zentho/net/socket.h"

namespace zentho::net::http {

class ROStream : public fs::IStream {
public:
    ssize_t write(const void*, size_t) override;
    ssize_t writev(const struct iovec*, int) override;
};

class WOStream : public fs::IStream {
public:
    ssize_t read(void*, size_t) override;
    ssize_t readv(const struct iovec*, int) override;
};

// A body of known length; the first part may already sit in the message buffer.
class BodyReadStream : public ROStream {
public:
    BodyReadStream(ISocketStream* stream, const char* partial, uint64_t partial_len, uint64_t body_len)
        : m_stream(stream), m_partial(partial), m_partial_len(partial_len), m_remain(body_len) {}
    // 0 only when the whole body was consumed and nothing else arrived behind it
    int close() override;
    ssize_t read(void* buf, size_t count) override;
    ssize_t readv(const struct iovec* iov, int iovcnt) override;
    uint64_t remaining() const { return m_remain; }

private:
    ISocketStream* m_stream;
    const char* m_partial;
    uint64_t m_partial_len;
    uint64_t m_remain;
};

class ChunkedBodyReadStream : public ROStream {
public:
    static constexpr uint32_t AREA_SIZE = 4096;
    static constexpr uint32_t MAX_SIZE_DIGITS = 16;

    // area: AREA_SIZE bytes whose first seeded bytes are body bytes already received
    ChunkedBodyReadStream(ISocketStream* stream, char* area, uint32_t seeded)
        : m_stream(stream), m_area(area), m_end(seeded) {}
    // 0 only once the last chunk was seen
    int close() override;
    ssize_t read(void* buf, size_t count) override;
    ssize_t readv(const struct iovec* iov, int iovcnt) override;
    bool finished() const { return m_finished; }

private:
    // Next line (without CR LF) from the area, refilling it: 1, 0 at a clean
    // end of stream before any byte of the line, -1 on failure.
    int next_line(const char*& line, uint32_t& len);
    int refill();

    ISocketStream* m_stream;
    char* m_area;
    uint32_t m_start = 0, m_end;
    uint64_t m_chunk_left = 0;
    bool m_in_chunk = false;  // a chunk's data (and its CR LF) is being consumed
    bool m_finished = false;
    bool m_failed = false;
};

// Writes at most the declared size.
class BodyWriteStream : public WOStream {
public:
    BodyWriteStream(ISocketStream* stream, uint64_t size) : m_stream(stream), m_size(size) {}
    int close() override { return 0; }
    ssize_t write(const void* buf, size_t count) override;
    ssize_t writev(const struct iovec* iov, int iovcnt) override;
    uint64_t written() const { return m_written; }

private:
    ISocketStream* m_stream;
    uint64_t m_size, m_written = 0;
};

// One chunk per write; the last chunk goes out on close or destruction.
class ChunkedBodyWriteStream : public WOStream {
public:
    explicit ChunkedBodyWriteStream(ISocketStream* stream) : m_stream(stream) {}
    ~ChunkedBodyWriteStream() override {
        if (!m_finished) close();
    }
    int close() override;
    ssize_t write(const void* buf, size_t count) override;
    ssize_t writev(const struct iovec* iov, int iovcnt) override;

private:
    ISocketStream* m_stream;
    bool m_finished = false;
};

}  // namespace zentho::net::http
