#include "zentho/thread/thread-pool.h"

#include <new>

#include "zentho/common/logger.h"

namespace zentho {

namespace {

constexpr uint16_t RESERVED = sizeof(TPControl);

inline TPControl* control_of(Thread* th) {
    return reinterpret_cast<TPControl*>(reinterpret_cast<char*>(th) - RESERVED);
}

}  // namespace

ThreadPool::ThreadPool(uint32_t capacity, uint64_t stack_size)
    : IdentityPoolBase(capacity, &create_item, this, &destroy_item, this), m_stack_size(stack_size) {
    if (capacity > 0) enable_autoscale();
}

ThreadPool::~ThreadPool() { drain(); }

void* ThreadPool::create_item(void* pool) {
    auto* self = static_cast<ThreadPool*>(pool);
    Thread* th = zentho::thread_create(&pooled_main, nullptr, self->m_stack_size, RESERVED);
    if (!th) return nullptr;
    thread_set_joinable(th);  // destroy_item joins it
    TPControl* c = new (control_of(th)) TPControl;
    c->th = th;
    c->pool = self;
    return c;
}

void ThreadPool::destroy_item(void*, void* item) {
    auto* c = static_cast<TPControl*>(item);
    Thread* th = c->th;
    c->lock.lock();
    c->dying = true;
    c->lock.unlock();
    c->cvar.notify_all();
    thread_join(th);  // frees the stack and the control record with it
}

void* ThreadPool::pooled_main(void*) {
    TPControl* c = control_of(CURRENT);
    for (;;) {
        c->lock.lock();
        while (!c->start && !c->dying) c->cvar.wait(c->lock);
        if (c->dying) {
            c->lock.unlock();
            c->~TPControl();
            return nullptr;
        }
        thread_entry start = c->start;
        void* arg = c->arg;
        c->lock.unlock();

        start(arg);

        c->lock.lock();
        if (c->joinable) {
            c->finished = true;
            c->cvar.notify_all();
            while (c->joinable) c->cvar.wait(c->lock);
        }
        c->start = nullptr;
        c->arg = nullptr;
        c->lock.unlock();
        // a full pool would have this thread join itself: end it instead
        if (!c->pool->try_put(c)) {
            c->~TPControl();
            thread_set_joinable(CURRENT, false);
            return nullptr;
        }
    }
}

void* ThreadPool::plain_main(void*) {
    TPControl* c = control_of(CURRENT);
    thread_entry start = c->start;
    void* arg = c->arg;
    return start(arg);
}

TPControl* ThreadPool::thread_create(thread_entry start, void* arg, bool joinable) {
    if (m_capacity == 0 || bypass_pool_enabled()) {
        Thread* th = zentho::thread_create(&plain_main, nullptr, m_stack_size, RESERVED);
        if (!th) return nullptr;
        TPControl* c = new (control_of(th)) TPControl;
        c->th = th;
        c->pool = nullptr;
        c->start = start;
        c->arg = arg;
        c->joinable = joinable;
        if (joinable) thread_set_joinable(th);
        return c;
    }
    auto* c = static_cast<TPControl*>(get());
    if (!c) return nullptr;
    c->lock.lock();
    c->start = start;
    c->arg = arg;
    c->joinable = joinable;
    c->finished = false;
    c->lock.unlock();
    c->cvar.notify_one();
    return c;
}

int ThreadPool::join(TPControl* c) {
    if (!c->pool) {
        if (!c->joinable) LOG_ERROR_RETURN(EINVAL, -1, "thread is not joinable");
        thread_join(c->th);
        return 0;
    }
    c->lock.lock();
    if (!c->joinable) {
        c->lock.unlock();
        LOG_ERROR_RETURN(EINVAL, -1, "thread is not joinable");
    }
    if (!c->start) {
        c->lock.unlock();
        LOG_ERROR_RETURN(EINVAL, -1, "thread is not running");
    }
    if (c->joining) {
        c->lock.unlock();
        LOG_ERROR_RETURN(EINVAL, -1, "thread is dying");
    }
    c->joining = true;
    while (!c->finished) c->cvar.wait(c->lock);
    c->finished = false;
    c->joining = false;
    c->joinable = false;
    c->lock.unlock();
    c->cvar.notify_all();
    return 0;
}

}  // namespace zentho
