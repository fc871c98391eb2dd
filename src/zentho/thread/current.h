#pragma once
#include <atomic>
#include <cstdint>

namespace zentho {

struct Thread;

// The running coroutine of this OS thread; null on a thread that is not a vCPU.
// A coroutine may resume on another OS thread after thread_migrate: code that
// reads thread-local state after a switch should read it afresh.
// constinit: other units read it straight off %fs, not through the wrapper whose
// sanitizer null check went wrong once the linker relaxed its add to a lea.
extern constinit thread_local Thread* CURRENT __attribute__((tls_model("initial-exec")));

// The process-wide cached clock: microseconds since the epoch (gettimeofday).
// Readers never call the system clock; it is refreshed by the scheduler, by the
// clock-updater thread, or explicitly by update_now().
extern std::atomic<uint64_t> now_us;

// Re-reads the wall clock and the time-stamp-counter block unconditionally and
// returns the new clock value. Safe from any OS thread.
uint64_t update_now();

}  // namespace zentho
