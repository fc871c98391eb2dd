#pragma once
// The bounded lock-free queue every iterator with background work embeds.
// Many producers and consumers on any runtime threads; push waits (runtime
// sleep) while the queue is full, receive waits on a semaphore while empty.

#include <atomic>
#include <cstdint>
#include <memory>

#include "object/dataobject.h"
#include "zentho/thread/sync.h"

class ObjectQueue {
public:
    static constexpr uint64_t CAPACITY = 16384;
    static constexpr uint64_t MASK = CAPACITY - 1;
    static constexpr int SHIFT = 14;

    ObjectQueue();
    ~ObjectQueue();  // destroys what is still queued

    void push(IDataObject* obj);
    // Non-blocking: null when empty.
    IDataObject* pop();
    // Blocks the calling coroutine until an object arrives.
    IDataObject* receive();
    // Destroys every queued object; logs how many.
    void clear_queue();

    bool empty() const { return m_head.load() == m_tail.load(); }

private:
    std::atomic<uint64_t> m_head{0};
    std::atomic<uint64_t> m_tail{0};
    std::unique_ptr<std::atomic<uint64_t>[]> m_turns;
    std::unique_ptr<IDataObject*[]> m_items;
    zentho::Semaphore m_sem;
    std::atomic<uint64_t> m_idle{0};
};

// The end marker: empty key, size 0, no file system.
IDataObject* new_end_marker();
