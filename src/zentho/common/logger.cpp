#include "zentho/common/logger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "zentho/thread/current.h"

namespace zentho {

static BaseLogOutput g_stdout_output(1);
static LogOutputNull g_null_output;
static LogOutputFile g_file_output;

Logger default_logger{&g_stdout_output, ALOG_ERROR};
Logger default_audit_logger{&g_null_output, ALOG_AUDIT};

ILogOutput* log_output_stdout() { return &g_stdout_output; }
ILogOutput* log_output_null() { return &g_null_output; }

// One ten-character cell per level: the tag and the start of the thread field.
static const char LEVEL_CELLS[] =
    "|DEBUG|th=|INFO |th=|WARN |th=|ERROR|th=|FATAL|th=|TEMP |th=|AUDIT|th=";

// ---- outputs ---------------------------------------------------------------

void BaseLogOutput::rate_check() {
    if (m_rate_limit == UINT64_MAX) return;
    int64_t sec = time(nullptr);
    if (sec != m_second) {
        m_second = sec;
        m_lines_in_second = 0;
    }
    if (++m_lines_in_second > m_rate_limit) {
        timespec ts{1, 0}, rem;
        while (nanosleep(&ts, &rem) < 0 && errno == EINTR) ts = rem;
    }
}

void BaseLogOutput::write(int, const char* begin, const char* end) {
    ssize_t r = ::write(m_fd, begin, end - begin);
    (void)r;  // a log line that cannot be written has nowhere to be reported
    rate_check();
}

void LogOutputNull::write(int, const char*, const char*) { rate_check(); }

static int open_log_file(const char* path) {
    return ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

int LogOutputFile::open(const char* path, uint64_t rotation_size, int rotation_count,
                        uint64_t limit) {
    int fd = open_log_file(path);
    if (fd < 0) return -1;
    if (m_fd > 2 && m_fd != fd) ::close(m_fd);
    m_fd = fd;
    off_t size = lseek(fd, 0, SEEK_END);
    __atomic_store_n(&m_written, uint64_t(size < 0 ? 0 : size), __ATOMIC_RELAXED);
    free(m_path);
    m_path = strdup(path);
    m_rotation_size = rotation_size < MIN_ROTATION_SIZE ? MIN_ROTATION_SIZE : rotation_size;
    m_rotation_count = rotation_count > MAX_ROTATION_COUNT ? MAX_ROTATION_COUNT : rotation_count;
    m_rate_limit = limit;
    return 0;
}

void log_rotate_files(const char* path, int count) {
    if (access(path, F_OK) != 0) return;
    std::string base(path);
    auto name = [&](unsigned i) {
        if (i == 0) return base;
        char suffix[16];
        snprintf(suffix, sizeof(suffix), ".%u", i);
        return base + suffix;
    };
    unsigned k = 1;
    while (access(name(k).c_str(), F_OK) == 0) ++k;
    for (unsigned i = k; i >= 1; --i) {
        std::string src = name(i - 1);
        if (int(i) < count)
            rename(src.c_str(), name(i).c_str());
        else
            unlink(src.c_str());
    }
}

static std::mutex g_rotation_mutex;

void LogOutputFile::rotate_and_reopen() {
    std::lock_guard<std::mutex> lock(g_rotation_mutex);
    if (__atomic_load_n(&m_written, __ATOMIC_RELAXED) <= m_rotation_size) return;
    log_rotate_files(m_path, m_rotation_count);
    int fd = open_log_file(m_path);
    if (fd < 0) {
        std::string msg = std::string("failed to open log output file: ") + m_path + "\n";
        ssize_t r = ::write(m_fd, msg.data(), msg.size());
        (void)r;
        return;
    }
    __atomic_store_n(&m_written, uint64_t(0), __ATOMIC_RELAXED);
    dup2(fd, m_fd);
    ::close(fd);
}

void LogOutputFile::write(int, const char* begin, const char* end) {
    if (m_fd < 0) return;
    iovec iov{const_cast<char*>(begin), size_t(end - begin)};
    ssize_t r = ::writev(m_fd, &iov, 1);
    (void)r;
    rate_check();
    if (m_path && m_rotation_size) {
        uint64_t total = __atomic_add_fetch(&m_written, uint64_t(end - begin), __ATOMIC_RELAXED);
        if (total > m_rotation_size) rotate_and_reopen();
    }
}

void LogOutputFile::destruct() {
    if (m_fd > 2) ::close(m_fd);
    m_fd = -1;
    free(m_path);
    m_path = nullptr;
    if (this != &g_file_output) delete this;
}

int log_output_file(const char* path, uint64_t rotation_size, int rotation_count, uint64_t limit) {
    if (g_file_output.open(path, rotation_size, rotation_count, limit) < 0) {
        LOG_ERROR("Fail to open log file ", path, ' ', ERRNO());
        return -1;
    }
    default_logger.m_output = &g_file_output;
    return 0;
}

ILogOutput* new_log_output_file(const char* path, uint64_t rotation_size, int rotation_count,
                                uint64_t limit) {
    auto* out = new LogOutputFile();
    if (out->open(path, rotation_size, rotation_count, limit) < 0) {
        LOG_ERROR("Failed to open log file ", path, ' ', ERRNO());
        delete out;
        return nullptr;
    }
    return out;
}

// ---- line building -----------------------------------------------------------

void LogBuffer::put_unsigned(uint64_t v) {
    char tmp[24];
    char* p = tmp + sizeof(tmp);
    do {
        *--p = char('0' + v % 10);
        v /= 10;
    } while (v);
    size_t n = tmp + sizeof(tmp) - p;
    if (m_left >= 12 && n <= m_left) put(p, n);
}

void LogBuffer::put_signed(int64_t v) {
    if (m_left < 12) return;
    if (v < 0) {
        char tmp[24];
        char* p = tmp + sizeof(tmp);
        uint64_t u = uint64_t(0) - uint64_t(v);
        do {
            *--p = char('0' + u % 10);
            u /= 10;
        } while (u);
        *--p = '-';
        put(p, tmp + sizeof(tmp) - p);
    } else {
        put_unsigned(uint64_t(v));
    }
}

void LogBuffer::put_hex(uint64_t v, int width, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char tmp[16];
    int n = 0;
    do {
        tmp[15 - n++] = digits[v & 15];
        v >>= 4;
    } while (v && n < 16);
    while (n < width) tmp[15 - n++] = '0';
    put(tmp + 16 - n, n);
}

void LogBuffer::put_errno(int e) {
    char text[128];
    const char* s = strerror_r(e, text, sizeof(text));
    put("errno=", 6);
    put_signed(e);
    put_char('(');
    put(s);
    put_char(')');
}

void log_append(LogBuffer& b, double v) {
    char tmp[32];
    int n = snprintf(tmp, sizeof(tmp), "%g", v);
    if (n > 0) b.put(tmp, size_t(n));
}

namespace {

// Broken-down local date, cached per day; fields stored individually so that
// concurrent readers see at worst a mixture of two valid dates around midnight.
struct DateCache {
    int64_t day = INT64_MIN;
    int year = 0, month = 0, mday = 0;
};
DateCache g_date;

long local_offset() {
    static const long offset = [] {
        tzset();
        return timezone;
    }();
    return offset;
}

inline void put2(char* p, unsigned v) {
    p[0] = char('0' + v / 10);
    p[1] = char('0' + v % 10);
}

}  // namespace

void LogBuffer::prefix(const LogSite& site) {
    uint64_t us = update_now();
    int64_t sec = int64_t(us / 1000000) - local_offset();
    unsigned usec = unsigned(us % 1000000);
    int64_t day = sec >= 0 ? sec / 86400 : (sec - 86399) / 86400;
    if (day != __atomic_load_n(&g_date.day, __ATOMIC_RELAXED)) {
        time_t t = time_t(sec);
        struct tm tm;
        gmtime_r(&t, &tm);
        g_date.year = tm.tm_year + 1900;
        g_date.month = tm.tm_mon + 1;
        g_date.mday = tm.tm_mday;
        __atomic_store_n(&g_date.day, day, __ATOMIC_RELAXED);
    }
    unsigned in_day = unsigned(sec - day * 86400);

    put_signed(g_date.year);
    char t[26];
    t[0] = '/';
    put2(t + 1, unsigned(g_date.month));
    t[3] = '/';
    put2(t + 4, unsigned(g_date.mday));
    t[6] = ' ';
    put2(t + 7, in_day / 3600);
    t[9] = ':';
    put2(t + 10, in_day / 60 % 60);
    t[12] = ':';
    put2(t + 13, in_day % 60);
    t[15] = '.';
    for (int i = 21; i >= 16; --i) {
        t[i] = char('0' + usec % 10);
        usec /= 10;
    }
    put(t, 22);
    uint32_t level = site.level <= ALOG_AUDIT ? site.level : ALOG_TEMP;
    put(LEVEL_CELLS + level * 10, 10);
    put_hex(reinterpret_cast<uintptr_t>(CURRENT), 16, true);
    put_char('|');
    if (level == ALOG_AUDIT) return;
    put(site.file);
    put_char(':');
    put_signed(site.line);
    put_char('|');
    put(site.function);
    put_char(':');
}

}  // namespace zentho
