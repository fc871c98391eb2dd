#include "zentho/thread/current.h"

#include <sys/time.h>

#include <atomic>

namespace zentho {

thread_local Thread* CURRENT = nullptr;

static std::atomic<uint64_t> g_now_us{0};

uint64_t update_now() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    uint64_t us = uint64_t(tv.tv_sec) * 1000000 + uint64_t(tv.tv_usec);
    g_now_us.store(us, std::memory_order_relaxed);
    return us;
}

}  // namespace zentho
