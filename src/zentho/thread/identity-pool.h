#pragma once
// A bounded pool of reusable items made and destroyed through delegates. get
// and put may be called from any coroutine of the pool's vCPU; the delegates
// run outside the pool's lock. Destroy the pool on a vCPU: it waits for items
// still handed out.

#include <cstdint>

#include "zentho/thread/sync.h"

namespace zentho {

class IdentityPoolBase {
public:
    using Create = void* (*)(void* ctx);
    using Destroy = void (*)(void* ctx, void* item);

    IdentityPoolBase(uint32_t capacity, Create create, void* create_ctx, Destroy destroy, void* destroy_ctx);
    virtual ~IdentityPoolBase();
    IdentityPoolBase(const IdentityPoolBase&) = delete;
    IdentityPoolBase& operator=(const IdentityPoolBase&) = delete;

    // An idle item, or a new one from the create delegate (null when it fails).
    void* get();
    // Keeps the item when there is room, destroys it otherwise.
    void put(void* item);
    // As put, but a full pool hands the item back (false) instead of
    // destroying it; it counts as returned either way.
    bool try_put(void* item);
    // Destroys about half of the items that stayed idle since the last trim;
    // returns how many were destroyed.
    uint32_t trim();

    // Registers with this OS thread's collector, which trims its pools every
    // second; only on a vCPU. The destructor unregisters.
    void enable_autoscale();
    void disable_autoscale();

    uint32_t capacity() const { return m_capacity; }
    uint32_t idle() const { return m_size; }
    int32_t handed_out() const { return m_refcnt; }

protected:
    // Destroys every idle item after waiting for handed-out ones; derived
    // pools whose delegates need their own members call it in their destructor.
    void drain();

    uint32_t m_capacity;
    uint32_t m_size = 0;
    int32_t m_refcnt = 0;
    uint32_t m_low_water = 0;
    SpinLock m_lock;
    ConditionVariable m_cvar;
    Create m_create;
    void* m_create_ctx;
    Destroy m_destroy;
    void* m_destroy_ctx;
    void** m_items;
    bool m_drained = false;
    void* m_collector = nullptr;
};

}  // namespace zentho
