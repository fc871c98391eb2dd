#include "zentho/thread/sync.h"

#include "zentho/common/logger.h"
#include "zentho/thread/internal/thread_impl.h"

namespace zentho {

struct SyncOps {
    static WaitQueue* queue(ConditionVariable* c) { return &c->m_queue; }
    static int relock_mutex(void* m) { return static_cast<Mutex*>(m)->lock(); }
    // deferred: runs after the waiter is off its stack, when CURRENT is
    // already the next thread, so it cannot check the owner
    static void release_mutex(void* m) { static_cast<Mutex*>(m)->release(); }
};

namespace {

void unlock_spinlock(void* l) { static_cast<SpinLock*>(l)->unlock(); }
int relock_spinlock(void* l) {
    static_cast<SpinLock*>(l)->lock();
    return 0;
}

}  // namespace

// ---- Mutex ------------------------------------------------------------------

int Mutex::lock(Timeout timeout) {
    Thread* cur = CURRENT;
    if (!cur) LOG_ERROR_RETURN(ENOSYS, -1, "Zentho not initialized in this thread");
    Thread* none = nullptr;
    if (m_owner.compare_exchange_strong(none, cur, std::memory_order_acquire)) return 0;
    // a plain load first keeps the line shared while another vCPU holds it
    for (uint16_t i = 0; i < m_retries; ++i) {
        thread_yield();
        none = nullptr;
        if (!m_owner.load(std::memory_order_relaxed) &&
            m_owner.compare_exchange_strong(none, cur, std::memory_order_acquire))
            return 0;
    }
    for (;;) {
        m_splock.lock();
        none = nullptr;
        if (m_owner.compare_exchange_strong(none, cur, std::memory_order_acquire)) {
            m_splock.unlock();
            return 0;
        }
        if (timeout.expired()) {
            m_splock.unlock();
            errno = ETIMEDOUT;
            return -1;
        }
        int r = sleep_on(&m_queue, timeout.expiration(), &unlock_spinlock, &m_splock);
        if (r == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != ECANCELED) return -1;
        // handed over by the unlocker; an ECANCELED interrupt from elsewhere
        // hands nothing, and the wait starts again
        if (m_owner.load(std::memory_order_acquire) == cur) return 0;
    }
}

int Mutex::try_lock() {
    Thread* none = nullptr;
    Thread* cur = CURRENT;
    if (!cur) return -1;
    return m_owner.compare_exchange_strong(none, cur, std::memory_order_acquire) ? 0 : -1;
}

void Mutex::release() {
    WakeupBatch batch;
    m_splock.lock();
    Thread* next = WaitQueueOps::wake_head_if(&m_queue, ECANCELED, [this](Thread* w) {
        m_owner.store(w, std::memory_order_release);
        return true;
    });
    if (!next) m_owner.store(nullptr, std::memory_order_release);
    m_splock.unlock();
}

void Mutex::unlock() {
    Thread* cur = CURRENT;
    Thread* owner = m_owner.load(std::memory_order_acquire);
    if (!owner) {
        if (!cur) return;
        LOG_ERROR("the mutex was not locked");
        errno = EINVAL;
        return;
    }
    if (owner != cur) {
        LOG_ERROR("the mutex was not locked by current thread");
        errno = EINVAL;
        return;
    }
    release();
}

int RecursiveMutex::lock(Timeout timeout) {
    if (owner() != CURRENT && Mutex::lock(timeout) != 0) return -1;
    ++m_recursion;
    return 0;
}

int RecursiveMutex::try_lock() {
    if (owner() != CURRENT && Mutex::try_lock() != 0) return -1;
    ++m_recursion;
    return 0;
}

void RecursiveMutex::unlock() {
    Thread* owner = m_owner.load(std::memory_order_acquire);
    if (!owner) {
        LOG_ERROR("the mutex was not locked");
        errno = EINVAL;
        return;
    }
    if (owner != CURRENT) {
        LOG_ERROR("the mutex was not locked by current thread");
        errno = EINVAL;
        return;
    }
    if (--m_recursion <= 0) {
        m_recursion = 0;
        release();
    }
}

// ---- ConditionVariable ------------------------------------------------------

int cvar_do_wait(ConditionVariable* cond, void* lock_object, Timeout timeout, int (*relock)(void*),
                 void (*unlock)(void*)) {
    if (!lock_object) LOG_ERROR_RETURN(EINVAL, -1, "there must be a lock");
    if (!CURRENT) LOG_ERROR_RETURN(ENOSYS, -1, "Zentho not initialized in this thread");
    int r = sleep_on(SyncOps::queue(cond), timeout.expiration(), unlock, lock_object);
    int e = errno;
    int ret;
    while ((ret = relock(lock_object)) != 0) {
        LOG_ERROR("failed to get mutex lock, ", VALUE(ret), ", try again");
        thread_usleep(1000);
    }
    if (r == 0) {
        errno = ETIMEDOUT;
        return -1;
    }
    errno = e;
    return e == ECANCELED ? 0 : -1;
}

int ConditionVariable::wait(Mutex* lock, Timeout timeout) {
    return cvar_do_wait(this, lock, timeout, &SyncOps::relock_mutex, &SyncOps::release_mutex);
}

int ConditionVariable::wait(SpinLock* lock, Timeout timeout) {
    return cvar_do_wait(this, lock, timeout, &relock_spinlock, &unlock_spinlock);
}

// ---- Semaphore --------------------------------------------------------------

// Under m_splock. Units go to the head waiters in arrival order, reserved for
// them before they run, so that nobody can take them in between.
void Semaphore::grant_waiters() {
    while (WaitQueueOps::wake_head_if(&m_queue, ECANCELED, [this](Thread* w) {
        uint64_t c = m_count.load(std::memory_order_relaxed);
        if (w->word > c) return false;
        m_count.store(c - w->word, std::memory_order_relaxed);
        w->word = 0;
        return true;
    })) {
    }
}

int Semaphore::wait(uint64_t count, Timeout timeout) {
    if (count == 0) return 0;
    Thread* cur = CURRENT;
    if (!cur) LOG_ERROR_RETURN(ENOSYS, -1, "Zentho not initialized in this thread");
    m_splock.lock();
    for (;;) {
        uint64_t c = m_count.load(std::memory_order_relaxed);
        if (m_queue.empty() && c >= count) {
            m_count.store(c - count, std::memory_order_relaxed);
            break;
        }
        cur->word = count;
        int r = sleep_on(&m_queue, timeout.expiration(), &unlock_spinlock, &m_splock);
        // a cleared request means the units were granted
        if (r < 0 && cur->word == 0) return 0;
        WakeupBatch batch;
        m_splock.lock();
        cur->word = 0;
        // leaving the queue may let the waiters behind go
        grant_waiters();
        if (r == 0) {
            m_splock.unlock();
            errno = ETIMEDOUT;
            return -1;
        }
    }
    m_splock.unlock();
    return 0;
}

int Semaphore::signal(uint64_t count) {
    WakeupBatch batch;
    m_splock.lock();
    m_count.fetch_add(count, std::memory_order_relaxed);
    grant_waiters();
    m_splock.unlock();
    return 0;
}

bool Semaphore::try_subtract(uint64_t count) {
    m_splock.lock();
    uint64_t c = m_count.load(std::memory_order_relaxed);
    bool ok = m_queue.empty() && c >= count;
    if (ok) m_count.store(c - count, std::memory_order_relaxed);
    m_splock.unlock();
    return ok;
}

// ---- RWLock -----------------------------------------------------------------

int RWLock::lock(int mode, Timeout timeout) {
    if (mode != RLOCK && mode != WLOCK) LOG_ERROR_RETURN(EINVAL, -1, "mode unknow");
    Thread* cur = CURRENT;
    if (!cur) LOG_ERROR_RETURN(ENOSYS, -1, "Zentho not initialized in this thread");
    while (m_mutex.lock() != 0) {
    }
    uint64_t saved = cur->word;
    cur->word = uint64_t(mode);
    auto conflict = [&] { return mode == RLOCK ? m_state < 0 : m_state != 0; };
    if (m_cond.has_waiters() || conflict()) {
        do {
            if (m_cond.wait(m_mutex, timeout) != 0) {
                int e = errno;
                cur->word = saved;
                m_mutex.unlock();
                errno = e;
                return -1;
            }
        } while (conflict());
    }
    if (mode == RLOCK)
        ++m_state;
    else
        m_state = -1;
    cur->word = saved;
    m_mutex.unlock();
    return 0;
}

int RWLock::unlock() {
    while (m_mutex.lock() != 0) {
    }
    if (m_state == 0) {
        m_mutex.unlock();
        LOG_ERROR_RETURN(EINVAL, -1, "the rwlock was not locked");
    }
    if (m_state > 0)
        --m_state;
    else
        ++m_state;
    if (m_state == 0 && m_cond.has_waiters()) {
        WaitQueue* q = SyncOps::queue(&m_cond);
        auto wants = [](uint64_t mode) { return [mode](Thread* w) { return w->word == mode; }; };
        if (!WaitQueueOps::wake_head_if(q, ECANCELED, wants(WLOCK)))
            while (WaitQueueOps::wake_head_if(q, ECANCELED, wants(RLOCK))) {
            }
    }
    m_mutex.unlock();
    return 0;
}

// ---- Timer ------------------------------------------------------------------

Timer::Timer(uint64_t default_timeout_us, Callback callback, void* arg, bool repeating, uint64_t stack_size)
    : m_arg(arg), m_callback(callback), m_default_timeout(default_timeout_us), m_repeating(repeating) {
    m_thread = thread_create(&Timer::stub, this, stack_size);
    if (!m_thread) {
        LOG_ERROR("failed to create timer thread ", ERRNO());
        return;
    }
    m_joinable = m_thread;
    thread_set_joinable(m_thread);
    thread_yield_to(m_thread);
}

Timer::~Timer() {
    if (m_joinable && CURRENT == m_joinable) {
        // destroyed by its own callback: the thread ends without touching the
        // timer and frees its own stack
        m_repeating = false;
        if (m_gone) *m_gone = true;
        thread_set_joinable(m_joinable, false);
        return;
    }
    stop();
}

void* Timer::stub(void* p) {
    auto* tm = static_cast<Timer*>(p);
    bool gone = false;
    tm->m_gone = &gone;
    uint64_t t = tm->m_default_timeout;
    for (;;) {
        tm->m_waiting = true;
        tm->m_waitq.wake_all(ECANCELED);
        Timeout d = t ? Timeout(t) : Timeout::from_expiration(0);
        int r = thread_usleep(d);
        int e = errno;
        tm->m_waiting = false;
        if (r < 0 && e == ECANCELED) break;
        if (r < 0 && e == EAGAIN) {
            t = tm->m_reset_timeout;
            continue;
        }
        uint64_t next = tm->m_callback ? tm->m_callback(tm->m_arg) : 0;
        // the callback destroyed the timer: touch nothing of it
        if (gone) return nullptr;
        t = next ? next : tm->m_default_timeout;
        if (!tm->m_repeating) break;
    }
    tm->m_thread = nullptr;
    tm->m_gone = nullptr;
    tm->m_waitq.wake_all(ECANCELED);
    return nullptr;
}

int Timer::reset(uint64_t new_timeout_us) {
    if (!m_thread) return -1;
    m_reset_timeout = new_timeout_us ? new_timeout_us : m_default_timeout;
    if (m_waiting) thread_interrupt(m_thread, EAGAIN);
    return 0;
}

void Timer::stop() {
    Thread* th = m_joinable;
    if (!th) return;
    if (CURRENT == th) {
        // inside the callback: the loop ends when it returns
        m_repeating = false;
        return;
    }
    if (m_thread) {
        while (m_thread && !m_waiting) m_waitq.wait();
        if (m_thread) {
            m_reset_timeout = Timeout::NEVER;
            thread_interrupt(th, EAGAIN);
            thread_yield_to(th);
            m_repeating = false;
            if (m_waiting) thread_interrupt(th, ECANCELED);
        }
    }
    thread_join(th);
    m_joinable = nullptr;
}

}  // namespace zentho
