#include "zentho/thread/identity-pool.h"

#include <algorithm>
#include <vector>

#include "zentho/common/logger.h"

namespace zentho {

namespace {

struct PoolCollector {
    Timer* timer = nullptr;
    Mutex mutex;
    std::vector<IdentityPoolBase*> pools;
};

thread_local PoolCollector* t_collector = nullptr;

uint64_t collect(void* arg) {
    auto* c = static_cast<PoolCollector*>(arg);
    while (c->mutex.lock() != 0) {
    }
    for (IdentityPoolBase* p : c->pools) p->trim();
    c->mutex.unlock();
    return 0;
}

}  // namespace

void IdentityPoolBase::enable_autoscale() {
    if (m_collector || !CURRENT) return;
    if (!t_collector) {
        t_collector = new PoolCollector;
        t_collector->timer = new Timer(1000000, &collect, t_collector, true, 64 * 1024);
    }
    PoolCollector* c = t_collector;
    while (c->mutex.lock() != 0) {
    }
    c->pools.push_back(this);
    c->mutex.unlock();
    m_collector = c;
}

void IdentityPoolBase::disable_autoscale() {
    auto* c = static_cast<PoolCollector*>(m_collector);
    if (!c) return;
    m_collector = nullptr;
    while (c->mutex.lock() != 0) {
    }
    c->pools.erase(std::remove(c->pools.begin(), c->pools.end(), this), c->pools.end());
    bool last = c->pools.empty();
    c->mutex.unlock();
    if (!last) return;
    delete c->timer;
    if (t_collector == c) t_collector = nullptr;
    delete c;
}

IdentityPoolBase::IdentityPoolBase(uint32_t capacity, Create create, void* create_ctx, Destroy destroy,
                                   void* destroy_ctx)
    : m_capacity(capacity),
      m_create(create),
      m_create_ctx(create_ctx),
      m_destroy(destroy),
      m_destroy_ctx(destroy_ctx),
      m_items(new void*[capacity ? capacity : 1]) {}

IdentityPoolBase::~IdentityPoolBase() {
    disable_autoscale();
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

bool IdentityPoolBase::try_put(void* item) {
    m_lock.lock();
    bool kept = m_size < m_capacity;
    if (kept) m_items[m_size++] = item;
    --m_refcnt;
    m_lock.unlock();
    m_cvar.notify_all();
    return kept;
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
    disable_autoscale();
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
