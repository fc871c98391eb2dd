#include "zentho/common/iovector.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zentho/common/logger.h"

namespace zentho {

namespace {

inline char* base_of(const struct iovec& v) { return static_cast<char*>(v.iov_base); }

}  // namespace

size_t iovector_view::sum() const {
    size_t s = 0;
    for (int i = 0; i < iovcnt; ++i) s += iov[i].iov_len;
    return s;
}

size_t iovector_view::shrink_to(size_t n) {
    size_t acc = 0;
    for (int i = 0; i < iovcnt; ++i) {
        if (acc + iov[i].iov_len >= n) {
            size_t keep = n - acc;
            if (keep == 0) {
                iovcnt = i;
            } else {
                iov[i].iov_len = keep;
                iovcnt = i + 1;
            }
            return n;
        }
        acc += iov[i].iov_len;
    }
    return acc;
}

size_t iovector_view::extract_front(size_t n) {
    size_t done = 0;
    while (iovcnt > 0 && done < n) {
        struct iovec& f = iov[0];
        size_t take = std::min(f.iov_len, n - done);
        f.iov_base = base_of(f) + take;
        f.iov_len -= take;
        done += take;
        if (f.iov_len == 0) {
            ++iov;
            --iovcnt;
        }
    }
    return done;
}

size_t iovector_view::extract_front(size_t n, void* buf) {
    size_t done = 0;
    char* out = static_cast<char*>(buf);
    while (iovcnt > 0 && done < n) {
        struct iovec& f = iov[0];
        size_t take = std::min(f.iov_len, n - done);
        if (take) memcpy(out + done, f.iov_base, take);
        f.iov_base = base_of(f) + take;
        f.iov_len -= take;
        done += take;
        if (f.iov_len == 0) {
            ++iov;
            --iovcnt;
        }
    }
    return done;
}

ssize_t iovector_view::extract_front(size_t n, iovector_view* out) {
    if (!out || out->iovcnt < 0) return -1;
    // count the descriptors needed first so that a failure changes nothing
    int need = 0;
    size_t acc = 0;
    for (int i = 0; i < iovcnt && acc < n; ++i) {
        if (iov[i].iov_len == 0) continue;
        acc += std::min(iov[i].iov_len, n - acc);
        ++need;
    }
    if (need > out->iovcnt) return -1;
    int k = 0;
    size_t done = 0;
    while (iovcnt > 0 && done < n) {
        struct iovec& f = iov[0];
        size_t take = std::min(f.iov_len, n - done);
        if (take) out->iov[k++] = {f.iov_base, take};
        f.iov_base = base_of(f) + take;
        f.iov_len -= take;
        done += take;
        if (f.iov_len == 0) {
            ++iov;
            --iovcnt;
        }
    }
    out->iovcnt = k;
    return ssize_t(done);
}

size_t iovector_view::extract_back(size_t n) {
    size_t done = 0;
    while (iovcnt > 0 && done < n) {
        struct iovec& b = iov[iovcnt - 1];
        size_t take = std::min(b.iov_len, n - done);
        b.iov_len -= take;
        done += take;
        if (b.iov_len == 0) --iovcnt;
    }
    return done;
}

size_t iovector_view::extract_back(size_t n, void* buf) {
    size_t total = std::min(n, sum());
    char* out = static_cast<char*>(buf);
    size_t done = 0;
    while (iovcnt > 0 && done < total) {
        struct iovec& b = iov[iovcnt - 1];
        size_t take = std::min(b.iov_len, total - done);
        b.iov_len -= take;
        if (take) memcpy(out + (total - done - take), base_of(b) + b.iov_len, take);
        done += take;
        if (b.iov_len == 0) --iovcnt;
    }
    return done;
}

ssize_t iovector_view::extract_back(size_t n, iovector_view* out) {
    if (!out || out->iovcnt < 0) return -1;
    int need = 0;
    size_t acc = 0;
    for (int i = iovcnt - 1; i >= 0 && acc < n; --i) {
        if (iov[i].iov_len == 0) continue;
        acc += std::min(iov[i].iov_len, n - acc);
        ++need;
    }
    if (need > out->iovcnt) return -1;
    int k = need;
    size_t done = 0;
    while (iovcnt > 0 && done < n) {
        struct iovec& b = iov[iovcnt - 1];
        size_t take = std::min(b.iov_len, n - done);
        b.iov_len -= take;
        if (take) out->iov[--k] = {base_of(b) + b.iov_len, take};
        done += take;
        if (b.iov_len == 0) --iovcnt;
    }
    out->iovcnt = need;
    return ssize_t(done);
}

size_t iovector_view::gather_to(void* buf, size_t n) const {
    char* out = static_cast<char*>(buf);
    size_t done = 0;
    for (int i = 0; i < iovcnt && done < n; ++i) {
        size_t k = std::min(iov[i].iov_len, n - done);
        if (k) memcpy(out + done, iov[i].iov_base, k);
        done += k;
    }
    return done;
}

size_t iovector_view::scatter_from(const void* buf, size_t n) const {
    const char* in = static_cast<const char*>(buf);
    size_t done = 0;
    for (int i = 0; i < iovcnt && done < n; ++i) {
        size_t k = std::min(iov[i].iov_len, n - done);
        if (k) memcpy(iov[i].iov_base, in + done, k);
        done += k;
    }
    return done;
}

size_t iovector_view::copy_to(iovector_view* target, size_t limit) {
    size_t done = 0;
    while (done < limit && iovcnt > 0 && target && target->iovcnt > 0) {
        if (front().iov_len == 0) {
            ++iov;
            --iovcnt;
            continue;
        }
        if (target->front().iov_len == 0) {
            ++target->iov;
            --target->iovcnt;
            continue;
        }
        size_t k = std::min({front().iov_len, target->front().iov_len, limit - done});
        memcpy(target->front().iov_base, front().iov_base, k);
        extract_front(k);
        target->extract_front(k);
        done += k;
    }
    return done;
}

ssize_t iovector_view::slice(size_t count, size_t offset, iovector_view* out) const {
    if (!out || !out->iov || out->iovcnt <= 0) return -1;
    int cap = out->iovcnt, k = 0;
    size_t done = 0;
    for (int i = 0; i < iovcnt && done < count && k < cap; ++i) {
        size_t len = iov[i].iov_len;
        if (offset >= len) {
            offset -= len;
            continue;
        }
        size_t take = std::min(len - offset, count - done);
        out->iov[k++] = {base_of(iov[i]) + offset, take};
        offset = 0;
        done += take;
    }
    out->iovcnt = k;
    return ssize_t(done);
}

void* IOAlloc::default_allocate(void*, RangeSize size, int* allocated) {
    void* p = malloc(size_t(size.max));
    *allocated = p ? size.max : 0;
    return p;
}

void IOAlloc::default_release(void*, void* ptr) { free(ptr); }

iovector::iovector(uint16_t capacity, uint16_t front_room, IOAlloc alloc)
    : m_capacity(capacity), m_alloc(alloc) {
    m_begin = m_end = std::min(front_room, capacity);
    m_iovs = new struct iovec[capacity ? capacity : 1];
    m_bases = new void*[capacity ? capacity : 1];
}

iovector::~iovector() {
    for (uint16_t i = 0; i < m_nbases; ++i) m_alloc.release(m_bases[i]);
    delete[] m_iovs;
    delete[] m_bases;
}

size_t iovector::sum() const {
    size_t s = 0;
    for (uint16_t i = m_begin; i < m_end; ++i) s += m_iovs[i].iov_len;
    return s;
}

int iovector::push_back(const struct iovec& v) {
    if (m_end >= m_capacity) {
        errno = ENOBUFS;
        return -1;
    }
    m_iovs[m_end++] = v;
    return 0;
}

int iovector::push_front(const struct iovec& v) {
    if (m_begin == 0) {
        errno = ENOBUFS;
        return -1;
    }
    m_iovs[--m_begin] = v;
    return 0;
}

void iovector::clear() { m_end = m_begin; }

void* iovector::allocate_recorded(size_t remaining, int* got) {
    *got = 0;
    if (m_nbases >= m_capacity) {
        errno = ENOBUFS;
        return nullptr;
    }
    int max = int(std::min<size_t>(remaining, INT_MAX));
    void* p = m_alloc.allocate({1, max}, got);
    if (!p) return nullptr;
    m_bases[m_nbases++] = p;
    if (*got <= 0) return nullptr;  // recorded so that it is still released
    return p;
}

size_t iovector::push_back_more(size_t n) {
    size_t added = 0;
    while (added < n) {
        if (m_end >= m_capacity) {
            LOG_ERROR("no more buffer space in iovs[] (capacity:", m_capacity, ")");
            errno = ENOBUFS;
            break;
        }
        int got;
        void* p = allocate_recorded(n - added, &got);
        if (!p) break;
        m_iovs[m_end++] = {p, size_t(got)};
        added += size_t(got);
    }
    return added;
}

size_t iovector::push_front_more(size_t n) {
    size_t added = 0;
    while (added < n) {
        if (m_begin == 0) {
            LOG_ERROR("no more preserved space iovs[]");
            errno = ENOBUFS;
            break;
        }
        int got;
        void* p = allocate_recorded(n - added, &got);
        if (!p) break;
        m_iovs[--m_begin] = {p, size_t(got)};
        added += size_t(got);
    }
    return added;
}

void iovector::debug_print() const {
    std::string text;
    char piece[64];
    for (uint16_t i = m_begin; i < m_end; ++i) {
        snprintf(piece, sizeof(piece), "{addr: %p, len: %zu}, ", m_iovs[i].iov_base, m_iovs[i].iov_len);
        text += piece;
    }
    LOG_DEBUG("iov sum: ", sum(), text);
}

}  // namespace zentho
