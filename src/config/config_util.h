#pragma once
// Range rules of the tuning values. Every read logs one WARN line for a value
// it had to replace, so the warnings repeat each time an operation reads them.

#include <cstdint>

#include "config/config.h"

namespace ConfigUtils {

struct IntLimit {
    const char* key;  // JSON pointer within its group
    int32_t def;
    int32_t lo, hi;
    int32_t below;  // used when the value is below lo
};

// datasetConfig
inline constexpr IntLimit DS_PREFETCH_MB{"/prefetchMB", 32, 1, 4096, 32};
inline constexpr IntLimit DS_PREFETCH_CONCURRENCY{"/prefetchConcurrency", 24, 1, 256, 24};
inline constexpr IntLimit DS_PREFETCH_WORKER{"/prefetchWorker", 2, 1, 64, 2};
inline constexpr IntLimit DS_LIST_CONCURRENCY{"/listConcurrency", 16, 1, 1024, 16};
inline constexpr IntLimit DS_LIST_WORKER{"/listWorker", 1, 1, 32, 1};
// checkpointConfig
inline constexpr IntLimit CP_PREFETCH_IO_SIZE_MB{"/prefetchIoSizeMB", 1, 1, 8, 1};
inline constexpr IntLimit CP_PREFETCH_CONCURRENCY{"/prefetchConcurrency", 24, 1, 256, 24};
inline constexpr IntLimit CP_PREFETCH_WORKER{"/prefetchWorker", 4, 1, 64, 4};
inline constexpr IntLimit CP_WRITE_IO_SIZE_MB{"/writeIoSizeMB", 32, 1, 64, 32};
inline constexpr IntLimit CP_UPLOAD_IO_SIZE_MB{"/uploadIoSizeMB", 16, 1, 5210, 16};
inline constexpr IntLimit CP_UPLOAD_BUFFER_SIZE_MB{"/uploadBufferSizeMB", 1024, 1, 4096, 1024};

// Result of a clamped read: the value in the key's own unit and whether the
// raw value was below or above its range.
struct Limited {
    int64_t value;
    int out;  // -1 below, 0 in range, 1 above
};

Limited read_limited(const Config& group, const IntLimit& lim);
inline int32_t read_int(const Config& group, const IntLimit& lim) {
    return int32_t(read_limited(group, lim).value);
}
// MiB values are turned into bytes after the range check.
inline uint64_t read_mib(const Config& group, const IntLimit& lim) {
    return uint64_t(read_limited(group, lim).value) << 20;
}

// "/uploadConcurrency": 0 becomes 64; compared as an unsigned 64-bit number,
// so negative values count as above 256.
uint64_t read_upload_concurrency(const Config& checkpoint);

// Log level from "/logLevel" (0 to 4, else 1 with a WARN line).
uint32_t read_log_level(const Config& top);

// Normalises the parallel lister's concurrency and worker count.
void check_fast_list_param(int32_t& concurrency, int32_t& workers);

}  // namespace ConfigUtils
