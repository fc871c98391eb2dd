#pragma once
// The kernel-AIO context of an OS thread: an eventfd, a kernel context and a
// collector coroutine that reaps completions and wakes their submitters. All
// calls act on the calling OS thread's context and must run on its vCPU.

#include <libaio.h>
#include <sys/types.h>

namespace zentho {

// 0 (also when the thread already has a context), or -1 with errno. The depth
// is clamped to 2048.
int libaio_wrapper_init(int queue_depth);
// Stops the collector and releases the context; 0.
int libaio_wrapper_fini();
// The calling thread's queue depth, or -1 without a context.
int libaio_queue_depth();

// Submits one prepared request and blocks the calling coroutine until it
// completes: the request's result (bytes), or -1 with errno.
ssize_t libaio_submit_and_wait(struct iocb* cb);
ssize_t libaio_pread(int fd, void* buf, size_t count, off_t offset);
ssize_t libaio_pwrite(int fd, const void* buf, size_t count, off_t offset);

}  // namespace zentho
