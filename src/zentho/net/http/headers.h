#pragma once
// The header store: a region of a message buffer owned by the message. Header
// lines grow from the low end as text; an index of 8-byte entries, kept sorted
// by key case-insensitively, grows down from the high end. Nothing is
// allocated. Limits: a region is at most 65535 bytes (16-bit offsets); an
// insert keeps 10 spare bytes free.

#include <cstdint>
#include <string_view>
#include <utility>

namespace zentho::net::http {

class Headers {
public:
    static constexpr uint32_t MAX_REGION = 65535;
    static constexpr uint32_t INSERT_SPARE = 10;

    struct KV {
        uint16_t key_offset, key_length, value_offset, value_length;
    };

    Headers() = default;
    Headers(char* region, uint32_t size) { reset(region, size); }
    // Starts an empty store over region; sizes above 65535 are clamped.
    void reset(char* region, uint32_t size);

    // The value, or an empty view when absent (the first of duplicates).
    std::string_view get(std::string_view key) const;
    std::string_view operator[](std::string_view key) const { return get(key); }
    bool contains(std::string_view key) const { return find(key) >= 0; }

    // 0; -EEXIST (nothing added) when key exists and !allow_duplicate; -1/ENOBUFS
    // without room for the line, its entry and the spare bytes.
    int insert(std::string_view key, std::string_view value, bool allow_duplicate = false);
    // Builds the index over the size bytes of raw header lines already at the
    // region start (each "key: value" CR LF; a line starting with CR ends it).
    // 0, -1/EINVAL on a malformed line, -1/ENOBUFS when the index meets the text.
    int parse(uint32_t size);
    // The region moves by delta bytes (the start line grew or shrank) and the
    // Host line gets host. The caller moves nothing; -1/ENOBUFS when it cannot fit.
    int reset_host(int delta, std::string_view host);

    // -1 when absent or not a decimal number.
    int64_t content_length() const;
    // "bytes=a-b"; a missing bound is -1; {-1, -1} without a usable Range.
    std::pair<int64_t, int64_t> range() const;

    // Appends raw bytes to the text (for the final CR LF); -1/ENOBUFS.
    int append_raw(const char* data, uint32_t n);
    void drop_raw(uint32_t n) { m_size -= n; }

    char* region() const { return m_buf; }
    uint32_t capacity() const { return m_capacity; }
    uint32_t size() const { return m_size; }  // text bytes
    uint32_t count() const { return m_kv_count; }
    uint32_t space() const { return m_capacity - m_size - m_kv_count * sizeof(KV); }
    // Lowest address used by the index.
    char* index_begin() const { return m_buf + m_capacity - m_kv_count * sizeof(KV); }
    int last_inserted() const { return m_last_kv; }

    // Entries in sorted order.
    KV entry(uint32_t i) const;
    std::string_view key(uint32_t i) const;
    std::string_view value(uint32_t i) const;

    // Case-insensitive key order: the shorter prefix first, then the shorter key.
    static int compare(std::string_view a, std::string_view b);

private:
    int find(std::string_view key) const;
    void set_entry(uint32_t i, const KV& kv);
    // Places kv in sorted order; index room must already be checked.
    int kv_add_sort(const KV& kv);

    char* m_buf = nullptr;
    uint32_t m_capacity = 0;  // bytes of the region, even so entries align
    uint32_t m_size = 0;
    uint32_t m_kv_count = 0;
    int m_last_kv = -1;
};

}  // namespace zentho::net::http
