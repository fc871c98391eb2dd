#pragma once
// Owned byte buffers. A buffer is private (malloc'ed, freed with it), a view of
// bytes owned elsewhere, or a pool buffer that release() sends home.

#include <cstdint>
#include <cstdlib>

class IAllocator;

class IBuffer {
public:
    virtual ~IBuffer() = default;
    // 0 when the buffer went back to its pool; -1 when the caller must delete it
    virtual int release() = 0;

    void* data = nullptr;
    uint64_t size = 0;
};

class MemBuffer : public IBuffer {
public:
    // A private buffer of n bytes; data is null when malloc failed.
    explicit MemBuffer(uint64_t n) : m_owns(true) {
        data = n ? malloc(n) : nullptr;
        size = data ? n : 0;
    }
    // A view of bytes owned elsewhere; (nullptr, 0) is the empty buffer.
    MemBuffer(void* p, uint64_t n) : m_owns(false) {
        data = p;
        size = n;
    }
    // A pool buffer.
    MemBuffer(uint64_t n, IAllocator* pool) : MemBuffer(n) { m_allocator = pool; }
    ~MemBuffer() override {
        if (m_owns) free(data);
    }
    int release() override;

    IAllocator* allocator() const { return m_allocator; }

private:
    IAllocator* m_allocator = nullptr;
    bool m_owns;
};

class IAllocator {
public:
    virtual ~IAllocator() = default;
    virtual IBuffer* alloc() = 0;
    virtual int release(IBuffer* buffer) = 0;
    virtual void stop() = 0;
    virtual int64_t count() = 0;
};

inline int MemBuffer::release() { return m_allocator ? m_allocator->release(this) : -1; }

// Releases a buffer and deletes it when it has no pool.
inline void release_buffer(IBuffer* b) {
    if (b && b->release() < 0) delete b;
}
