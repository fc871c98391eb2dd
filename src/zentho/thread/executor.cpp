#include "zentho/thread/executor.h"

#include <new>

#include "zentho/common/logger.h"
#include "zentho/thread/thread-pool.h"

namespace zentho {

namespace {

constexpr uint64_t CONSUMER_WAIT_US = 100000;

void ring_backoff_os() { sched_yield(); }

// Copies the task off the loop's stack, hands control straight back to the
// loop so that it keeps draining the ring, and runs the task on its next turn.
struct TaskStart {
    Task task;
    Thread* loop;
    std::atomic<int>* running;
};

void* task_entry(void* arg) {
    TaskStart s = *static_cast<TaskStart*>(arg);
    thread_yield_to(s.loop);
    s.task.fn(s.task.arg);
    if (s.running) s.running->fetch_sub(1, std::memory_order_relaxed);
    return nullptr;
}

}  // namespace

struct alignas(64) ExecutorImpl {
    std::thread worker;
    Thread* loop = nullptr;
    std::atomic<VCPU*> vcpu{nullptr};
    Semaphore sem;
    std::atomic<int> waiting{0};
    uint64_t spin_yields = 0;
    uint64_t spin_us = 0;
    ThreadPool* pool = nullptr;
    TaskRing<32768> ring;

    bool pop_wait(Task* t) {
        if (ring.pop(t)) return true;
        thread_yield();
        waiting.fetch_add(1);
        uint64_t yields = 0, start = now_us.load(std::memory_order_relaxed);
        while (!ring.pop(t)) {
            if (yields < spin_yields && now_us.load(std::memory_order_relaxed) - start < spin_us) {
                ++yields;
                thread_yield();
            } else {
                sem.wait(1, Timeout(CONSUMER_WAIT_US));
            }
        }
        waiting.fetch_sub(1);
        return true;
    }

    void run_loop() {
        loop = CURRENT;
        vcpu.store(get_vcpu());
        pool = new ThreadPool(32, DEFAULT_STACK_SIZE);
        LOG_INFO("worker start");
        for (;;) {
            Task t;
            pop_wait(&t);
            if (!t.fn) break;
            TaskStart s{t, loop, nullptr};
            TPControl* c = pool->thread_create(&task_entry, &s);
            if (!c) {
                // no coroutine to spare: run it here rather than drop it
                t.fn(t.arg);
                continue;
            }
            thread_yield_to(c->th);
        }
        LOG_INFO("worker finished");
        delete pool;
        pool = nullptr;
    }

    // Without a vCPU the loop still serves callers, one task at a time.
    void run_plain() {
        for (;;) {
            Task t;
            while (!ring.pop(&t)) std::this_thread::sleep_for(std::chrono::microseconds(100));
            if (!t.fn) break;
            t.fn(t.arg);
        }
    }
};

Executor::Executor(uint64_t event_flags, uint64_t io_flags, const ZenthoOptions& options)
    : m_impl(new ExecutorImpl) {
    ExecutorImpl* impl = m_impl;
    impl->worker = std::thread([impl, event_flags, io_flags, options] {
        if (init(event_flags, io_flags, options) != 0) {
            LOG_ERROR("executor worker could not initialise the runtime; tasks run without a vCPU ", ERRNO());
            impl->run_plain();
            return;
        }
        impl->run_loop();
        fini();
    });
}

Executor::~Executor() {
    submit(Task{nullptr, nullptr});
    if (m_impl->worker.joinable()) m_impl->worker.join();
    delete m_impl;
}

void Executor::submit(Task task) {
    m_impl->ring.push(task, &ring_backoff_os);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (m_impl->waiting.load() > 0) m_impl->sem.signal(1);
}

VCPU* Executor::vcpu() const { return m_impl->vcpu.load(); }

// ---- work pool ----------------------------------------------------------------

WorkPool::WorkPool(unsigned vcpu_num, uint64_t event_flags, uint64_t io_flags, int thread_mode)
    : m_event_flags(event_flags), m_io_flags(io_flags), m_mode(thread_mode) {
    for (unsigned i = 0; i < vcpu_num; ++i) m_threads.emplace_back(&worker_main, this);
    // readiness: workers count themselves in once their vCPU is listed
    while (m_ready.load() < vcpu_num) {
        if (CURRENT)
            thread_usleep(Timeout(1000));
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

WorkPool::~WorkPool() {
    size_t n = m_threads.size();
    for (size_t i = 0; i < n; ++i) submit(Task{nullptr, nullptr});
    for (auto& t : m_threads) t.join();
}

void WorkPool::submit(Task task) {
    m_ring.push(task, [] {
        if (CURRENT)
            thread_yield();
        else
            sched_yield();
    });
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (m_waiting.load() > 0) m_sem.signal(1);
}

int WorkPool::get_vcpu_num() {
    std::lock_guard<std::mutex> g(m_mutex);
    return int(m_vcpus.size());
}

VCPU* WorkPool::vcpu_at(size_t index) {
    std::lock_guard<std::mutex> g(m_mutex);
    if (m_vcpus.empty()) return nullptr;
    if (index >= m_vcpus.size()) index = m_rr.fetch_add(1) % m_vcpus.size();
    return m_vcpus[index];
}

int WorkPool::migrate(Thread* th, size_t index) { return thread_migrate(th, vcpu_at(index)); }

void WorkPool::worker_main(WorkPool* pool) {
    ZenthoOptions opts;
    opts.aio_queue_depth = 32;
    opts.bypass_pool = true;
    int ok = init(pool->m_event_flags, pool->m_io_flags, opts);
    if (ok != 0) LOG_ERROR("work pool worker could not initialise the runtime; tasks run inline ", ERRNO());
    {
        std::lock_guard<std::mutex> g(pool->m_mutex);
        if (ok == 0) pool->m_vcpus.push_back(get_vcpu());
    }
    int mode = ok == 0 ? pool->m_mode : -1;
    ThreadPool* tpool = mode > 0 ? new ThreadPool(uint32_t(mode), DEFAULT_STACK_SIZE) : nullptr;
    pool->m_ready.fetch_add(1);

    std::atomic<int> running{0};
    Thread* loop = CURRENT;
    for (;;) {
        Task t;
        if (!pool->m_ring.pop(&t)) {
            if (ok != 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
                continue;
            }
            pool->m_waiting.fetch_add(1);
            bool got = false;
            while (!got) {
                if (running.load(std::memory_order_relaxed) == 0) {
                    uint64_t start = now_us.load(std::memory_order_relaxed);
                    for (int i = 0; i < 256 && now_us.load(std::memory_order_relaxed) - start < 1024; ++i) {
                        thread_yield();
                        if ((got = pool->m_ring.pop(&t))) break;
                    }
                }
                if (!got) {
                    pool->m_sem.wait(1, Timeout(CONSUMER_WAIT_US));
                    got = pool->m_ring.pop(&t);
                }
            }
            pool->m_waiting.fetch_sub(1);
        }
        if (!t.fn) break;
        if (mode < 0) {
            t.fn(t.arg);
            continue;
        }
        running.fetch_add(1, std::memory_order_relaxed);
        TaskStart s{t, loop, &running};
        Thread* th = nullptr;
        if (tpool) {
            TPControl* c = tpool->thread_create(&task_entry, &s);
            if (c) th = c->th;
        } else {
            th = thread_create(&task_entry, &s, DEFAULT_STACK_SIZE);
        }
        if (!th) {
            running.fetch_sub(1, std::memory_order_relaxed);
            t.fn(t.arg);
            continue;
        }
        thread_yield_to(th);
    }
    if (ok == 0) {
        while (running.load(std::memory_order_relaxed) > 0) thread_yield();
        delete tpool;
        {
            std::lock_guard<std::mutex> g(pool->m_mutex);
            VCPU* me = get_vcpu();
            for (auto it = pool->m_vcpus.begin(); it != pool->m_vcpus.end(); ++it)
                if (*it == me) {
                    pool->m_vcpus.erase(it);
                    break;
                }
        }
        fini();
    }
}

// ---- event loop ---------------------------------------------------------------

namespace {

class EventLoopImpl : public EventLoop {
public:
    EventLoopImpl(WaitCallback wait, void* wctx, EventCallback handle, void* hctx)
        : m_wait(wait), m_wait_ctx(wctx), m_handle(handle), m_handle_ctx(hctx) {}
    ~EventLoopImpl() override { stop(); }

    void run() override {
        m_thread = CURRENT;
        int expected = 0;
        m_state.compare_exchange_strong(expected, 2);  // async_run may have set it already
        while (m_state.load() != -1) {
            m_state.store(2);
            int r = m_wait(m_wait_ctx, this);
            if (r < 0 || m_state.load() == -1) break;
            if (r == 0) continue;
            m_state.store(1);
            m_handle(m_handle_ctx, this);
        }
        m_state.store(0);
        m_thread = nullptr;
        m_stoppers.wake_all();
    }

    void async_run() override {
        int expected = 0;
        if (!m_state.compare_exchange_strong(expected, 2)) return;
        m_thread = thread_create(&EventLoopImpl::stub, this, DEFAULT_STACK_SIZE);
        if (!m_thread) m_state.store(0);
    }

    void stop() override {
        int s = m_state.load();
        if (s == 0) return;
        m_state.store(-1);
        if (s == 2 && m_thread) thread_interrupt(m_thread, EINTR);
        while (m_state.load() != 0) m_stoppers.wait(Timeout(10000));
    }

    int state() override { return m_state.load(); }
    Thread* loop_thread() override { return m_thread; }

private:
    static void* stub(void* self) {
        static_cast<EventLoopImpl*>(self)->run();
        return nullptr;
    }

    Thread* m_thread = nullptr;
    std::atomic<int> m_state{0};
    WaitQueue m_stoppers;
    WaitCallback m_wait;
    void* m_wait_ctx;
    EventCallback m_handle;
    void* m_handle_ctx;
};

}  // namespace

EventLoop* new_event_loop(EventLoop::WaitCallback wait, void* wait_ctx, EventLoop::EventCallback handle,
                          void* handle_ctx) {
    return new EventLoopImpl(wait, wait_ctx, handle, handle_ctx);
}

}  // namespace zentho
