#include "zentho/thread/thread.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>
#include <x86intrin.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "zentho/common/logger.h"
#include "zentho/thread/internal/thread_impl.h"

#if KIV_ASAN
#include <sanitizer/common_interface_defs.h>
#endif

extern "C" {
void zentho_switch(void** save_sp, void* to_sp);
void zentho_switch_defer(void** save_sp, void* to_sp, void (*fn)(void*), void* arg);
void zentho_jump_defer(void* to_sp, void (*fn)(void*), void* arg);
void zentho_thread_trampoline();
__attribute__((visibility("hidden"), noreturn, used)) void zentho_thread_entry();
}

namespace zentho {

constinit thread_local Thread* CURRENT __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

uint64_t read_wall_clock() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return uint64_t(tv.tv_sec) * 1000000 + uint64_t(tv.tv_usec);
}

std::atomic<uint32_t> g_tsc_block{0};
std::atomic<uint64_t> g_updater_id{0};
std::atomic<int> g_vcpu_count{0};

stack_alloc_fn g_stack_alloc = &default_zentho_thread_stack_alloc;
void* g_stack_alloc_ctx = nullptr;
stack_release_fn g_stack_release = &default_zentho_thread_stack_release;
void* g_stack_release_ctx = nullptr;

// Out of line: its timeval would keep the switch paths from ending in a jump.
__attribute__((noinline)) void store_tsc_block_and_clock(uint32_t block) {
    g_tsc_block.store(block, std::memory_order_relaxed);
    now_us.store(read_wall_clock(), std::memory_order_relaxed);
}

// Rule A: the system clock is read only when the time-stamp counter entered a
// new block of 2^20 cycles.
inline void refresh_clock_on_tsc() {
    if (g_updater_id.load(std::memory_order_relaxed)) return;
    uint32_t block = uint32_t(__rdtsc() >> 20);
    if (block != g_tsc_block.load(std::memory_order_relaxed)) store_tsc_block_and_clock(block);
}

// Rule A at a switch to next: the counter is looked at on every 16th switch
// of the vCPU and whenever the idle thread is next, whose poll and timer
// decisions need the clock; a read costs about as much as the switch itself.
inline void refresh_clock_at_switch(VCPU* v, Thread* next) {
    if ((v->switch_count & 15) == 0 || next == v->idle_worker) refresh_clock_on_tsc();
}

// Rule B: unconditionally, unless the clock-updater thread runs.
inline void refresh_clock() {
    if (!g_updater_id.load(std::memory_order_relaxed)) now_us.store(read_wall_clock(), std::memory_order_relaxed);
}

// ---- context switch -----------------------------------------------------------

// The switch routines are ordinary calls that keep the callee-saved registers,
// so a switch in tail position compiles to a jump and its caller's frame is
// gone before the other thread runs.
inline void raw_switch(void** save_sp, void* to_sp) { zentho_switch(save_sp, to_sp); }

[[maybe_unused]] inline void raw_switch_defer(void** save_sp, void* to_sp, void (*fn)(void*), void* arg) {
    zentho_switch_defer(save_sp, to_sp, fn, arg);
}

[[noreturn]] inline void raw_jump_defer(void* to_sp, void (*fn)(void*), void* arg) {
    asm volatile("jmp zentho_jump_defer" : : "D"(to_sp), "S"(fn), "d"(arg) : "memory");
    __builtin_unreachable();
}

#if KIV_ASAN
void run_pending_defer(VCPU* v) {
    if (auto fn = v->pending_defer) {
        v->pending_defer = nullptr;
        fn(v->pending_defer_arg);
    }
}
#endif

// Switches from the running thread `from` to `to`; both already have their
// new states and CURRENT is `to`. After the switch only locals are used: the
// thread may resume on another OS thread.
inline void switch_to(Thread* from, Thread* to) {
    ++to->vcpu->switch_count;
#if KIV_ASAN
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, to->asan_stack_bottom, to->asan_stack_size);
    raw_switch(&from->stack_ptr, to->stack_ptr);
    __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
    run_pending_defer(from->vcpu);
#else
    raw_switch(&from->stack_ptr, to->stack_ptr);
#endif
}

inline void switch_to_defer(Thread* from, Thread* to, void (*fn)(void*), void* arg) {
    ++to->vcpu->switch_count;
#if KIV_ASAN
    to->vcpu->pending_defer = fn;
    to->vcpu->pending_defer_arg = arg;
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, to->asan_stack_bottom, to->asan_stack_size);
    raw_switch(&from->stack_ptr, to->stack_ptr);
    __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
    run_pending_defer(from->vcpu);
#else
    raw_switch_defer(&from->stack_ptr, to->stack_ptr, fn, arg);
#endif
}

[[maybe_unused]] void defer_nothing(void*) {}

[[noreturn]] void jump_to_defer(Thread* to, void (*fn)(void*), void* arg) {
#if KIV_ASAN
    to->vcpu->pending_defer = fn;
    to->vcpu->pending_defer_arg = arg;
    __sanitizer_start_switch_fiber(nullptr, to->asan_stack_bottom, to->asan_stack_size);
    raw_jump_defer(to->stack_ptr, &defer_nothing, nullptr);
#else
    raw_jump_defer(to->stack_ptr, fn, arg);
#endif
}

// ---- sleep heap -------------------------------------------------------------

void heap_up(std::vector<Thread*>& h, size_t i) {
    Thread* t = h[i];
    while (i > 0) {
        size_t p = (i - 1) / 2;
        if (!(t->ts_wakeup < h[p]->ts_wakeup)) break;
        h[i] = h[p];
        h[i]->idx = int32_t(i);
        i = p;
    }
    h[i] = t;
    t->idx = int32_t(i);
}

void heap_down(std::vector<Thread*>& h, size_t i) {
    Thread* t = h[i];
    size_t n = h.size();
    for (;;) {
        size_t c = 2 * i + 1;
        if (c >= n) break;
        if (c + 1 < n && h[c + 1]->ts_wakeup < h[c]->ts_wakeup) ++c;
        if (!(h[c]->ts_wakeup < t->ts_wakeup)) break;
        h[i] = h[c];
        h[i]->idx = int32_t(i);
        i = c;
    }
    h[i] = t;
    t->idx = int32_t(i);
}

void heap_push(VCPU* v, Thread* t) {
    v->sleepq.push_back(t);
    heap_up(v->sleepq, v->sleepq.size() - 1);
}

void heap_remove(VCPU* v, Thread* t) {
    auto& h = v->sleepq;
    size_t i = size_t(t->idx);
    Thread* last = h.back();
    h.pop_back();
    t->idx = -1;
    if (last == t) return;
    h[i] = last;
    last->idx = int32_t(i);
    heap_up(h, i);
    heap_down(h, size_t(last->idx));
}

// ---- run queue and hand-over ------------------------------------------------

void issue_wakeup(VCPU* v, MasterEventEngine* engine) {
    engine->wakeup();
    v->wakers.fetch_sub(1, std::memory_order_release);
}

// Wake-ups held back by live WakeupBatch guards of this OS thread.
struct PendingWakeup {
    VCPU* vcpu;
    MasterEventEngine* engine;
};
thread_local int t_batch_depth = 0;
thread_local int t_batch_size = 0;
thread_local PendingWakeup t_batch[8];

void standby_append(VCPU* v, Thread* th) {
    MasterEventEngine* engine = nullptr;
    v->standby_lock.lock();
    Thread* head = v->standbyq.load(std::memory_order_relaxed);
    if (!head) {
        v->standbyq.store(th, std::memory_order_relaxed);
        engine = v->master_event_engine;
        v->wakers.fetch_add(1, std::memory_order_relaxed);
    } else {
        // not taken yet: the wake-up of the appender that found it empty
        // still covers this thread
        head->insert_before(th);
    }
    v->standby_lock.unlock();
    if (!engine) return;
    // The wake-up may make the kernel run the woken vCPU at once, and its
    // first acts take the locks the waker may still hold (this thread's, its
    // queue's, a mutex's): issue it only once the waker has dropped them.
    if (t_batch_depth && t_batch_size < 8)
        t_batch[t_batch_size++] = {v, engine};
    else
        issue_wakeup(v, engine);
}

}  // namespace

WakeupBatch::WakeupBatch() { ++t_batch_depth; }

WakeupBatch::~WakeupBatch() {
    if (--t_batch_depth) return;
    while (t_batch_size) {
        PendingWakeup w = t_batch[--t_batch_size];
        issue_wakeup(w.vcpu, w.engine);
    }
}

namespace {

// Until no other OS thread is inside a wake-up of v's engine.
void wait_for_wakers(VCPU* v) {
    while (v->wakers.load(std::memory_order_acquire)) __builtin_ia32_pause();
}

void collect_ready_threads(VCPU* v) {
    Thread* cur = CURRENT;
    if (v->standbyq.load(std::memory_order_relaxed)) {
        v->standby_lock.lock();
        Thread* list = v->standbyq.load(std::memory_order_relaxed);
        v->standbyq.store(nullptr, std::memory_order_relaxed);
        v->standby_lock.unlock();
        if (list) {
            Thread* t = list;
            do {
                t->set_state(states::READY);
                if (t->idx != -1) heap_remove(v, t);
                t = t->next;
            } while (t != list);
            Thread* list_tail = list->prev;
            Thread* rq_tail = cur->prev;
            rq_tail->next = list;
            list->prev = rq_tail;
            list_tail->next = cur;
            cur->prev = list_tail;
            return;
        }
    }
    refresh_clock_on_tsc();
    uint64_t now = now_us.load(std::memory_order_relaxed);
    auto& h = v->sleepq;
    while (!h.empty() && h[0]->ts_wakeup <= now) {
        Thread* t = h[0];
        t->lock.lock();
        heap_remove(v, t);
        if (t->get_state() == states::WAITING) {
            if (WaitQueue* q = t->waitq) {
                WaitQueueOps::lock(q).lock();
                WaitQueueOps::remove(q, t);
                WaitQueueOps::lock(q).unlock();
                t->waitq = nullptr;
            }
            t->set_state(states::READY);
            cur->insert_before(t);
        }
        t->lock.unlock();
    }
}

void yield_with_defer(Thread* cur, void (*fn)(void*), void* arg) {
    Thread* next = cur->next;
    cur->set_state(states::READY);
    next->set_state(states::RUNNING);
    CURRENT = next;
    refresh_clock_on_tsc();
    switch_to_defer(cur, next, fn, arg);
}

void unlock_thread_lock(void* th) { static_cast<Thread*>(th)->lock.unlock(); }

void release_stack(void* p) {
    Thread* th = static_cast<Thread*>(p);
    g_stack_release(g_stack_release_ctx, th->stack_base, th->stack_size);
}

[[noreturn]] __attribute__((noinline)) void thread_die(Thread* th) {
    th->lock.lock();
    th->set_state(states::DONE);
    th->join_cond.notify_one();
    VCPU* v = th->vcpu;
    v->nthreads.fetch_sub(1, std::memory_order_relaxed);
    Thread* next = th->remove_from_list();
    next->set_state(states::RUNNING);
    CURRENT = next;
    // a joiner frees the stack itself, once the lock shows the thread is off it
    jump_to_defer(next, (th->flags & THREAD_JOINABLE) ? &unlock_thread_lock : &release_stack, th);
}

void* idle_stub(void*) {
    Thread* me = CURRENT;
    VCPU* v = me->vcpu;
    uint64_t last = now_us.load(std::memory_order_relaxed);
    while (v->state != VCPU_STOPPING) {
        if (me->next != me) {
            thread_yield();
            uint64_t now = now_us.load(std::memory_order_relaxed);
            if (now - last >= 1000 || now < last) {
                v->master_event_engine->dispatch_events(0);
                last = now;
                collect_ready_threads(v);
            } else if (v->standbyq.load(std::memory_order_relaxed)) {
                // a hand-over from another OS thread (a mutex given to a
                // waiter, say) must not wait for the next engine poll
                collect_ready_threads(v);
            }
        } else {
            constexpr uint64_t MAX_IDLE_WAIT = 10485760;
            uint64_t timeout = MAX_IDLE_WAIT;
            uint64_t now = now_us.load(std::memory_order_relaxed);
            if (!v->sleepq.empty()) {
                uint64_t due = v->sleepq[0]->ts_wakeup;
                timeout = due > now ? std::min(due - now, MAX_IDLE_WAIT) : 0;
            }
            last = now;
            v->master_event_engine->dispatch_events(timeout);
            collect_ready_threads(v);
        }
    }
    return nullptr;
}

struct DeferCall {
    void (*fn)(void*);
    void* arg;
};

void* defer_stub(void*) {
    auto* call = reinterpret_cast<DeferCall*>(reinterpret_cast<char*>(CURRENT) - sizeof(DeferCall));
    call->fn(call->arg);
    return nullptr;
}

// Arranges for fn(arg) to run once the caller is off its stack, never on the
// idle thread's stack: returns false when the caller should simply sleep (the
// action was given a thread of its own).
bool prepare_defer_target(Thread* cur, void (*fn)(void*), void* arg) {
    VCPU* v = cur->vcpu;
    Thread* idle = v->idle_worker;
    if (cur->next != idle) return true;
    if (idle->next == cur) {
        Thread* th = thread_create(&defer_stub, nullptr, DEFAULT_STACK_SIZE, sizeof(DeferCall));
        if (!th) {
            LOG_ERROR("failed to start a thread for a deferred action; running it in place");
            fn(arg);
            return false;
        }
        DeferCall call{fn, arg};
        memcpy(reinterpret_cast<char*>(th) - sizeof(DeferCall), &call, sizeof(call));
        return false;
    }
    // move the idle thread one place back
    Thread* after = idle->next;
    idle->remove_from_list();
    after->next->insert_before(idle);
    return true;
}

struct MigrateMove {
    Thread* th;
    VCPU* to;
};

void migrate_move(Thread* th, VCPU* to) {
    th->remove_from_list();
    th->vcpu->nthreads.fetch_sub(1, std::memory_order_relaxed);
    th->set_state(states::STANDBY);
    th->vcpu = to;
    to->nthreads.fetch_add(1, std::memory_order_relaxed);
    standby_append(to, th);
}

void migrate_move_deferred(void* p) {
    auto* m = static_cast<MigrateMove*>(p);
    migrate_move(m->th, m->to);
}

void gc_stack_pages(void* p) {
    Thread* th = static_cast<Thread*>(p);
    if (!th->stack_base) return;
    char* end = reinterpret_cast<char*>(uintptr_t(th->stack_ptr) & ~uintptr_t(4095));
    if (end > th->stack_base) madvise(th->stack_base, size_t(end - th->stack_base), MADV_DONTNEED);
}

}  // namespace

// The clock starts valid, before any vCPU exists.
std::atomic<uint64_t> now_us{read_wall_clock()};

uint64_t update_now() {
    g_tsc_block.store(uint32_t(__rdtsc() >> 20), std::memory_order_relaxed);
    uint64_t now = read_wall_clock();
    now_us.store(now, std::memory_order_relaxed);
    return now;
}

// ---- wait queues ------------------------------------------------------------

void WaitQueueOps::append(WaitQueue* q, Thread* th) {
    Thread* head = q->m_head.load(std::memory_order_relaxed);
    if (!head)
        q->m_head.store(th, std::memory_order_relaxed);
    else
        head->insert_before(th);
}

void WaitQueueOps::remove(WaitQueue* q, Thread* th) {
    if (q->m_head.load(std::memory_order_relaxed) == th) q->m_head.store(th->single() ? nullptr : th->next, std::memory_order_relaxed);
    th->remove_from_list();
}

void prelocked_wake(Thread* th, int error_number, bool queue_locked) {
    th->error_number = error_number;
    if (WaitQueue* q = th->waitq) {
        if (!queue_locked) WaitQueueOps::lock(q).lock();
        WaitQueueOps::remove(q, th);
        if (!queue_locked) WaitQueueOps::lock(q).unlock();
        th->waitq = nullptr;
    }
    Thread* cur = CURRENT;
    VCPU* v = th->vcpu;
    if (cur && cur->vcpu == v) {
        th->set_state(states::READY);
        if (th->idx != -1) heap_remove(v, th);
        cur->insert_before(th);
    } else {
        // the sleep heap entry goes when the owning vCPU collects the thread
        th->set_state(states::STANDBY);
        standby_append(v, th);
    }
}

int sleep_on(WaitQueue* q, uint64_t deadline, void (*defer)(void*), void* defer_arg) {
    Thread* cur = CURRENT;
    VCPU* v = cur->vcpu;
    if (q) WaitQueueOps::lock(q).lock();
    cur->lock.lock();
    // the idle thread never sleeps, so there is always a successor
    Thread* next = cur->remove_from_list();
    cur->set_state(states::WAITING);
    next->set_state(states::RUNNING);
    CURRENT = next;
    if (q) {
        WaitQueueOps::append(q, cur);
        cur->waitq = q;
    }
    refresh_clock();
    cur->ts_wakeup = deadline;
    heap_push(v, cur);
    cur->lock.unlock();
    if (q) WaitQueueOps::lock(q).unlock();
    if (defer)
        switch_to_defer(cur, next, defer, defer_arg);
    else
        switch_to(cur, next);
    if (cur->error_number) {
        errno = cur->error_number;
        cur->error_number = 0;
        return -1;
    }
    return 0;
}

int WaitQueue::wait(Timeout timeout) {
    if (!CURRENT) LOG_ERROR_RETURN(ENOSYS, -1, "Zentho not initialized in this thread");
    if (timeout.expired()) {
        thread_yield();
        errno = ETIMEDOUT;
        return -1;
    }
    int r = sleep_on(this, timeout.expiration(), nullptr, nullptr);
    if (r == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    return errno == ECANCELED ? 0 : -1;
}

Thread* WaitQueue::wake_one(int error_number) {
    return WaitQueueOps::wake_head_if(this, error_number, [](Thread*) { return true; });
}

int WaitQueue::wake_all(int error_number) {
    int n = 0;
    while (wake_one(error_number)) ++n;
    return n;
}

// ---- threads ----------------------------------------------------------------

Thread* thread_create(thread_entry start, void* arg, uint64_t stack_size, uint16_t reserved_space) {
    Thread* cur = CURRENT;
    if (!cur) LOG_ERROR_RETURN(ENOSYS, nullptr, "Zentho not initialized in this vCPU (OS thread)");
    // a random shift keeps the records and hot frames of many threads off the same cache sets
    uint64_t shift = uint64_t(rand() % 32) * 1032;
    uint64_t size = (stack_size + shift + sizeof(Thread) + 4095) & ~uint64_t(4095);
    char* base = static_cast<char*>(g_stack_alloc(g_stack_alloc_ctx, size));
    if (!base) return nullptr;
    auto rec = (uintptr_t(base) + size - shift - sizeof(Thread)) & ~uintptr_t(63);
    Thread* th = new (reinterpret_cast<void*>(rec)) Thread();
    th->vcpu = cur->vcpu;
    th->arg = arg;
    th->word = reinterpret_cast<uint64_t>(start);
    th->stack_base = base;
    th->stack_size = size;
    auto top = reinterpret_cast<void**>((rec - reserved_space) & ~uintptr_t(63));
    // the frame a switch resumes: six callee-saved registers (rbp last), then
    // where to continue
    top[-1] = reinterpret_cast<void*>(&zentho_thread_trampoline);
    for (int i = 2; i <= 7; ++i) top[-i] = nullptr;
    th->stack_ptr = top - 7;
#if KIV_ASAN
    th->asan_stack_bottom = base;
    th->asan_stack_size = size_t(reinterpret_cast<char*>(top) - base);
#endif
    cur->vcpu->nthreads.fetch_add(1, std::memory_order_relaxed);
    cur->insert_before(th);
    return th;
}

}  // namespace zentho

extern "C" void zentho_thread_entry() {
    using namespace zentho;
#if KIV_ASAN
    __sanitizer_finish_switch_fiber(nullptr, nullptr, nullptr);
    run_pending_defer(CURRENT->vcpu);
#endif
    Thread* th = CURRENT;
    void* arg = th->arg;
    th->arg = nullptr;
    auto start = reinterpret_cast<thread_entry>(th->word);
    void* result = start(arg);
    th->word = reinterpret_cast<uint64_t>(result);
    thread_die(th);
}

namespace zentho {

void thread_yield() {
    Thread* cur = CURRENT;
    if (!cur) return;
    Thread* next = cur->next;
    if (next == cur) {
        refresh_clock_on_tsc();
        return;
    }
    refresh_clock_at_switch(cur->vcpu, next);
    cur->set_state(states::READY);
    next->set_state(states::RUNNING);
    CURRENT = next;
    switch_to(cur, next);
}

namespace {

// thread_yield_to for everything but a READY thread of the caller's vCPU.
__attribute__((noinline)) void yield_to_slow(Thread* th) {
    if (!th) return thread_yield();
    Thread* cur = CURRENT;
    if (!cur) return;
    if (th == cur) {
        refresh_clock_on_tsc();
        return;
    }
    if (th->vcpu != cur->vcpu) {
        LOG_ERROR("target thread ", th, " must be run by the same vcpu as CURRENT!");
        errno = EINVAL;
        return;
    }
    states st = th->get_state();
    if (st == states::STANDBY) {
        do {
            collect_ready_threads(cur->vcpu);
            st = th->get_state();
            if (st == states::STANDBY) __builtin_ia32_pause();
        } while (st == states::STANDBY);
    }
    if (st != states::READY) {
        LOG_ERROR("target thread ", th, " must be READY!");
        errno = EINVAL;
        return;
    }
    thread_yield_to(th);
}

}  // namespace

void thread_yield_to(Thread* th) {
    Thread* cur = CURRENT;
    if (__builtin_expect(!th || !cur || th == cur || th->vcpu != cur->vcpu || th->get_state() != states::READY, 0))
        return yield_to_slow(th);
    cur->set_state(states::READY);
    th->set_state(states::RUNNING);
    CURRENT = th;
    refresh_clock_at_switch(cur->vcpu, th);
    switch_to(cur, th);
}

int thread_usleep(Timeout timeout) {
    Thread* cur = CURRENT;
    if (!cur) LOG_ERROR_RETURN(ENOSYS, -1, "Zentho not initialized in this thread");
    if (timeout.expired()) {
        thread_yield();
        return 0;
    }
    if (!(cur->flags & THREAD_SHUTDOWN)) return sleep_on(nullptr, timeout.expiration(), nullptr, nullptr);
    uint64_t cap = Timeout::saturating_add(now_us.load(std::memory_order_relaxed), 10000);
    if (sleep_on(nullptr, std::min(timeout.expiration(), cap), nullptr, nullptr) == 0) errno = EPERM;
    return -1;
}

int thread_usleep_defer(Timeout timeout, void (*defer)(void*), void* defer_arg) {
    Thread* cur = CURRENT;
    if (!cur) LOG_ERROR_RETURN(ENOSYS, -1, "Zentho not initialized in this thread");
    if (!defer) return thread_usleep(timeout);
    bool with_switch = prepare_defer_target(cur, defer, defer_arg);
    if (timeout.expired()) {
        // a yield still has to run the action
        if (with_switch)
            yield_with_defer(cur, defer, defer_arg);
        else
            thread_yield();
        return 0;
    }
    if (!with_switch) return thread_usleep(timeout);
    bool shutdown = cur->flags & THREAD_SHUTDOWN;
    uint64_t d = timeout.expiration();
    if (shutdown) d = std::min(d, Timeout::saturating_add(now_us.load(std::memory_order_relaxed), 10000));
    int r = sleep_on(nullptr, d, defer, defer_arg);
    if (r == 0 && shutdown) {
        errno = EPERM;
        return -1;
    }
    return r;
}

void thread_interrupt(Thread* th, int error_number) {
    if (!th) {
        LOG_ERROR("invalid parameter");
        errno = EINVAL;
        return;
    }
    if (th->get_state() != states::WAITING) return;
    WakeupBatch batch;
    th->lock.lock();
    if (th->get_state() == states::WAITING) prelocked_wake(th, error_number, false);
    th->lock.unlock();
}

int thread_shutdown(Thread* th, bool flag) {
    if (!th) LOG_ERROR_RETURN(EINVAL, -1, "invalid thread");
    if (flag)
        th->flags |= THREAD_SHUTDOWN;
    else
        th->flags &= ~THREAD_SHUTDOWN;
    if (th->get_state() == states::WAITING) thread_interrupt(th, EPERM);
    return 0;
}

void thread_set_joinable(Thread* th, bool flag) {
    if (!th) return;
    if (flag)
        th->flags |= THREAD_JOINABLE;
    else
        th->flags &= ~THREAD_JOINABLE;
}

namespace {
int relock_spinlock(void* l) {
    static_cast<SpinLock*>(l)->lock();
    return 0;
}
void unlock_spinlock(void* l) { static_cast<SpinLock*>(l)->unlock(); }
}  // namespace

void thread_join(Thread* th) {
    if (!th || !(th->flags & THREAD_JOINABLE)) {
        LOG_ERROR("join is not enabled for thread ", th);
        errno = ENOSYS;
        return;
    }
    th->lock.lock();
    while (th->get_state() != states::DONE)
        cvar_do_wait(&th->join_cond, &th->lock, Timeout::never(), &relock_spinlock, &unlock_spinlock);
    // the record goes with the stack, its lock too
    g_stack_release(g_stack_release_ctx, th->stack_base, th->stack_size);
}

states thread_state(Thread* th) { return th->get_state(); }
VCPU* thread_vcpu(Thread* th) { return th ? th->vcpu : nullptr; }

int thread_migrate(Thread* th, VCPU* vcpu) {
    if (!th || !vcpu) LOG_ERROR_RETURN(EINVAL, -1, "target thread / vcpu must be specified");
    Thread* cur = CURRENT;
    if (cur && vcpu == cur->vcpu) return 0;
    if (th == cur) {
        MigrateMove move{cur, vcpu};
        yield_with_defer(cur, &migrate_move_deferred, &move);
        return 0;
    }
    if (!cur || th->vcpu != cur->vcpu)
        LOG_ERROR_RETURN(EINVAL, -1, "Try to migrate thread ", th, ", which is not on current vcpu.");
    if (th->get_state() != states::READY)
        LOG_ERROR_RETURN(EINVAL, -1, "Try to migrate thread ", th, ", which is not ready.");
    migrate_move(th, vcpu);
    return 0;
}

int stack_pages_gc(Thread* th) {
    Thread* cur = CURRENT;
    if (!th || !cur || th->vcpu != cur->vcpu)
        LOG_ERROR_RETURN(EINVAL, -1, "target thread ", th, " must be run on CURRENT vCPU");
    if (th == cur) {
        if (cur->next != cur) yield_with_defer(cur, &gc_stack_pages, cur);
        return 0;
    }
    gc_stack_pages(th);
    return 0;
}

VCPU* get_vcpu() {
    Thread* cur = CURRENT;
    return cur ? cur->vcpu : nullptr;
}

uint64_t vcpu_switch_count(VCPU* vcpu) { return vcpu ? vcpu->switch_count : 0; }

MasterEventEngine* get_master_engine() {
    Thread* cur = CURRENT;
    return cur ? cur->vcpu->master_event_engine : nullptr;
}

int wait_for_fd(int fd, uint32_t interests, Timeout timeout) {
    MasterEventEngine* e = get_master_engine();
    if (!e) LOG_ERROR_RETURN(ENOSYS, -1, "Zentho not initialized in this thread");
    return e->wait_for_fd(fd, interests, timeout);
}

MasterEventEngine* exchange_master_engine(VCPU* v, MasterEventEngine* engine) {
    if (!engine) engine = &v->null_engine;
    v->standby_lock.lock();
    MasterEventEngine* old = v->master_event_engine;
    v->master_event_engine = engine;
    v->standby_lock.unlock();
    wait_for_wakers(v);
    return old;
}

// ---- stacks -----------------------------------------------------------------

void set_thread_stack_allocator(stack_alloc_fn allocate, void* allocate_context, stack_release_fn release,
                                void* release_context) {
    g_stack_alloc = allocate ? allocate : &default_zentho_thread_stack_alloc;
    g_stack_alloc_ctx = allocate ? allocate_context : nullptr;
    g_stack_release = release ? release : &default_zentho_thread_stack_release;
    g_stack_release_ctx = release ? release_context : nullptr;
}

void* default_zentho_thread_stack_alloc(void*, size_t size) {
    void* p = nullptr;
    int r = posix_memalign(&p, 4096, size);
    if (r != 0) {
        LOG_ERROR("Failed to allocate zentho stack! ", ERRNO(r));
        errno = r;
        return nullptr;
    }
    madvise(p, size, MADV_NOHUGEPAGE);
    return p;
}

void default_zentho_thread_stack_release(void*, void* ptr, size_t size) {
    madvise(ptr, size, MADV_DONTNEED);
    free(ptr);
}

// ---- vCPUs ------------------------------------------------------------------

int NullEventEngine::wait_for_fd(int, uint32_t, Timeout) {
    errno = ENOSYS;
    return -1;
}

ssize_t NullEventEngine::dispatch_events(uint64_t timeout_us) {
    std::unique_lock<std::mutex> l(m_mutex);
    if (timeout_us && !m_notified)
        m_cond.wait_for(l, std::chrono::microseconds(std::min<uint64_t>(timeout_us, 100000)));
    m_notified = false;
    return 0;
}

int NullEventEngine::wakeup() {
    std::lock_guard<std::mutex> l(m_mutex);
    m_notified = true;
    m_cond.notify_all();
    return 0;
}

int vcpu_init() {
    if (CURRENT) return -1;
    VCPU* v = new (std::nothrow) VCPU();
    Thread* main_thread = v ? new (std::nothrow) Thread() : nullptr;
    if (!main_thread) {
        delete v;
        LOG_ERROR("Failed to allocate vcpu ", ERRNO(ENOMEM));
        errno = ENOMEM;
        return -1;
    }
    main_thread->vcpu = v;
    main_thread->set_state(states::RUNNING);
#if KIV_ASAN
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* addr = nullptr;
        size_t size = 0;
        pthread_attr_getstack(&attr, &addr, &size);
        main_thread->asan_stack_bottom = addr;
        main_thread->asan_stack_size = size;
        pthread_attr_destroy(&attr);
    }
#endif
    v->main_thread = main_thread;
    v->state = VCPU_RUNNING;
    v->master_event_engine = &v->null_engine;
    CURRENT = main_thread;
    v->idle_worker = thread_create(&idle_stub, nullptr, DEFAULT_STACK_SIZE);
    if (!v->idle_worker) {
        CURRENT = nullptr;
        delete main_thread;
        delete v;
        return -1;
    }
    thread_set_joinable(v->idle_worker);
    refresh_clock();
    return g_vcpu_count.fetch_add(1) + 1;
}

void wait_for_other_threads(VCPU* v) {
    Thread* cur = CURRENT;
    for (;;) {
        bool others = !(cur->next == v->idle_worker && v->idle_worker->next == cur);
        if (!others && v->sleepq.empty() && !v->standbyq.load(std::memory_order_relaxed)) return;
        if (v->sleepq.empty())
            thread_yield();
        else
            thread_usleep(1000);
    }
}

int vcpu_fini() {
    Thread* cur = CURRENT;
    if (!cur) LOG_ERROR_RETURN(ENOSYS, -1, "vcpu not initialized");
    VCPU* v = cur->vcpu;
    wait_for_other_threads(v);
    v->state = VCPU_STOPPING;
    thread_join(v->idle_worker);
    wait_for_wakers(v);
    CURRENT = nullptr;
    delete cur;
    delete v;
    return g_vcpu_count.fetch_sub(1) - 1;
}

int get_vcpu_count() { return g_vcpu_count.load(); }

// ---- clock updater ----------------------------------------------------------

namespace {
// Only the forking thread survives a fork: the child has no updater.
void forget_updater_in_child() { g_updater_id.store(0); }
}  // namespace

int timestamp_updater_init() {
    if (g_updater_id.load()) {
        LOG_WARN("Timestamp updater already started");
        return -1;
    }
    static bool registered = [] { return pthread_atfork(nullptr, nullptr, &forget_updater_in_child) == 0; }();
    (void)registered;
    std::atomic<int> started{0};
    std::thread([&started] {
        uint64_t me = uint64_t(pthread_self());
        uint64_t none = 0;
        bool mine = g_updater_id.compare_exchange_strong(none, me);
        started.store(mine ? 1 : -1);
        if (!mine) return;
        while (g_updater_id.load(std::memory_order_relaxed) == me) {
            usleep(500);
            now_us.store(read_wall_clock(), std::memory_order_relaxed);
        }
    }).detach();
    while (!started.load()) std::this_thread::yield();
    return started.load() > 0 ? 0 : -1;
}

int timestamp_updater_fini() {
    if (!g_updater_id.exchange(0)) {
        LOG_WARN("Timestamp updater not launch or already stopped");
        return -1;
    }
    return 0;
}

}  // namespace zentho
