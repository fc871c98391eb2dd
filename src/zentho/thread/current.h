#pragma once
#include <cstdint>

namespace zentho {

struct Thread;

// The running coroutine of this OS thread; null on a thread that is not a vCPU.
extern thread_local Thread* CURRENT;

// Re-reads the wall clock into the cached clock unconditionally and returns it
// (microseconds since the epoch). Safe from any OS thread.
uint64_t update_now();

}  // namespace zentho
