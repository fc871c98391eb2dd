#pragma once
// Event engines turn descriptor readiness into wake-ups of coroutine threads.
// A master engine belongs to one vCPU: only that vCPU's threads use it, and the
// only call another OS thread may make is wakeup(). A cascading engine is an
// interest set used by the threads of one vCPU.

#include <sys/types.h>

#include <cstdint>

#include "zentho/thread/thread.h"

namespace zentho {

enum : uint32_t {
    EVENT_READ = 1,
    EVENT_WRITE = 2,
    EVENT_ERROR = 4,
    // the interest is removed when it fires
    ONE_SHOT = 0x8000,
};

struct Event {
    int fd;
    uint32_t interests;
    // opaque; for a master engine the waiting Thread
    void* data;
};

class MasterEventEngine {
public:
    virtual ~MasterEventEngine() = default;
    // Blocks the calling coroutine until fd is ready for interests: 0, or -1
    // with errno (ETIMEDOUT when the deadline passed).
    virtual int wait_for_fd(int fd, uint32_t interests, Timeout timeout) = 0;
    // Waits up to timeout_us for events (0 polls) and wakes their threads;
    // returns how many were woken. Blocks the OS thread: idle thread only.
    virtual ssize_t dispatch_events(uint64_t timeout_us) = 0;
    // Makes a blocked dispatch_events return. From any OS thread.
    virtual int wakeup() = 0;
};

class CascadingEventEngine {
public:
    virtual ~CascadingEventEngine() = default;
    virtual int add_interest(Event e) = 0;
    virtual int rm_interest(Event e) = 0;
    // Blocks the calling coroutine until some registered descriptor is ready;
    // stores the data of fired interests and returns how many (0 when the
    // deadline passed), or -1 with errno.
    virtual ssize_t wait_for_events(void** data, size_t capacity, Timeout timeout) = 0;
};

// The master engine of the calling thread's vCPU, or null off a vCPU.
MasterEventEngine* get_master_engine();

// Waits on the calling vCPU's master engine.
int wait_for_fd(int fd, uint32_t interests, Timeout timeout);
inline int wait_for_fd_readable(int fd, Timeout timeout = {}) { return wait_for_fd(fd, EVENT_READ, timeout); }
inline int wait_for_fd_writable(int fd, Timeout timeout = {}) { return wait_for_fd(fd, EVENT_WRITE, timeout); }

}  // namespace zentho
