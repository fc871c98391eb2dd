#include "zentho/net/http/headers.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "zentho/common/logger.h"

namespace zentho::net::http {

namespace {

int64_t parse_decimal(std::string_view s) {
    if (s.empty() || s.size() > 18) return -1;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v;
}

}  // namespace

void Headers::reset(char* region, uint32_t size) {
    m_buf = region;
    m_capacity = std::min<uint32_t>(size, MAX_REGION);
    m_size = 0;
    m_kv_count = 0;
    m_last_kv = -1;
}

int Headers::compare(std::string_view a, std::string_view b) {
    int r = strncasecmp(a.data(), b.data(), std::min(a.size(), b.size()));
    if (r) return r;
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

Headers::KV Headers::entry(uint32_t i) const {
    KV kv;
    memcpy(&kv, index_begin() + i * sizeof(KV), sizeof(KV));
    return kv;
}

void Headers::set_entry(uint32_t i, const KV& kv) { memcpy(index_begin() + i * sizeof(KV), &kv, sizeof(KV)); }

std::string_view Headers::key(uint32_t i) const {
    KV kv = entry(i);
    return {m_buf + kv.key_offset, kv.key_length};
}

std::string_view Headers::value(uint32_t i) const {
    KV kv = entry(i);
    return {m_buf + kv.value_offset, kv.value_length};
}

int Headers::find(std::string_view k) const {
    // lower bound, so that duplicates answer with the first one
    uint32_t lo = 0, hi = m_kv_count;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (compare(key(mid), k) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < m_kv_count && compare(key(lo), k) == 0) return lo;
    return -1;
}

std::string_view Headers::get(std::string_view k) const {
    int i = find(k);
    return i < 0 ? std::string_view() : value(i);
}

int Headers::kv_add_sort(const KV& kv) {
    if (space() < sizeof(KV)) LOG_ERROR_RETURN(ENOBUFS, -1, "header index full ", VALUE(m_kv_count));
    std::string_view k(m_buf + kv.key_offset, kv.key_length);
    // upper bound: a duplicate goes after the existing ones
    uint32_t lo = 0, hi = m_kv_count;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (compare(key(mid), k) <= 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    char* old_begin = index_begin();
    m_kv_count++;
    memmove(index_begin(), old_begin, lo * sizeof(KV));
    set_entry(lo, kv);
    m_last_kv = lo;
    return lo;
}

int Headers::insert(std::string_view k, std::string_view v, bool allow_duplicate) {
    if (!allow_duplicate && find(k) >= 0) return -EEXIST;
    uint64_t need = k.size() + 2 + v.size() + 2 + sizeof(KV) + INSERT_SPARE;
    if (need > space())
        LOG_ERROR_RETURN(ENOBUFS, -1, "no room to insert header ", k, VALUE(space()), VALUE(need));
    KV kv;
    char* p = m_buf + m_size;
    kv.key_offset = m_size;
    kv.key_length = k.size();
    memcpy(p, k.data(), k.size());
    p += k.size();
    *p++ = ':';
    *p++ = ' ';
    kv.value_offset = p - m_buf;
    kv.value_length = v.size();
    memcpy(p, v.data(), v.size());
    p += v.size();
    *p++ = '\r';
    *p++ = '\n';
    m_size = p - m_buf;
    return kv_add_sort(kv) < 0 ? -1 : 0;
}

int Headers::append_raw(const char* data, uint32_t n) {
    if (space() < n) LOG_ERROR_RETURN(ENOBUFS, -1, "no room to append to headers ", VALUE(space()), VALUE(n));
    memcpy(m_buf + m_size, data, n);
    m_size += n;
    return 0;
}

int Headers::parse(uint32_t size) {
    m_kv_count = 0;
    m_last_kv = -1;
    if (size > m_capacity) LOG_ERROR_RETURN(ENOBUFS, -1, "add kv failed ", VALUE(size), VALUE(m_capacity));
    m_size = size;
    const char* p = m_buf;
    const char* end = m_buf + size;
    char* idx_end = m_buf + m_capacity;
    while (p < end && *p != '\r') {
        const char* colon = static_cast<const char*>(memchr(p, ':', end - p));
        const char* cr = static_cast<const char*>(memchr(p, '\r', end - p));
        if (!colon || !cr || colon > cr || colon == p || cr + 1 >= end || cr[1] != '\n' || memchr(p, '\n', cr - p))
            LOG_ERROR_RETURN(EINVAL, -1, "malformed header line ", VALUE(p - m_buf));
        const char* v = colon + 1;
        while (v < cr && *v == ' ') v++;
        if (m_buf + m_size > idx_end - (m_kv_count + 1) * sizeof(KV))
            LOG_ERROR_RETURN(ENOBUFS, -1, "add kv failed ", VALUE(m_kv_count));
        m_kv_count++;
        // appended unsorted at the bottom of the index, sorted once at the end
        KV kv{uint16_t(p - m_buf), uint16_t(colon - p), uint16_t(v - m_buf), uint16_t(cr - v)};
        memcpy(idx_end - m_kv_count * sizeof(KV), &kv, sizeof(KV));
        p = cr + 2;
    }
    // entries were written from the top down: reverse to arrival order, then a stable sort
    KV* base = reinterpret_cast<KV*>(index_begin());
    static_assert(alignof(KV) == 2);
    if (reinterpret_cast<uintptr_t>(base) % alignof(KV) == 0) {
        std::reverse(base, base + m_kv_count);
        std::stable_sort(base, base + m_kv_count, [this](const KV& a, const KV& b) {
            return compare({m_buf + a.key_offset, a.key_length}, {m_buf + b.key_offset, b.key_length}) < 0;
        });
    } else {
        // an odd region end: sort a copy
        KV tmp[256];
        KV* heap = m_kv_count > 256 ? new KV[m_kv_count] : nullptr;
        KV* t = heap ? heap : tmp;
        for (uint32_t i = 0; i < m_kv_count; i++) t[i] = entry(m_kv_count - 1 - i);
        std::stable_sort(t, t + m_kv_count, [this](const KV& a, const KV& b) {
            return compare({m_buf + a.key_offset, a.key_length}, {m_buf + b.key_offset, b.key_length}) < 0;
        });
        for (uint32_t i = 0; i < m_kv_count; i++) set_entry(i, t[i]);
        delete[] heap;
    }
    return 0;
}

int Headers::reset_host(int delta, std::string_view host) {
    int i = find("Host");
    int64_t old_len = i < 0 ? 0 : value(i).size();
    int64_t grow = i < 0 ? int64_t(4 + 2 + host.size() + 2 + sizeof(KV)) : int64_t(host.size()) - old_len;
    int64_t new_capacity = int64_t(m_capacity) - delta;
    if (new_capacity < 0 || int64_t(m_size) + grow + int64_t(m_kv_count * sizeof(KV)) > new_capacity)
        LOG_ERROR_RETURN(ENOBUFS, -1, "failed to move header data ", VALUE(delta), VALUE(m_size));
    // the index stays at the region's high end; only the text moves
    memmove(m_buf + delta, m_buf, m_size);
    m_buf += delta;
    m_capacity = new_capacity;
    if (i < 0) return insert("Host", host);
    KV kv = entry(i);
    uint32_t tail = kv.value_offset + kv.value_length;
    memmove(m_buf + tail + grow, m_buf + tail, m_size - tail);
    memcpy(m_buf + kv.value_offset, host.data(), host.size());
    m_size += grow;
    for (uint32_t j = 0; j < m_kv_count; j++) {
        KV e = entry(j);
        if (e.key_offset >= tail) {
            e.key_offset += grow;
            e.value_offset += grow;
        }
        if (j == uint32_t(i)) e.value_length = host.size();
        set_entry(j, e);
    }
    return 0;
}

int64_t Headers::content_length() const {
    int i = find("Content-Length");
    return i < 0 ? -1 : parse_decimal(value(i));
}

std::pair<int64_t, int64_t> Headers::range() const {
    std::string_view v = get("Range");
    if (v.substr(0, 6) != "bytes=") return {-1, -1};
    v.remove_prefix(6);
    auto dash = v.find('-');
    if (dash == std::string_view::npos) return {-1, -1};
    auto a = v.substr(0, dash), b = v.substr(dash + 1);
    int64_t s = a.empty() ? -1 : parse_decimal(a);
    int64_t e = b.empty() ? -1 : parse_decimal(b);
    if ((!a.empty() && s < 0) || (!b.empty() && e < 0)) return {-1, -1};
    return {s, e};
}

}  // namespace zentho::net::http
