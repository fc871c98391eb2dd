#include "zentho/thread/vcpu_local.h"

#include "zentho/common/logger.h"

namespace zentho {

static thread_local VCPULocal* t_vcpu_locals = nullptr;

VCPULocal::VCPULocal() {
    LOG_DEBUG("push ", VALUE(this));
    if (!t_vcpu_locals)
        t_vcpu_locals = this;
    else
        t_vcpu_locals->insert_before(this);
}

VCPULocal::~VCPULocal() {
    LOG_DEBUG("erase ", VALUE(this));
    VCPULocal* n = remove_from_list();
    if (t_vcpu_locals == this) t_vcpu_locals = n;
}

void vcpu_local_fini_all() {
    VCPULocal* head = t_vcpu_locals;
    if (!head) return;
    int count = 1;
    for (VCPULocal* p = head->next; p != head; p = p->next) ++count;
    // the successor is taken first: a hook may destroy its object
    VCPULocal* p = head;
    for (int i = 0; i < count && t_vcpu_locals && p; ++i) {
        VCPULocal* n = p->next;
        p->fini();
        p = n;
    }
}

}  // namespace zentho
