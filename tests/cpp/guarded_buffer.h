#pragma once
// Memory whose last byte sits right before a PROT_NONE page, so that any
// access past the end faults at once.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <stdexcept>

class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size) : m_size(size) {
        size_t page = size_t(sysconf(_SC_PAGESIZE));
        m_map_len = (size + page - 1) / page * page + page;
        void* p = mmap(nullptr, m_map_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap");
        m_map = static_cast<char*>(p);
        if (mprotect(m_map + m_map_len - page, page, PROT_NONE) != 0) throw std::runtime_error("mprotect");
        m_data = m_map + m_map_len - page - size;
    }
    GuardedBuffer(const void* content, size_t size) : GuardedBuffer(size) {
        if (size) memcpy(m_data, content, size);
    }
    ~GuardedBuffer() { munmap(m_map, m_map_len); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    char* data() { return m_data; }
    size_t size() const { return m_size; }

private:
    char* m_map;
    size_t m_map_len;
    char* m_data;
    size_t m_size;
};
