#pragma once
// In-memory socket stream and guard-page buffers for the HTTP parser tests.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "zentho/net/socket.h"

// Bytes placed right before a PROT_NONE page, so that any over-read crashes.
class GuardedBytes {
public:
    explicit GuardedBytes(std::string_view s) {
        size_t page = sysconf(_SC_PAGESIZE);
        m_pages = (s.size() + page - 1) / page + 1;
        m_map = static_cast<char*>(mmap(nullptr, m_pages * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(m_map + (m_pages - 1) * page, page, PROT_NONE);
        m_data = m_map + (m_pages - 1) * page - s.size();
        memcpy(m_data, s.data(), s.size());
        m_size = s.size();
    }
    ~GuardedBytes() { munmap(m_map, m_pages * sysconf(_SC_PAGESIZE)); }
    GuardedBytes(const GuardedBytes&) = delete;
    char* data() const { return m_data; }
    size_t size() const { return m_size; }
    std::string_view view() const { return {m_data, m_size}; }

private:
    char* m_map;
    char* m_data;
    size_t m_size, m_pages;
};

// Serves `input` to recv in pieces cut at the given offsets (and at most
// max_piece bytes), then end of stream; collects everything written.
class MemSocketStream : public zentho::net::ISocketStream {
public:
    MemSocketStream(std::string input = {}, std::vector<size_t> cuts = {}, size_t max_piece = SIZE_MAX)
        : m_in(std::move(input)), m_cuts(std::move(cuts)), m_max(max_piece) {
        std::sort(m_cuts.begin(), m_cuts.end());
    }
    std::string out;
    int closes = 0;
    int recv_calls = 0;
    ssize_t fail_write_after = -1;  // bytes accepted before writes fail

    size_t consumed() const { return m_pos; }

    ssize_t recv(void* buf, size_t count, int = 0) override {
        recv_calls++;
        size_t limit = m_in.size();
        for (size_t c : m_cuts)
            if (c > m_pos) {
                limit = std::min(limit, c);
                break;
            }
        size_t n = std::min({count, limit - m_pos, m_max});
        // hand out the bytes from a guarded copy, so that reads past them crash
        GuardedBytes g(std::string_view(m_in).substr(m_pos, n));
        memcpy(buf, g.data(), n);
        m_pos += n;
        return n;
    }
    ssize_t recv(const struct iovec* iov, int, int flags = 0) override { return recv(iov[0].iov_base, iov[0].iov_len, flags); }
    ssize_t read(void* buf, size_t count) override {
        size_t done = 0;
        while (done < count) {
            ssize_t r = recv(static_cast<char*>(buf) + done, count - done);
            if (r <= 0) break;
            done += r;
        }
        return done;
    }
    ssize_t readv(const struct iovec* iov, int iovcnt) override {
        ssize_t t = 0;
        for (int i = 0; i < iovcnt; i++) t += read(iov[i].iov_base, iov[i].iov_len);
        return t;
    }
    ssize_t send(const void* buf, size_t count, int = 0) override { return write(buf, count); }
    ssize_t send(const struct iovec* iov, int iovcnt, int = 0) override { return writev(iov, iovcnt); }
    ssize_t write(const void* buf, size_t count) override {
        if (fail_write_after >= 0 && out.size() + count > size_t(fail_write_after)) {
            size_t n = fail_write_after - out.size();
            out.append(static_cast<const char*>(buf), n);
            return n;
        }
        out.append(static_cast<const char*>(buf), count);
        return count;
    }
    ssize_t writev(const struct iovec* iov, int iovcnt) override {
        ssize_t t = 0;
        for (int i = 0; i < iovcnt; i++) {
            ssize_t r = write(iov[i].iov_base, iov[i].iov_len);
            t += r;
            if (size_t(r) < iov[i].iov_len) break;
        }
        return t;
    }
    ssize_t sendfile(int, off_t, size_t) override { return -1; }
    int close() override {
        closes++;
        return 0;
    }
    int get_underlay_fd() override { return -1; }
    int setsockopt(int, int, const void*, socklen_t) override { return 0; }
    int getsockopt(int, int, void*, socklen_t*) override { return 0; }
    uint64_t timeout() const override { return m_timeout; }
    void timeout(uint64_t t) override { m_timeout = t; }
    int getsockname(zentho::net::EndPoint&) override { return -1; }
    int getpeername(zentho::net::EndPoint&) override { return -1; }
    int getsockname(char*, size_t) override { return -1; }
    int getpeername(char*, size_t) override { return -1; }

private:
    std::string m_in;
    std::vector<size_t> m_cuts;
    size_t m_max;
    size_t m_pos = 0;
    uint64_t m_timeout = UINT64_MAX;
};
