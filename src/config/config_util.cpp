#include "config/config_util.h"

#include "zentho/common/logger.h"

namespace ConfigUtils {

static void warn_invalid(const char* key, int64_t value, int64_t replacement) {
    LOG_WARN(key + 1, " '", value, "' is invalid, set to ", replacement);
}

static void warn_too_large(const char* key, int64_t value, int64_t bound) {
    LOG_WARN(key + 1, " '", value, "' is too large, set to ", bound);
}

Limited read_limited(const Config& group, const IntLimit& lim) {
    int32_t v = group.get_int(lim.key, lim.def);
    if (v < lim.lo) {
        warn_invalid(lim.key, v, lim.below);
        return {lim.below, -1};
    }
    if (v > lim.hi) {
        warn_too_large(lim.key, v, lim.hi);
        return {lim.hi, 1};
    }
    return {v, 0};
}

uint64_t read_upload_concurrency(const Config& checkpoint) {
    uint64_t v = uint64_t(int64_t(checkpoint.get_int("/uploadConcurrency", 64)));
    if (v == 0) {
        LOG_WARN("uploadConcurrency '", v, "' is invalid, set to ", 64);
        return 64;
    }
    if (v > 256) {
        LOG_WARN("uploadConcurrency '", v, "' is too large, set to ", 256);
        return 256;
    }
    return v;
}

uint32_t read_log_level(const Config& top) {
    uint32_t level = top.get_uint("/logLevel", 1);
    if (level > 4) {
        LOG_WARN("logLevel '", level, "' is invalid, set to ", 1);
        level = 1;
    }
    return level;
}

void check_fast_list_param(int32_t& c, int32_t& w) {
    const char* ck = DS_LIST_CONCURRENCY.key;
    const char* wk = DS_LIST_WORKER.key;
    if (c < 1) {
        warn_invalid(ck, c, 16);
        c = 16;
    } else if (c > 1024) {
        warn_too_large(ck, c, 1024);
        c = 1024;
    }
    if (w < 1) {
        warn_invalid(wk, w, 1);
        w = 1;
        return;
    }
    if (w > 32) {
        warn_too_large(wk, w, 32);
        w = 32;
    }
    if (c < w) c = w;
    if (c % w) c = (c / w + 1) * w;
}

}  // namespace ConfigUtils
