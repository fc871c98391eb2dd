#pragma once
// A fixed pool of equal buffers: bounds the memory of prefetching iterators.
// alloc() may block the calling coroutine until a buffer comes home; release()
// may be called from any thread.

#include <deque>
#include <mutex>
#include <vector>

#include "object/buffer.h"
#include "zentho/thread/sync.h"

class MemAllocator : public IAllocator {
public:
    MemAllocator(uint64_t buffer_size, int count);
    ~MemAllocator() override;

    // A buffer, waiting while none is free; null once the pool is stopped.
    IBuffer* alloc() override;
    int release(IBuffer* buffer) override;
    // No more allocations; waiters get null. The pool deletes itself now, or
    // with the release that brings its last buffer home.
    void stop() override;
    int64_t count() override { return m_total; }

    int32_t available() const { return m_available; }
    uint64_t buffer_size() const { return m_buffer_size; }

private:
    enum : int32_t { RUNNING = 0, STOPPED = 1, DELETE_ON_RELEASE = 2 };

    std::vector<MemBuffer*> m_buffers;
    std::deque<MemBuffer*> m_free;
    std::mutex m_mutex;  // held for pointer moves only, from any thread
    zentho::Semaphore m_sem;
    int32_t m_total;
    int32_t m_available;
    int32_t m_state = RUNNING;
    uint64_t m_buffer_size;
};
