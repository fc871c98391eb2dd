#pragma once
// Scheduler internals shared by the thread, synchronisation and engine code.

#include <condition_variable>
#include <mutex>
#include <vector>

#include "zentho/common/intrusive_list.h"
#include "zentho/io/event_engine.h"
#include "zentho/thread/sync.h"
#include "zentho/thread/thread.h"

namespace zentho {

enum : uint32_t {
    THREAD_JOINABLE = 1,
    THREAD_SHUTDOWN = 2,
};

// The record of one coroutine; for a created thread it sits at the top of the
// thread's own stack allocation.
struct alignas(64) Thread : intrusive_list_node<Thread> {
    VCPU* vcpu = nullptr;
    void* stack_ptr = nullptr;     // saved by the context switch
    int32_t idx = -1;              // position in the sleep heap
    int32_t error_number = 0;      // set by interrupts, moved into errno on resumption
    WaitQueue* waitq = nullptr;
    std::atomic<states> state{states::READY};
    SpinLock lock;                 // guards state against concurrent wake-ups
    uint32_t flags = 0;
    uint64_t ts_wakeup = 0;
    void* arg = nullptr;
    // start function, then the result; a semaphore request or lock mode while waiting
    uint64_t word = 0;
    char* stack_base = nullptr;
    size_t stack_size = 0;
    ConditionVariable join_cond;
#if KIV_ASAN
    const void* asan_stack_bottom = nullptr;
    size_t asan_stack_size = 0;
#endif

    states get_state() const { return state.load(std::memory_order_relaxed); }
    void set_state(states s) { state.store(s, std::memory_order_relaxed); }
};

// Master engine of a vCPU without a real one: waits on an OS condition
// variable so that timers and cross-thread wake-ups still work.
class NullEventEngine : public MasterEventEngine {
public:
    int wait_for_fd(int fd, uint32_t interests, Timeout timeout) override;
    ssize_t dispatch_events(uint64_t timeout_us) override;
    int wakeup() override;

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_notified = false;
};

struct alignas(64) VCPU {
    MasterEventEngine* master_event_engine = nullptr;
    uint64_t switch_count = 0;
    std::vector<Thread*> sleepq;   // min-heap on ts_wakeup
    uint16_t state = 0;            // 1 running, 4 finishing
    std::atomic<int32_t> nthreads{1};
    Thread* idle_worker = nullptr;
    NullEventEngine null_engine;
    std::atomic<Thread*> standbyq{nullptr};  // written under standby_lock
    SpinLock standby_lock;
    // OS threads between taking the engine under standby_lock and the end of
    // its wake-up; the engine and the vCPU outlive them
    std::atomic<int32_t> wakers{0};
    Thread* main_thread = nullptr;
#if KIV_ASAN
    // a deferred action waiting for the incoming thread to finish its switch
    void (*pending_defer)(void*) = nullptr;
    void* pending_defer_arg = nullptr;
#endif
};

enum : uint16_t {
    VCPU_RUNNING = 1,
    VCPU_STOPPING = 4,
};

// Wait-queue manipulation for the scheduler and the synchronisation objects.
// Lock order: a waiter's own lock is taken inside the queue lock; wakers hold
// the queue lock and only try the waiter's lock, backing off on failure.
struct WaitQueueOps {
    static void append(WaitQueue* q, Thread* th);
    static void remove(WaitQueue* q, Thread* th);
    static SpinLock& lock(WaitQueue* q) { return q->m_lock; }
    static Thread* head(WaitQueue* q) { return q->m_head.load(std::memory_order_relaxed); }
    // Wakes the head waiter with error_number if pred(head) holds; returns it,
    // or null when the queue is empty or pred fails. pred runs with the
    // waiter's lock held.
    template <typename Pred>
    static Thread* wake_head_if(WaitQueue* q, int error_number, Pred&& pred);
};

// The common sleep: deadline, optional wait queue, optional action deferred
// until after the switch. 0 when the deadline passed, -1 with the interrupt's
// errno otherwise.
int sleep_on(WaitQueue* q, uint64_t deadline, void (*defer)(void*), void* defer_arg);

// Until every thread of v other than the caller and the idle thread finished.
void wait_for_other_threads(VCPU* v);
// Swaps v's master engine (under the standby lock, so that no cross-thread
// waker is using the old one) and returns the previous one.
MasterEventEngine* exchange_master_engine(VCPU* v, MasterEventEngine* engine);

// Wakes th, whose lock the caller holds and which is WAITING. queue_locked:
// the caller also holds the lock of th's wait queue.
void prelocked_wake(Thread* th, int error_number, bool queue_locked);

// While one lives (nestable), wake-ups of other vCPUs' engines made by this OS
// thread wait until the outermost one ends: wakers take it before the spin
// locks they hold while waking, so the woken vCPU does not find them held.
class WakeupBatch {
public:
    WakeupBatch();
    ~WakeupBatch();
    WakeupBatch(const WakeupBatch&) = delete;
    WakeupBatch& operator=(const WakeupBatch&) = delete;
};

template <typename Pred>
Thread* WaitQueueOps::wake_head_if(WaitQueue* q, int error_number, Pred&& pred) {
    WakeupBatch batch;
    q->m_lock.lock();
    for (;;) {
        Thread* th = head(q);
        if (!th) break;
        if (th->lock.try_lock()) {
            bool ok = pred(th);
            if (ok) prelocked_wake(th, error_number, true);
            th->lock.unlock();
            q->m_lock.unlock();
            return ok ? th : nullptr;
        }
        // the waiter is being woken by someone holding its lock, who needs
        // the queue lock next
        q->m_lock.unlock();
        __builtin_ia32_pause();
        q->m_lock.lock();
    }
    q->m_lock.unlock();
    return nullptr;
}

}  // namespace zentho
