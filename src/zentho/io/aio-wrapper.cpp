#include "zentho/io/aio-wrapper.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "zentho/common/logger.h"
#include "zentho/io/event_engine.h"
#include "zentho/io/reset_handle.h"
#include "zentho/thread/thread.h"

namespace zentho {

namespace {

constexpr int MAX_DEPTH = 2048;

struct LibAIOContext {
    int evfd = -1;
    int state = 0;  // 0 stopped, 1 running, 2 waiting for completions, -1 stopping
    int depth = 0;
    io_context_t aioctx = 0;
    Thread* collector = nullptr;
    WaitQueue waiters;  // submitters waiting for a slot
};

// A submitted request: the collector stores the result and wakes the waiter.
struct Request {
    Thread* waiter;
    long result;
    bool done;
};

class AioResetHandle : public ResetHandle {
public:
    int reset() override;
};

thread_local LibAIOContext* t_ctx = nullptr;
thread_local AioResetHandle* t_reset = nullptr;

// A step is retried with growing pauses; an interruption ends it.
template <typename F>
long with_retries(const char* step, F&& f) {
    int n = 0;
    for (;;) {
        long r = f();
        if (r >= 0 || errno == ECANCELED) return r;
        int e = errno;
        thread_usleep(Timeout(10000));
        if (e == EINTR) continue;
        if (++n >= 8) {
            errno = e;
            return r;
        }
        LOG_WARN("failed to do ", step, "() for the ", n, "-th time ", VALUE(r), ERRNO(e));
        thread_usleep(Timeout(10000ull << (n - 1)));
    }
}

void reap(LibAIOContext* ctx) {
    struct io_event events[64];
    for (;;) {
        int want = ctx->depth < 64 ? ctx->depth : 64;
        long n = with_retries("my_io_getevents", [&]() -> long {
            int r = io_getevents(ctx->aioctx, 0, want, events, nullptr);
            if (r < 0) {
                errno = -r;
                return -1;
            }
            return r;
        });
        for (long i = 0; i < n; ++i) {
            auto* req = static_cast<Request*>(events[i].data);
            req->result = long(events[i].res);
            req->done = true;
            thread_interrupt(req->waiter, ENXIO);
        }
        if (n < want) break;
        thread_yield();
    }
}

void* collector_main(void* arg) {
    auto* ctx = static_cast<LibAIOContext*>(arg);
    while (ctx->state == 1) {
        ctx->state = 2;
        with_retries("wait_for_fd_readable", [&]() -> long { return wait_for_fd_readable(ctx->evfd); });
        if (ctx->state == -1) break;
        with_retries("::read", [&]() -> long {
            uint64_t v;
            long r = ::read(ctx->evfd, &v, sizeof(v));
            // a wake-up without completions leaves nothing to read
            if (r < 0 && errno == EAGAIN) return 0;
            return r;
        });
        if (ctx->state == -1) break;
        ctx->state = 1;
        reap(ctx);
        ctx->waiters.wake_all(ECANCELED);
    }
    ctx->state = 0;
    return nullptr;
}

int AioResetHandle::reset() {
    LibAIOContext* ctx = t_ctx;
    if (!ctx) return 0;
    LOG_INFO("reset libaio by reset handle");
    ::close(ctx->evfd);
    ctx->evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ctx->evfd < 0) {
        LOG_ERROR("failed to create eventfd ", ERRNO());
        exit(-1);
    }
    io_destroy(ctx->aioctx);
    ctx->aioctx = 0;
    int ret = io_setup(ctx->depth, &ctx->aioctx);
    if (ret < 0) {
        LOG_ERROR("failed to create aio context by io_setup() ", ERRNO(-ret), VALUE(ret));
        exit(-1);
    }
    if (ctx->collector) thread_interrupt(ctx->collector, ECANCELED);
    return 0;
}

}  // namespace

int libaio_wrapper_init(int queue_depth) {
    if (t_ctx) return 0;
    if (queue_depth < 1) LOG_ERROR_RETURN(EINVAL, -1, "iodepth should be greater than 0");
    if (!CURRENT) LOG_ERROR_RETURN(ENOSYS, -1, "libaio needs a vCPU on this thread");
    auto* ctx = new LibAIOContext;
    ctx->evfd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (ctx->evfd < 0) {
        LOG_ERROR("failed to create eventfd ", ERRNO());
        delete ctx;
        return -1;
    }
    ctx->depth = queue_depth < MAX_DEPTH ? queue_depth : MAX_DEPTH;
    int ret = io_setup(ctx->depth, &ctx->aioctx);
    if (ret < 0) {
        LOG_ERROR("failed to create aio context by io_setup() ", ERRNO(-ret), VALUE(ret));
        ::close(ctx->evfd);
        delete ctx;
        errno = -ret;
        return ret;
    }
    ctx->state = 1;
    ctx->collector = thread_create(&collector_main, ctx, DEFAULT_STACK_SIZE);
    if (!ctx->collector) {
        io_destroy(ctx->aioctx);
        ::close(ctx->evfd);
        delete ctx;
        return -1;
    }
    t_ctx = ctx;
    if (!t_reset) t_reset = new AioResetHandle;
    LOG_DEBUG("libaio initialized");
    return 0;
}

int libaio_wrapper_fini() {
    LibAIOContext* ctx = t_ctx;
    if (!ctx || ctx->state == 0) return 0;
    bool waiting = ctx->state == 2;
    ctx->state = -1;
    if (waiting) thread_interrupt(ctx->collector, ECANCELED);
    while (ctx->state != 0) thread_usleep(Timeout(10000));
    io_destroy(ctx->aioctx);
    ::close(ctx->evfd);
    t_ctx = nullptr;
    delete ctx;
    delete t_reset;
    t_reset = nullptr;
    LOG_DEBUG("libaio finished");
    return 0;
}

int libaio_queue_depth() { return t_ctx ? t_ctx->depth : -1; }

ssize_t libaio_submit_and_wait(struct iocb* cb) {
    LibAIOContext* ctx = t_ctx;
    if (!ctx || ctx->state == 0 || ctx->state == -1)
        LOG_ERROR_RETURN(ENOSYS, -1, "libaio is not initialized on this thread");
    Request req{CURRENT, 0, false};
    cb->data = &req;
    io_set_eventfd(cb, ctx->evfd);
    for (;;) {
        int r = io_submit(ctx->aioctx, 1, &cb);
        if (r == 1) break;
        if (r != -EAGAIN) {
            errno = -r;
            LOG_ERROR("failed to io_submit() ", ERRNO());
            return -1;
        }
        // the queue is full: wait for the collector to reap
        ctx->waiters.wait(Timeout(10000));
    }
    while (!req.done) thread_usleep(Timeout());
    if (req.result < 0) {
        errno = int(-req.result);
        return -1;
    }
    return req.result;
}

ssize_t libaio_pread(int fd, void* buf, size_t count, off_t offset) {
    struct iocb cb;
    io_prep_pread(&cb, fd, buf, count, offset);
    return libaio_submit_and_wait(&cb);
}

ssize_t libaio_pwrite(int fd, const void* buf, size_t count, off_t offset) {
    struct iocb cb;
    io_prep_pwrite(&cb, fd, const_cast<void*>(buf), count, offset);
    return libaio_submit_and_wait(&cb);
}

}  // namespace zentho
