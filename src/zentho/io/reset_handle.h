#pragma once
// After-fork reset handles. An object that must rebuild itself in a forked
// child derives from a handle; the fork child handler calls every registered
// handle's reset(), oldest first. Lists are unlocked: handles of one registry
// are constructed and destroyed by one thread at a time.

#include "zentho/common/intrusive_list.h"

// The module's registry: one list for the whole process (datasets and
// forwarding file-system proxies).
class ResetHandle : public zentho::intrusive_list_node<ResetHandle> {
public:
    ResetHandle();
    virtual ~ResetHandle();
    // Runs in the forked child, on its only thread; the result is not used.
    virtual int reset() = 0;
};

// Fork child handler of the module's registry (for pthread_atfork).
void reset_all_handle();

namespace zentho {

// The runtime's registry: one list per OS thread, holding the handles built on
// that thread (event engines, I/O services). Construct and destroy a handle on
// the same OS thread.
class ResetHandle : public intrusive_list_node<ResetHandle> {
public:
    ResetHandle();
    virtual ~ResetHandle();
    virtual int reset() = 0;
};

// Fork child handler of the runtime's registry: resets the handles of the
// thread that called fork.
void reset_all_handle();

}  // namespace zentho
