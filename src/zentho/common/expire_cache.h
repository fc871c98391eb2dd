#pragma once
// Keyed containers whose idle entries expire, and a cache of objects created
// on demand on top of them. Borrowed entries never expire; an entry starts to
// age when its last borrower returns it. Borrow and release from any coroutine
// on any vCPU; construct and destroy on a vCPU (the expiry timer runs there).

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "zentho/common/intrusive_list.h"
#include "zentho/fs/filesystem.h"
#include "zentho/thread/sync.h"

namespace zentho {

class ExpireContainerBase : public Object {
public:
    struct Item : intrusive_list_node<Item> {
        uint64_t m_expire = 0;  // absolute µs, valid while on the age list
        bool m_aging = false;
        virtual ~Item() = default;
        virtual size_t key_hash() const = 0;
        virtual bool key_equal(const Item* other) const = 0;
        // The heap item the container keeps, made from a caller's stack item.
        virtual Item* clone() const = 0;
    };

    template <typename Base, typename K, typename Hash = std::hash<K>>
    struct KeyedItem : Base {
        K m_key;
        explicit KeyedItem(const K& key) : m_key(key) {}
        size_t key_hash() const override { return Hash()(m_key); }
        bool key_equal(const Item* other) const override {
            return m_key == static_cast<const KeyedItem*>(other)->m_key;
        }
    };

    ExpireContainerBase(uint64_t expiration_us, uint64_t period_us);
    ~ExpireContainerBase() override;
    ExpireContainerBase(const ExpireContainerBase&) = delete;
    ExpireContainerBase& operator=(const ExpireContainerBase&) = delete;

    // Destroys idle items whose expiry has passed; the timer runs it too.
    void expire();
    // Removes and destroys every item (none may be borrowed).
    void clear();
    size_t size();

protected:
    struct ItemHash {
        size_t operator()(const Item* i) const { return i->key_hash(); }
    };
    struct ItemEqual {
        bool operator()(const Item* a, const Item* b) const { return a->key_equal(b); }
    };
    struct AgeHead : Item {
        size_t key_hash() const override { return 0; }
        bool key_equal(const Item*) const override { return false; }
        Item* clone() const override { return nullptr; }
    };

    // Under m_lock.
    void age_push(Item* item);
    void age_remove(Item* item);

    uint64_t m_expiration;
    std::unordered_set<Item*, ItemHash, ItemEqual> m_set;
    AgeHead m_age;  // oldest at m_age.next
    SpinLock m_lock;
    ConditionVariable m_cond;  // borrowers waiting for an item being recycled
    Timer* m_timer = nullptr;
};

class ObjectCacheBase : public ExpireContainerBase {
public:
    struct Item : ExpireContainerBase::Item {
        Mutex m_mtx;
        void* m_obj = nullptr;
        uint32_t m_refcnt = 0;
        bool m_recycling = false;
        uint64_t m_last_create = 0;
    };
    // The creator stores an object in item->m_obj, or leaves it null on failure.
    using Creator = std::function<void(Item* item)>;

    using ExpireContainerBase::ExpireContainerBase;
    ~ObjectCacheBase() override = default;

    // A borrowed item holding an object, or null (creation failed now or less
    // than cooldown_us ago). May block the calling coroutine.
    Item* borrow(const Item& key_item, const Creator& creator, uint64_t cooldown_us = 0);
    // With recycle the item is destroyed once every borrower returned it.
    // May block the calling coroutine.
    int release(Item* item, bool recycle = false);
    // -1 when the key is absent.
    int release(const Item& key_item, bool recycle = false);

protected:
    ConditionVariable m_recycle_cond;  // recyclers waiting for the last borrower
};

// Typed front end: K is the key, V* the cached object, deleted with its item.
template <typename K, typename V, typename Hash = std::hash<K>>
class ObjectCache;

template <typename K, typename V, typename Hash>
class ObjectCache<K, V*, Hash> : public ObjectCacheBase {
public:
    struct PtrItem : ExpireContainerBase::KeyedItem<ObjectCacheBase::Item, K, Hash> {
        using ExpireContainerBase::KeyedItem<ObjectCacheBase::Item, K, Hash>::KeyedItem;
        ~PtrItem() override { delete static_cast<V*>(this->m_obj); }
        ExpireContainerBase::Item* clone() const override { return new PtrItem(this->m_key); }
    };

    ObjectCache(uint64_t expiration_us, uint64_t period_us) : ObjectCacheBase(expiration_us, period_us) {}
    ~ObjectCache() override {
        delete m_timer;
        m_timer = nullptr;
        clear();  // while PtrItem is still known
    }

    // ctor() returns the new object or null. The result stays borrowed until release(key).
    template <typename Ctor>
    V* borrow(const K& key, Ctor&& ctor, uint64_t cooldown_us = 0) {
        PtrItem k(key);
        auto item = ObjectCacheBase::borrow(
            k, [&](ObjectCacheBase::Item* i) { i->m_obj = ctor(); }, cooldown_us);
        return item ? static_cast<V*>(item->m_obj) : nullptr;
    }
    int release(const K& key, bool recycle = false) {
        PtrItem k(key);
        return ObjectCacheBase::release(k, recycle);
    }
};

}  // namespace zentho
