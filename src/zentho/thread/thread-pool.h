#pragma once
// Reusable coroutine threads. A pooled thread parks after its work and is
// handed out again by the next thread_create, so tasks do not allocate stacks.
// Use a pool only on the vCPU that created it. With capacity 0, or once any
// thread ran init with bypass_pool, every thread_create makes a plain thread.

#include <cstdint>

#include "zentho/thread/identity-pool.h"
#include "zentho/thread/sync.h"
#include "zentho/thread/thread.h"

namespace zentho {

class ThreadPool;

// Lives in the space reserved below the thread record, so it goes with the stack.
struct alignas(64) TPControl {
    Thread* th;
    ThreadPool* pool;  // null for a plain (bypass) thread
    thread_entry start = nullptr;
    void* arg = nullptr;
    bool joinable = false;
    bool joining = false;
    bool finished = false;
    bool dying = false;
    ConditionVariable cvar;
    SpinLock lock;
};

class ThreadPool : public IdentityPoolBase {
public:
    explicit ThreadPool(uint32_t capacity = 32, uint64_t stack_size = DEFAULT_STACK_SIZE);
    ~ThreadPool() override;

    // Runs start(arg) on a pooled (or plain) thread, which becomes READY on
    // this vCPU. Returns its control record (th is the thread), or null.
    TPControl* thread_create(thread_entry start, void* arg, bool joinable = false);
    // Waits until the run of a joinable control ends: 0, or -1/EINVAL.
    int join(TPControl* control);

private:
    static void* create_item(void* pool);
    static void destroy_item(void* pool, void* item);
    static void* pooled_main(void*);
    static void* plain_main(void*);

    uint64_t m_stack_size;
};

}  // namespace zentho
