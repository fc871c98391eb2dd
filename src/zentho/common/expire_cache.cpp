#include "zentho/common/expire_cache.h"

#include <algorithm>

#include "zentho/common/logger.h"

namespace zentho {

static uint64_t expiry_pass(void* arg) {
    static_cast<ExpireContainerBase*>(arg)->expire();
    return 0;
}

ExpireContainerBase::ExpireContainerBase(uint64_t expiration_us, uint64_t period_us) : m_expiration(expiration_us) {
    if (get_vcpu()) m_timer = new Timer(std::max<uint64_t>(period_us, 1000), &expiry_pass, this, true, 8ull << 20);
}

ExpireContainerBase::~ExpireContainerBase() {
    delete m_timer;
    m_timer = nullptr;
    clear();
}

void ExpireContainerBase::age_push(Item* item) {
    uint64_t now = now_us.load(std::memory_order_relaxed);
    item->m_expire = Timeout::saturating_add(now, m_expiration);
    item->m_aging = true;
    m_age.insert_before(item);
}

void ExpireContainerBase::age_remove(Item* item) {
    if (!item->m_aging) return;
    item->remove_from_list();
    item->m_aging = false;
}

void ExpireContainerBase::expire() {
    std::vector<Item*> dead;
    uint64_t now = now_us.load(std::memory_order_relaxed);
    m_lock.lock();
    while (m_age.next != &m_age && m_age.next->m_expire < now) {
        Item* item = m_age.next;
        age_remove(item);
        m_set.erase(item);
        dead.push_back(item);
    }
    m_lock.unlock();
    for (auto* item : dead) delete item;
}

void ExpireContainerBase::clear() {
    m_lock.lock();
    std::vector<Item*> all(m_set.begin(), m_set.end());
    m_set.clear();
    for (auto* item : all) age_remove(item);
    m_lock.unlock();
    for (auto* item : all) delete item;
}

size_t ExpireContainerBase::size() {
    m_lock.lock();
    size_t n = m_set.size();
    m_lock.unlock();
    return n;
}

ObjectCacheBase::Item* ObjectCacheBase::borrow(const Item& key_item, const Creator& creator, uint64_t cooldown_us) {
    expire();
    Item* item;
    m_lock.lock();
    for (;;) {
        auto it = m_set.find(const_cast<Item*>(&key_item));
        if (it == m_set.end()) {
            item = static_cast<Item*>(key_item.clone());
            m_set.insert(item);
        } else {
            item = static_cast<Item*>(*it);
        }
        age_remove(item);
        if (!item->m_recycling) break;
        m_cond.wait(m_lock);  // the recycler destroys it; look again afterwards
    }
    item->m_refcnt++;
    m_lock.unlock();

    item->m_mtx.lock();
    uint64_t now = now_us.load(std::memory_order_relaxed);
    if (!item->m_obj && now - item->m_last_create >= cooldown_us) {
        if (creator) creator(item);
        if (!item->m_obj) item->m_last_create = now_us.load(std::memory_order_relaxed);
    }
    bool has = item->m_obj != nullptr;
    item->m_mtx.unlock();
    if (has) return item;
    release(item, false);
    return nullptr;
}

int ObjectCacheBase::release(Item* item, bool recycle) {
    m_lock.lock();
    if (recycle && item->m_recycling) recycle = false;
    if (!recycle) {
        if (--item->m_refcnt == 0) {
            if (item->m_recycling)
                m_recycle_cond.notify_all();
            else
                age_push(item);
        }
        m_lock.unlock();
        return 0;
    }
    item->m_refcnt--;
    item->m_recycling = true;
    while (item->m_refcnt > 0) m_recycle_cond.wait(m_lock);
    m_set.erase(item);
    m_lock.unlock();
    delete item;
    m_cond.notify_all();
    return 0;
}

int ObjectCacheBase::release(const Item& key_item, bool recycle) {
    m_lock.lock();
    auto it = m_set.find(const_cast<Item*>(&key_item));
    Item* item = it == m_set.end() ? nullptr : static_cast<Item*>(*it);
    m_lock.unlock();
    if (!item) LOG_ERROR_RETURN(ENOENT, -1, "release of a key that is not cached");
    return release(item, recycle);
}

}  // namespace zentho
