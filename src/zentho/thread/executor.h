#pragma once
// Bridges from any OS thread to vCPUs. An Executor hosts one vCPU on its own
// OS thread and runs each submitted task on a coroutine of its own; a WorkPool
// shares one task queue among several vCPU threads. submit and run_and_wait
// may be called from any thread, vCPU or plain; a coroutine caller waits
// without blocking its vCPU, a plain thread blocks.

#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "zentho/thread/sync.h"
#include "zentho/thread/thread.h"

namespace zentho {

// A null fn tells the receiving loop to stop.
struct Task {
    void* arg;
    void (*fn)(void* arg);
};

// Bounded multi-producer multi-consumer ring. Slot i % N is free for lap i / N
// when its sequence is 2 * lap and full when it is 2 * lap + 1.
template <size_t N>
class TaskRing {
    static_assert((N & (N - 1)) == 0, "power of two");

public:
    TaskRing() {
        for (size_t i = 0; i < N; ++i) m_slots[i].seq.store(0, std::memory_order_relaxed);
    }
    // false when full
    bool try_push(const Task& t) {
        for (;;) {
            uint64_t tail = m_tail.load(std::memory_order_relaxed);
            Slot& s = m_slots[tail % N];
            uint64_t lap = tail / N;
            uint64_t seq = s.seq.load(std::memory_order_acquire);
            if (seq == 2 * lap) {
                if (m_tail.compare_exchange_weak(tail, tail + 1, std::memory_order_relaxed)) {
                    s.task = t;
                    s.seq.store(2 * lap + 1, std::memory_order_release);
                    return true;
                }
            } else if (seq < 2 * lap) {
                return false;  // last lap's task still there
            }
        }
    }
    template <typename Backoff>
    void push(const Task& t, Backoff backoff) {
        while (!try_push(t)) backoff();
    }
    // false when empty
    bool pop(Task* out) {
        for (;;) {
            uint64_t head = m_head.load(std::memory_order_relaxed);
            Slot& s = m_slots[head % N];
            uint64_t lap = head / N;
            uint64_t seq = s.seq.load(std::memory_order_acquire);
            if (seq == 2 * lap + 1) {
                if (m_head.compare_exchange_weak(head, head + 1, std::memory_order_relaxed)) {
                    *out = s.task;
                    s.seq.store(2 * lap + 2, std::memory_order_release);
                    return true;
                }
            } else if (seq < 2 * lap + 1) {
                if (head == m_tail.load(std::memory_order_acquire)) return false;
                // a producer claimed the slot and is still writing it
                __builtin_ia32_pause();
            }
        }
    }

private:
    struct Slot {
        std::atomic<uint64_t> seq;
        Task task;
    };
    alignas(64) std::atomic<uint64_t> m_head{0};
    alignas(64) std::atomic<uint64_t> m_tail{0};
    alignas(64) Slot m_slots[N];
};

namespace exec_detail {

// Lives on the caller's stack for the duration of one synchronous call.
template <typename F, typename R>
struct Completion {
    F* func;
    std::conditional_t<std::is_void_v<R>, char, R> result{};
    int err = 0;
    bool coroutine;
    Semaphore sem;
    std::promise<void> done;

    static void run(void* arg) {
        auto* c = static_cast<Completion*>(arg);
        if constexpr (std::is_void_v<R>)
            (*c->func)();
        else
            c->result = (*c->func)();
        c->err = errno;  // errno belongs to the executor's OS thread
        if (c->coroutine)
            c->sem.signal(1);
        else
            c->done.set_value();
    }
};

template <typename Submit, typename F>
auto run_and_wait(Submit&& submit, F& func) -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    Completion<F, R> c;
    c.func = &func;
    c.coroutine = CURRENT != nullptr;
    std::future<void> fut;
    if (!c.coroutine) fut = c.done.get_future();
    submit(Task{&c, &Completion<F, R>::run});
    if (c.coroutine) {
        while (c.sem.wait(1) != 0) {
        }
    } else {
        fut.wait();
    }
    errno = c.err;
    if constexpr (!std::is_void_v<R>) return c.result;
}

}  // namespace exec_detail

struct ExecutorImpl;

class Executor {
public:
    // Starts the worker OS thread, which runs init(event_flags, io_flags,
    // options), the task loop, then fini.
    explicit Executor(uint64_t event_flags = INIT_EVENT_EPOLL, uint64_t io_flags = INIT_IO_NONE,
                      const ZenthoOptions& options = {});
    // Stops the loop after the tasks already submitted and joins the worker.
    // Not from a coroutine of this executor.
    ~Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    // From any thread; a full ring makes the caller back off and retry.
    void submit(Task task);

    // Runs func() on the executor and returns its result; the errno it left is
    // copied into the caller's errno. func runs on a coroutine of the executor
    // and must not outlive the call (it is borrowed).
    template <typename F>
    auto run_and_wait(F&& func) -> std::invoke_result_t<F&> {
        return exec_detail::run_and_wait([this](Task t) { submit(t); }, func);
    }

    // The executor's vCPU, once its worker has started (else null).
    VCPU* vcpu() const;

private:
    ExecutorImpl* m_impl;
};

// Several vCPU OS threads sharing one task ring. thread_mode: negative runs
// tasks inline on the worker's loop, 0 on a new coroutine each, positive on a
// per-worker pool of that many coroutines. Construct and destroy from any
// thread except the pool's own workers.
class WorkPool {
public:
    WorkPool(unsigned vcpu_num, uint64_t event_flags = INIT_EVENT_EPOLL, uint64_t io_flags = INIT_IO_NONE,
             int thread_mode = 0);
    ~WorkPool();
    WorkPool(const WorkPool&) = delete;
    WorkPool& operator=(const WorkPool&) = delete;

    void submit(Task task);
    template <typename F>
    auto run_and_wait(F&& func) -> std::invoke_result_t<F&> {
        return exec_detail::run_and_wait([this](Task t) { submit(t); }, func);
    }

    int get_vcpu_num();
    // The member with that index; an index at or past the count picks the
    // members in turn.
    VCPU* vcpu_at(size_t index);
    // thread_migrate(th, vcpu_at(index))
    int migrate(Thread* th, size_t index);

private:
    static void worker_main(WorkPool* pool);

    std::mutex m_mutex;  // members are only read or appended under it, never waited on
    std::vector<VCPU*> m_vcpus;
    std::atomic<uint64_t> m_rr{0};
    TaskRing<256> m_ring;
    Semaphore m_sem;
    std::atomic<int> m_waiting{0};
    std::atomic<unsigned> m_ready{0};
    std::vector<std::thread> m_threads;
    uint64_t m_event_flags;
    uint64_t m_io_flags;
    int m_mode;
};

// A coroutine that alternates between waiting and handling. wait returns < 0
// to stop, 0 for nothing yet, > 0 when there is work for handle. Use it on
// one vCPU.
class EventLoop {
public:
    using WaitCallback = int (*)(void* ctx, EventLoop* loop);
    using EventCallback = int (*)(void* ctx, EventLoop* loop);

    virtual ~EventLoop() = default;
    // Runs the loop on the calling coroutine until it stops.
    virtual void run() = 0;
    // Runs the loop on a new 8 MiB coroutine unless it is running already.
    virtual void async_run() = 0;
    // Ends the loop (a waiting loop is interrupted with EINTR) and waits for it.
    virtual void stop() = 0;
    // 0 stopped, 1 handling, 2 waiting, -1 stopping
    virtual int state() = 0;
    virtual Thread* loop_thread() = 0;
};

// The destructor stops the loop.
EventLoop* new_event_loop(EventLoop::WaitCallback wait, void* wait_ctx, EventLoop::EventCallback handle,
                          void* handle_ctx);

}  // namespace zentho
