#pragma once
// Objects that exist once per vCPU (such as a pooled dialer). Each registers
// itself on the creating OS thread's list; fini() of that thread calls every
// object's fini hook. Construct and destroy on the same OS thread.

#include "zentho/common/intrusive_list.h"

namespace zentho {

class VCPULocal : public intrusive_list_node<VCPULocal> {
public:
    VCPULocal();
    virtual ~VCPULocal();
    // Called by fini() on the owning OS thread, in registration order; it may
    // destroy the object.
    virtual void fini() = 0;
};

// Runs the fini hooks of the calling OS thread's objects.
void vcpu_local_fini_all();

}  // namespace zentho
