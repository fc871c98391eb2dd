#pragma once
// Coroutine threads multiplexed on vCPUs (OS threads turned into schedulers).
// Scheduling is cooperative: a thread runs until it yields, sleeps, waits or
// finishes. Unless said otherwise, a call acts on the calling OS thread's vCPU
// and must be made from one of its threads.

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "zentho/thread/current.h"

namespace zentho {

struct VCPU;

// An absolute deadline in microseconds on the now_us clock. 0 has always
// passed; the maximum value never passes.
class Timeout {
public:
    static constexpr uint64_t NEVER = UINT64_MAX;

    // Never expires.
    constexpr Timeout() = default;
    // now_us + relative_us, saturated at NEVER.
    Timeout(uint64_t relative_us) : m_expiration(saturating_add(now_us.load(std::memory_order_relaxed), relative_us)) {}

    static constexpr Timeout never() { return Timeout(); }
    static constexpr Timeout from_expiration(uint64_t absolute_us) {
        Timeout t;
        t.m_expiration = absolute_us;
        return t;
    }

    constexpr uint64_t expiration() const { return m_expiration; }
    bool expired() const { return m_expiration == 0 || m_expiration <= now_us.load(std::memory_order_relaxed); }
    // Microseconds left, 0 when expired.
    uint64_t remaining() const {
        uint64_t now = now_us.load(std::memory_order_relaxed);
        return m_expiration > now ? m_expiration - now : 0;
    }
    bool operator==(const Timeout&) const = default;

    static constexpr uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? NEVER : a + b; }

private:
    uint64_t m_expiration = NEVER;
};

enum class states : uint16_t {
    READY = 0,
    RUNNING = 1,
    WAITING = 2,
    DONE = 4,
    STANDBY = 8,
};

// One byte; spins with the pause instruction. Usable from any OS thread.
class SpinLock {
public:
    void lock() {
        while (m_locked.exchange(1, std::memory_order_acquire))
            while (m_locked.load(std::memory_order_relaxed)) __builtin_ia32_pause();
    }
    bool try_lock() {
        return !m_locked.load(std::memory_order_relaxed) && !m_locked.exchange(1, std::memory_order_acquire);
    }
    void unlock() { m_locked.store(0, std::memory_order_release); }

private:
    std::atomic<uint8_t> m_locked{0};
};

// Threads waiting in arrival order. Waits block only the calling coroutine;
// wakers may run on any vCPU or on a plain OS thread (the wake-up then goes
// through the waiter's vCPU standby queue).
class WaitQueue {
public:
    WaitQueue() = default;
    WaitQueue(const WaitQueue&) = delete;
    WaitQueue& operator=(const WaitQueue&) = delete;

    // 0 when woken by wake_one/wake_all (errno then holds the waker's number,
    // normally ECANCELED), -1/ETIMEDOUT when the deadline passed, -1 with the
    // interrupter's errno otherwise. Only on a vCPU.
    int wait(Timeout timeout = {});
    // Wakes the longest waiter with error_number; returns it, or null.
    Thread* wake_one(int error_number = ECANCELED);
    // Wakes all waiters; returns how many.
    int wake_all(int error_number = ECANCELED);
    bool empty() const { return m_head.load(std::memory_order_relaxed) == nullptr; }

private:
    friend struct WaitQueueOps;
    std::atomic<Thread*> m_head{nullptr};
    SpinLock m_lock;
};

using thread_entry = void* (*)(void*);

constexpr uint64_t DEFAULT_STACK_SIZE = 8 * 1024 * 1024;

// Creates a thread that runs start(arg); it runs only after every thread
// already queued, once the creator yields or sleeps. reserved_space bytes are
// kept free just below the thread record: the creator may copy arguments there
// before its next switch, and the thread finds them at (char*)CURRENT -
// reserved_space. Null with errno on failure.
Thread* thread_create(thread_entry start, void* arg, uint64_t stack_size = DEFAULT_STACK_SIZE,
                      uint16_t reserved_space = 0);

// Runs the next ready thread; the caller stays ready at its place.
void thread_yield();
// Switches straight to th (same vCPU, READY or STANDBY); null means thread_yield.
void thread_yield_to(Thread* th);

// Sleeps until the deadline: 0 when it passed, -1 with errno when interrupted.
// A zero or past deadline only yields. With the shutdown flag set, a sleep
// lasts at most 10 ms and ends with -1/EPERM.
int thread_usleep(Timeout timeout);
// As thread_usleep; defer(defer_arg) runs right after the caller is off its
// stack (on the next thread's stack, or in a new thread).
int thread_usleep_defer(Timeout timeout, void (*defer)(void*), void* defer_arg);

// Wakes th if it is WAITING: its wait returns -1 with errno = error_number.
// From any OS thread, vCPU or not. Does nothing to a READY, RUNNING or DONE th.
void thread_interrupt(Thread* th, int error_number = ECANCELED);
// Sets or clears th's shutdown flag; a waiting th is interrupted with EPERM.
int thread_shutdown(Thread* th, bool flag = true);

// Must be called before th finishes; a joinable thread keeps its stack until
// it is joined.
void thread_set_joinable(Thread* th, bool flag = true);
// Waits until th is DONE and releases its stack. Only for joinable threads;
// the joiner may run on any vCPU.
void thread_join(Thread* th);
states thread_state(Thread* th);
VCPU* thread_vcpu(Thread* th);

// Moves a READY thread of this vCPU, or the caller itself, to vcpu. When the
// caller moves itself the call returns on the target vCPU's OS thread; values
// the compiler holds for it (thread-local addresses, pthread_self(), which is
// declared const) may still be those of the old one.
int thread_migrate(Thread* th, VCPU* vcpu);
// Returns the stack pages below th's stack pointer to the kernel.
int stack_pages_gc(Thread* th);

// The vCPU of the calling OS thread, or null.
VCPU* get_vcpu();
uint64_t vcpu_switch_count(VCPU* vcpu);

// Stack allocation hooks, process-wide. allocate returns null (errno set,
// logged) on failure.
using stack_alloc_fn = void* (*)(void* context, size_t size);
using stack_release_fn = void (*)(void* context, void* ptr, size_t size);
void set_thread_stack_allocator(stack_alloc_fn allocate, void* allocate_context, stack_release_fn release,
                                void* release_context);
void* default_zentho_thread_stack_alloc(void* context, size_t size);
void default_zentho_thread_stack_release(void* context, void* ptr, size_t size);

// Turns the calling OS thread into a vCPU with the null event engine. Returns
// the new number of vCPUs, or -1 (already a vCPU, or no memory).
int vcpu_init();
// Waits until every thread of this vCPU has finished, then tears it down.
// Must be called from the OS thread's own (main) thread. Returns the remaining
// number of vCPUs, or -1/ENOSYS.
int vcpu_fini();
int get_vcpu_count();

// Starts (or stops) a detached OS thread that refreshes now_us every 500 us,
// which then replaces the scheduler's own refreshes.
int timestamp_updater_init();
int timestamp_updater_fini();

// ---- runtime initialisation ------------------------------------------------

enum : uint64_t {
    INIT_EVENT_NONE = 0,
    INIT_EVENT_EPOLL = 1,
    INIT_EVENT_EPOLL_NG = 32,
    INIT_EVENT_SIGNAL = 0x400,
};
enum : uint64_t {
    INIT_IO_NONE = 0,
    INIT_IO_LIBAIO = 1,
    INIT_IO_SOCKET_EDGE_TRIGGER = 4,
    INIT_IO_EXPORTFS = 0x400,
};

struct ZenthoOptions {
    int32_t aio_queue_depth = 32;
    // a per-OS-thread pool of stacks instead of the default allocator
    bool pooled_stacks = false;
    // set by work-pool workers only
    bool bypass_pool = false;
};

// Makes the calling OS thread a vCPU runtime thread: vcpu_init, the master
// event engine chosen by event_flags (bit 1: epoll), then the I/O services of
// io_flags. 0, or -1 with errno (the thread is left as it was). Fails without a
// message on a thread that is already initialised.
int init(uint64_t event_flags = INIT_EVENT_EPOLL, uint64_t io_flags = INIT_IO_NONE,
         const ZenthoOptions& options = {});
// Undoes init on the same OS thread, after every thread of the vCPU finished.
int fini();

// The process-wide flag that ZenthoOptions::bypass_pool sets.
bool bypass_pool_enabled();

}  // namespace zentho
