#include "zentho/io/reset_handle.h"

#include <pthread.h>
#include <unistd.h>

#include "zentho/common/logger.h"

namespace {

template <typename H>
void link_handle(H*& head, H* h) {
    if (!head) {
        head = h;
    } else if (h->single() && h != head) {
        head->insert_before(h);
    }
}

template <typename H>
void unlink_handle(H*& head, H* h) {
    H* n = h->remove_from_list();
    if (head == h) head = n;
}

// Walks the handles registered when the walk began, oldest first. The
// successor is taken before reset() so that a handle may unlink itself there;
// handles registered during the walk are not reset by it.
template <typename H, typename F>
void walk_handles(H*& head, F&& each) {
    if (!head) return;
    int count = 1;
    for (H* h = head->next; h != head; h = h->next) ++count;
    H* h = head;
    for (int i = 0; i < count && head && h; ++i) {
        H* n = h->next;
        each(h);
        h = n;
    }
}

ResetHandle* g_module_handles = nullptr;

}  // namespace

ResetHandle::ResetHandle() {
    pthread_t tid = pthread_self();
    LOG_DEBUG("push ", VALUE(this), VALUE(getpid()), VALUE(tid));
    link_handle(g_module_handles, this);
}

ResetHandle::~ResetHandle() {
    pthread_t tid = pthread_self();
    LOG_DEBUG("erase ", VALUE(this), VALUE(getpid()), VALUE(tid));
    unlink_handle(g_module_handles, this);
}

void reset_all_handle() {
    if (!g_module_handles) return;
    pthread_t tid = pthread_self();
    LOG_INFO("reset all handle called ", VALUE(getpid()), VALUE(tid));
    walk_handles(g_module_handles, [&](ResetHandle* handler) {
        LOG_INFO("reset ", VALUE(handler), VALUE(getpid()), VALUE(tid));
        handler->reset();
    });
    LOG_INFO("reset all handle done ", VALUE(getpid()), VALUE(tid));
}

namespace zentho {

static thread_local ResetHandle* t_runtime_handles = nullptr;

ResetHandle::ResetHandle() {
    LOG_DEBUG("push ", VALUE(this));
    link_handle(t_runtime_handles, this);
}

ResetHandle::~ResetHandle() {
    LOG_DEBUG("erase ", VALUE(this));
    unlink_handle(t_runtime_handles, this);
}

void reset_all_handle() {
    if (!t_runtime_handles) return;
    LOG_INFO("reset all handle called");
    walk_handles(t_runtime_handles, [](ResetHandle* handler) {
        LOG_DEBUG("reset ", VALUE(handler));
        handler->reset();
    });
}

}  // namespace zentho
