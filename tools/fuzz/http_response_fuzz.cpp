// libFuzzer target over response parsing: status line, headers and body
// (length-delimited or chunked). The first input byte picks the recv piece
// size, so that every framing is also met cut at odd boundaries.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "zentho/common/logger.h"
#include "zentho/net/http/message.h"

using namespace zentho;
using namespace zentho::net;

namespace {

class FuzzStream : public ISocketStream {
public:
    FuzzStream(const uint8_t* d, size_t n, size_t piece) : m_d(d), m_n(n), m_piece(piece) {}
    ssize_t recv(void* buf, size_t count, int = 0) override {
        size_t k = std::min({count, m_n - m_pos, m_piece});
        memcpy(buf, m_d + m_pos, k);
        m_pos += k;
        return k;
    }
    ssize_t recv(const struct iovec* iov, int, int f = 0) override { return recv(iov[0].iov_base, iov[0].iov_len, f); }
    ssize_t read(void* buf, size_t count) override {
        size_t done = 0;
        while (done < count) {
            ssize_t r = recv((char*)buf + done, count - done);
            if (r <= 0) break;
            done += r;
        }
        return done;
    }
    ssize_t readv(const struct iovec* iov, int) override { return read(iov[0].iov_base, iov[0].iov_len); }
    ssize_t send(const void*, size_t n, int = 0) override { return n; }
    ssize_t send(const struct iovec*, int, int = 0) override { return 0; }
    ssize_t write(const void*, size_t n) override { return n; }
    ssize_t writev(const struct iovec*, int) override { return 0; }
    ssize_t sendfile(int, off_t, size_t) override { return -1; }
    int close() override { return 0; }
    int get_underlay_fd() override { return -1; }
    int setsockopt(int, int, const void*, socklen_t) override { return 0; }
    int getsockopt(int, int, void*, socklen_t*) override { return 0; }
    uint64_t timeout() const override { return UINT64_MAX; }
    void timeout(uint64_t) override {}
    int getsockname(EndPoint&) override { return -1; }
    int getpeername(EndPoint&) override { return -1; }
    int getsockname(char*, size_t) override { return -1; }
    int getpeername(char*, size_t) override { return -1; }

private:
    const uint8_t* m_d;
    size_t m_n, m_pos = 0, m_piece;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        default_logger.m_level = ALOG_FATAL + 1;
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    size_t piece = 1 + data[0] % 64;
    FuzzStream s(data + 1, size - 1, data[0] & 0x80 ? SIZE_MAX : piece);
    static char buf[16384];
    http::Response resp(buf, data[0] & 0x40 ? 8191 : sizeof(buf));
    resp.socket_stream(&s, false);
    if (resp.receive_header() != 0) return 0;
    resp.body_size();
    resp.resource_size();
    resp.headers.range();
    char out[777];
    for (int i = 0; i < 10000 && resp.read(out, sizeof(out)) > 0; i++) {
    }
    resp.close();
    return 0;
}
