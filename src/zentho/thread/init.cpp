// Runtime initialisation of an OS thread: vCPU, master event engine, I/O
// services, and the after-fork handler.

#include <pthread.h>
#include <unistd.h>

#include <vector>

#include "zentho/common/logger.h"
#include "zentho/io/aio-wrapper.h"
#include "zentho/io/signal.h"
#include "zentho/io/epoll.h"
#include "zentho/io/reset_handle.h"
#include "zentho/thread/internal/thread_impl.h"
#include "zentho/thread/thread.h"
#include "zentho/thread/vcpu_local.h"

namespace zentho {

namespace {

thread_local uint64_t t_event_flags = 0;
thread_local uint64_t t_io_flags = 0;
std::atomic<bool> g_bypass_pool{false};

// The export and edge-triggered poller services are not part of this build:
// asking for them fails.
int service_unavailable(const char* service) {
    LOG_ERROR(service, " is not available");
    errno = ENOSYS;
    return -1;
}

// Keeps up to 64 released stacks per OS thread for reuse by the same size;
// blocks are those of the default allocator, so either release works.
struct StackPool {
    struct Block {
        void* ptr;
        size_t size;
    };
    std::vector<Block> blocks;
    ~StackPool() {
        for (auto& b : blocks) default_zentho_thread_stack_release(nullptr, b.ptr, b.size);
    }
};
thread_local StackPool t_stack_pool;

void* pooled_stack_alloc(void*, size_t size) {
    auto& blocks = t_stack_pool.blocks;
    for (size_t i = blocks.size(); i-- > 0;) {
        if (blocks[i].size == size) {
            void* p = blocks[i].ptr;
            blocks.erase(blocks.begin() + long(i));
            return p;
        }
    }
    return default_zentho_thread_stack_alloc(nullptr, size);
}

void pooled_stack_release(void*, void* ptr, size_t size) {
    auto& blocks = t_stack_pool.blocks;
    if (blocks.size() >= 64) return default_zentho_thread_stack_release(nullptr, ptr, size);
    blocks.push_back({ptr, size});
}

void undo_engine(VCPU* v) {
    MasterEventEngine* e = exchange_master_engine(v, nullptr);
    if (e != &v->null_engine) delete e;
}

}  // namespace

bool bypass_pool_enabled() { return g_bypass_pool.load(std::memory_order_relaxed); }

int init(uint64_t event_flags, uint64_t io_flags, const ZenthoOptions& options) {
    if (CURRENT) return -1;
    if (options.pooled_stacks)
        set_thread_stack_allocator(&pooled_stack_alloc, nullptr, &pooled_stack_release, nullptr);
    if (options.bypass_pool) g_bypass_pool.store(true);
    if (vcpu_init() < 0) return -1;
    VCPU* v = get_vcpu();
    int err = 0;
    if (event_flags) {
        MasterEventEngine* engine = nullptr;
        // bits 2 and 4 name no engine; the second epoll engine (bit 32) is not built
        if (event_flags & INIT_EVENT_EPOLL)
            engine = new_epoll_engine();
        else
            errno = ENOSYS;
        if (!engine) {
            LOG_ERROR("All master engines init failed");
            goto fail;
        }
        exchange_master_engine(v, engine);
        if ((event_flags & INIT_EVENT_SIGNAL) && sync_signal_init() < 0) goto fail;
    }
    if ((io_flags & INIT_IO_EXPORTFS) && service_unavailable("exportfs") < 0) goto fail;
    if ((io_flags & INIT_IO_LIBAIO) && libaio_wrapper_init(options.aio_queue_depth) < 0) goto fail;
    if ((io_flags & INIT_IO_SOCKET_EDGE_TRIGGER) && service_unavailable("edge-triggered socket poller") < 0)
        goto fail;
    t_event_flags = event_flags;
    t_io_flags = io_flags;
    {
        static bool registered = [] {
            pthread_atfork(nullptr, nullptr, &zentho::reset_all_handle);
            LOG_DEBUG("reset_all_handle registed ", VALUE(getpid()));
            return true;
        }();
        (void)registered;
    }
    return 0;

fail:
    // leave the thread as it was, so that init can be tried again
    err = errno;
    libaio_wrapper_fini();
    sync_signal_fini();
    undo_engine(v);
    vcpu_fini();
    errno = err;
    return -1;
}

int fini() {
    VCPU* v = get_vcpu();
    if (!v) LOG_ERROR_RETURN(ENOSYS, -1, "vcpu not initialized");
    vcpu_local_fini_all();
    // the collector and the signal loop run until stopped: stop them before
    // waiting for the vCPU's other threads
    if (t_io_flags & INIT_IO_LIBAIO) libaio_wrapper_fini();
    if (t_event_flags & INIT_EVENT_SIGNAL) sync_signal_fini();
    // threads still waiting on descriptors need the engine until they finish
    wait_for_other_threads(v);
    undo_engine(v);
    vcpu_fini();
    t_event_flags = 0;
    t_io_flags = 0;
    return 0;
}

}  // namespace zentho
