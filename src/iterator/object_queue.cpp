#include "iterator/object_queue.h"

#include "object/object_basic.h"
#include "zentho/common/logger.h"
#include "zentho/thread/thread.h"

using namespace zentho;

IDataObject* new_end_marker() { return new DataObjectBasicRO("", 0, "", nullptr); }

ObjectQueue::ObjectQueue()
    : m_turns(new std::atomic<uint64_t>[CAPACITY]), m_items(new IDataObject*[CAPACITY]) {
    for (uint64_t i = 0; i < CAPACITY; ++i) m_turns[i].store(0, std::memory_order_relaxed);
}

ObjectQueue::~ObjectQueue() {
    while (IDataObject* o = pop()) delete o;
}

void ObjectQueue::push(IDataObject* obj) {
    uint64_t h = m_head.load(std::memory_order_acquire);
    for (;;) {
        uint64_t turn = h >> SHIFT;
        auto& word = m_turns[h & MASK];
        if (word.load(std::memory_order_acquire) == 2 * turn) {
            if (m_head.compare_exchange_weak(h, h + 1, std::memory_order_acq_rel)) {
                m_items[h & MASK] = obj;
                word.store(2 * turn + 1, std::memory_order_release);
                if (m_idle.load(std::memory_order_acquire)) m_sem.signal(1);
                return;
            }
            continue;  // h was reloaded by the failed exchange
        }
        uint64_t h2 = m_head.load(std::memory_order_acquire);
        uint64_t t = m_tail.load(std::memory_order_acquire);
        if (h2 == h && t != h && (t & MASK) == (h & MASK)) {
            thread_usleep(Timeout(10000));  // full: wait for a consumer
            h = m_head.load(std::memory_order_acquire);
        } else {
            h = h2;
        }
    }
}

IDataObject* ObjectQueue::pop() {
    uint64_t t = m_tail.load(std::memory_order_acquire);
    for (;;) {
        if (t == m_head.load(std::memory_order_acquire)) return nullptr;
        uint64_t turn = t >> SHIFT;
        auto& word = m_turns[t & MASK];
        if (word.load(std::memory_order_acquire) == 2 * turn + 1) {
            if (m_tail.compare_exchange_weak(t, t + 1, std::memory_order_acq_rel)) {
                IDataObject* obj = m_items[t & MASK];
                word.store(2 * turn + 2, std::memory_order_release);
                return obj;
            }
        } else {
            uint64_t t2 = m_tail.load(std::memory_order_acquire);
            // the slot is claimed but not yet filled: the producer finishes it shortly
            if (t2 == t) thread_yield();
            t = t2;
        }
    }
}

IDataObject* ObjectQueue::receive() {
    if (IDataObject* o = pop()) return o;
    thread_yield();
    m_idle.fetch_add(1, std::memory_order_acq_rel);
    IDataObject* o;
    while (!(o = pop())) m_sem.wait(1, Timeout(100000));
    m_idle.fetch_sub(1, std::memory_order_acq_rel);
    return o;
}

void ObjectQueue::clear_queue() {
    uint64_t count = 0;
    while (IDataObject* o = pop()) {
        delete o;
        ++count;
    }
    LOG_INFO(VALUE(count));
}
