#pragma once
// Synchronisation objects that block only the calling coroutine. They may be
// shared by coroutines of several vCPUs; Semaphore::signal and
// ConditionVariable::notify_* may also be called from plain OS threads.

#include <atomic>
#include <cstdint>

#include "zentho/thread/thread.h"

namespace zentho {

// Ownership passes directly from the unlocker to the longest waiter, so no
// newcomer can take the mutex between the release and the waiter's resumption.
class Mutex {
public:
    explicit Mutex(uint16_t retries = 100) : m_retries(retries) {}
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // 0, or -1 with errno (ETIMEDOUT, or the interrupter's number). Yields up to
    // the retry count before it blocks. Only on a vCPU.
    int lock(Timeout timeout = {});
    int try_lock();
    // By the owner only: otherwise logged, errno EINVAL, owner unchanged.
    void unlock();
    Thread* owner() const { return m_owner.load(std::memory_order_acquire); }

protected:
    friend struct SyncOps;
    // Hands the mutex to the longest waiter; no owner check.
    void release();

    WaitQueue m_queue;
    std::atomic<Thread*> m_owner{nullptr};
    uint16_t m_retries;
    SpinLock m_splock;
};

class RecursiveMutex : public Mutex {
public:
    int lock(Timeout timeout = {});
    int try_lock();
    void unlock();

private:
    int32_t m_recursion = 0;
};

class ConditionVariable {
public:
    // Releases lock while waiting (only once the caller is off its stack) and
    // holds it again on return, whatever the outcome. 0 when notified (errno
    // ECANCELED), -1/ETIMEDOUT, -1 with the interrupter's errno, or -1/EINVAL
    // without a lock. Only on a vCPU.
    int wait(Mutex* lock, Timeout timeout = {});
    int wait(SpinLock* lock, Timeout timeout = {});
    int wait(Mutex& lock, Timeout timeout = {}) { return wait(&lock, timeout); }
    int wait(SpinLock& lock, Timeout timeout = {}) { return wait(&lock, timeout); }
    // From any OS thread.
    Thread* notify_one() { return m_queue.wake_one(ECANCELED); }
    int notify_all() { return m_queue.wake_all(ECANCELED); }
    bool has_waiters() const { return !m_queue.empty(); }

private:
    friend struct SyncOps;
    WaitQueue m_queue;
};

// The shared condition wait: unlock(lock_object) runs after the switch, and
// relock(lock_object) is retried every 1000 us until it returns 0.
int cvar_do_wait(ConditionVariable* cond, void* lock_object, Timeout timeout, int (*relock)(void*),
                 void (*unlock)(void*));

// Waiters are served strictly in arrival order: one that asks for more than is
// available holds back later waiters that would fit.
class Semaphore {
public:
    explicit Semaphore(uint64_t count = 0) : m_count(count) {}
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Takes count units: 0, or -1/ETIMEDOUT. Only on a vCPU.
    int wait(uint64_t count, Timeout timeout = {});
    // Adds count units and wakes the waiters they satisfy. From any OS thread.
    int signal(uint64_t count);
    // Takes count units only if nobody waits and enough are there.
    bool try_subtract(uint64_t count);
    uint64_t count() const { return m_count.load(std::memory_order_relaxed); }

private:
    void grant_waiters();

    WaitQueue m_queue;
    std::atomic<uint64_t> m_count;
    SpinLock m_splock;
};

enum : int {
    RLOCK = 4096,
    WLOCK = 8192,
};

// Readers-writer lock. While a thread waits, newcomers queue behind it;
// releasing to free wakes a waiting writer alone, or the readers at the head.
class RWLock {
public:
    // mode RLOCK or WLOCK: 0, or -1 with errno.
    int lock(int mode, Timeout timeout = {});
    int unlock();
    int64_t state() const { return m_state; }

private:
    int64_t m_state = 0;  // readers when > 0, -1 for a writer
    ConditionVariable m_cond;
    Mutex m_mutex;
};

// Runs callback(arg) periodically on a thread of its own (on the creating
// vCPU). The callback returns the next interval in us, 0 for the default.
// Create, reset and destroy on the timer's vCPU; the destructor (or stop) may
// also be called from inside the callback.
class Timer {
public:
    using Callback = uint64_t (*)(void* arg);

    Timer(uint64_t default_timeout_us, Callback callback, void* arg, bool repeating = true,
          uint64_t stack_size = DEFAULT_STACK_SIZE);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Restarts the current wait with new_timeout_us (0: the default).
    int reset(uint64_t new_timeout_us = 0);
    // No further callbacks. From outside the callback it also waits for the
    // timer thread to end; from inside, the thread ends when the callback returns.
    void stop();
    bool running() const { return m_thread != nullptr; }

private:
    static void* stub(void* timer);

    Thread* m_thread = nullptr;  // cleared when the timer thread leaves its loop
    Thread* m_joinable = nullptr;
    void* m_arg;
    Callback m_callback;
    uint64_t m_default_timeout;
    uint64_t m_reset_timeout = 0;
    bool m_repeating;
    bool m_waiting = false;
    bool* m_gone = nullptr;  // set by a destructor that runs inside the callback
    WaitQueue m_waitq;
};

}  // namespace zentho
