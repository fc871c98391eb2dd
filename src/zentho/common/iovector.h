#pragma once
// Scatter/gather vectors. iovector_view borrows an iovec array owned elsewhere
// (the array and the memory it describes must outlive the view); iovector owns
// its array and the buffers it allocated. Neither is thread-safe.

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace zentho {

struct iovector_view {
    struct iovec* iov = nullptr;
    int iovcnt = 0;

    iovector_view() = default;
    iovector_view(struct iovec* iov_, int iovcnt_) : iov(iov_), iovcnt(iovcnt_) {}

    bool empty() const { return iovcnt <= 0; }
    struct iovec& front() { return iov[0]; }
    struct iovec& back() { return iov[iovcnt - 1]; }

    // Total length of the elements.
    size_t sum() const;

    // Keeps the first n bytes; returns n, or the total when the view is shorter.
    size_t shrink_to(size_t n);

    // Drops up to n bytes from the front; returns the bytes dropped.
    size_t extract_front(size_t n);
    // As above, copying the dropped bytes into buf (at least n bytes long).
    size_t extract_front(size_t n, void* buf);
    // As above, moving the descriptors of the dropped bytes into out, whose
    // iovcnt is its capacity on entry and its element count on return; -1 when
    // that capacity runs out before n bytes (this view is then left unchanged).
    ssize_t extract_front(size_t n, iovector_view* out);

    // The same from the back.
    size_t extract_back(size_t n);
    size_t extract_back(size_t n, void* buf);
    ssize_t extract_back(size_t n, iovector_view* out);

    // Copy up to n bytes out of / into the elements, front first; the view is
    // unchanged. Return the bytes copied.
    size_t gather_to(void* buf, size_t n) const;
    size_t scatter_from(const void* buf, size_t n) const;

    // Copies up to limit bytes from this view into target, consuming both.
    size_t copy_to(iovector_view* target, size_t limit = SIZE_MAX);

    // Describes bytes [offset, offset + count) of this view in out (capacity
    // in out->iovcnt on entry, element count on return); returns the bytes
    // described, or -1 for a missing or empty output view.
    ssize_t slice(size_t count, size_t offset, iovector_view* out) const;
};

// The allocator of iovector: allocate gets a size range and stores the size it
// actually allocated; null means it has nothing more to give.
struct IOAlloc {
    struct RangeSize {
        int min;
        int max;
    };
    using Allocate = void* (*)(void* ctx, RangeSize size, int* allocated);
    using Release = void (*)(void* ctx, void* ptr);

    void* allocate_ctx = nullptr;
    Allocate allocate_fn = &default_allocate;
    void* release_ctx = nullptr;
    Release release_fn = &default_release;

    void* allocate(RangeSize size, int* allocated) { return allocate_fn(allocate_ctx, size, allocated); }
    void release(void* ptr) { release_fn(release_ctx, ptr); }

    static void* default_allocate(void* ctx, RangeSize size, int* allocated);
    static void default_release(void* ctx, void* ptr);
};

// Owning vector of up to `capacity` elements with room kept in front, so that
// elements can be pushed at either end. Live elements are [m_begin, m_end).
class iovector {
public:
    // front_room elements are kept free in front (clamped to the capacity).
    explicit iovector(uint16_t capacity = 32, uint16_t front_room = 8, IOAlloc alloc = {});
    ~iovector();
    iovector(const iovector&) = delete;
    iovector& operator=(const iovector&) = delete;

    uint16_t capacity() const { return m_capacity; }
    int iovcnt() const { return m_end - m_begin; }
    bool empty() const { return m_end == m_begin; }
    struct iovec* iovec() { return m_iovs + m_begin; }
    struct iovec& operator[](int i) { return m_iovs[m_begin + i]; }
    iovector_view view() { return {iovec(), iovcnt()}; }
    size_t sum() const;

    // Append or prepend an element describing memory owned elsewhere; 0, or
    // -1/ENOBUFS when there is no room on that side.
    int push_back(const struct iovec& v);
    int push_front(const struct iovec& v);
    void pop_back() { if (m_end > m_begin) --m_end; }
    void pop_front() { if (m_end > m_begin) ++m_begin; }
    // Drops all elements (allocated buffers stay recorded until destruction).
    void clear();

    // Allocates buffers until n more bytes are described at that end; returns
    // the bytes actually added (ENOBUFS when room or buffer records ran out).
    size_t push_back_more(size_t n);
    size_t push_front_more(size_t n);

    // Logs the elements at DEBUG.
    void debug_print() const;

private:
    void* allocate_recorded(size_t remaining, int* got);

    uint16_t m_capacity;
    uint16_t m_begin;
    uint16_t m_end;
    uint16_t m_nbases = 0;
    struct iovec* m_iovs;
    IOAlloc m_alloc;
    void** m_bases;
};

}  // namespace zentho
