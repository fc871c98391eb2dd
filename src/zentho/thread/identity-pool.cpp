#include "zentho/thread/identity-pool.h"

#include "zentho/common/logger.h"

namespace zentho {

IdentityPoolBase::IdentityPoolBase(uint32_t capacity, Create create, void* create_ctx, Destroy destroy,
                                   void* destroy_ctx)
    : m_capacity(capacity),
      m_create(create),
      m_create_ctx(create_ctx),
      m_destroy(destroy),
      m_destroy_ctx(destroy_ctx),
      m_items(new void*[capacity ? capacity : 1]) {}

IdentityPoolBase::~IdentityPoolBase() {
    drain();
    delete[] m_items;
}

void* IdentityPoolBase::get() {
    void* item = nullptr;
    m_lock.lock();
    if (m_size > 0) {
        item = m_items[--m_size];
        if (m_size < m_low_water) m_low_water = m_size;
    }
    m_lock.unlock();
    if (!item) item = m_create(m_create_ctx);
    if (item) {
        m_lock.lock();
        ++m_refcnt;
        m_lock.unlock();
    }
    return item;
}

void IdentityPoolBase::put(void* item) {
    if (!item) return;
    m_lock.lock();
    bool kept = m_size < m_capacity;
    if (kept) m_items[m_size++] = item;
    --m_refcnt;
    m_lock.unlock();
    if (!kept) m_destroy(m_destroy_ctx, item);
    m_cvar.notify_all();
}

uint32_t IdentityPoolBase::trim() {
    uint32_t n = 0;
    for (;;) {
        void* item = nullptr;
        m_lock.lock();
        uint32_t quota = (m_low_water + 1) / 2;
        if (n < quota && m_size > 0) item = m_items[--m_size];
        if (!item) m_low_water = m_size;
        m_lock.unlock();
        if (!item) break;
        m_destroy(m_destroy_ctx, item);
        ++n;
    }
    return n;
}

void IdentityPoolBase::drain() {
    if (m_drained) return;
    m_drained = true;
    bool waited = false;
    m_lock.lock();
    while (m_refcnt > 0) {
        m_cvar.wait(m_lock, Timeout(10 * 1000 * 1000));
        if (m_refcnt > 0) {
            waited = true;
            LOG_WARN("IdentityPool is still in use! Waiting for destruction.");
        }
    }
    while (m_size > 0) {
        void* item = m_items[--m_size];
        m_lock.unlock();
        m_destroy(m_destroy_ctx, item);
        m_lock.lock();
    }
    m_lock.unlock();
    if (waited) LOG_WARN("IdentityPool destructed");
}

}  // namespace zentho
