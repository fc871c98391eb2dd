#pragma once
// Process-wide logging. A line is built on the caller's stack and handed to the
// output in one write, so lines from many threads and forked processes sharing
// one file never interleave. Any thread may log at any time without a lock.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace zentho {

enum : uint32_t {
    ALOG_DEBUG = 0,
    ALOG_INFO = 1,
    ALOG_WARN = 2,
    ALOG_ERROR = 3,
    ALOG_FATAL = 4,
    ALOG_TEMP = 5,
    ALOG_AUDIT = 6,
};

// Where finished lines go. Outputs live as long as the process unless destroyed
// with destruct(); replaced outputs are not destroyed by the loggers.
class ILogOutput {
public:
    virtual void write(int level, const char* begin, const char* end) = 0;
    virtual int descriptor() = 0;
    // all ones = unlimited lines per second
    virtual uint64_t set_rate_limit(uint64_t limit) = 0;
    virtual uint64_t rate_limit() = 0;
    virtual void destruct() = 0;
    virtual ~ILogOutput() = default;
};

class BaseLogOutput : public ILogOutput {
public:
    explicit BaseLogOutput(int fd = 1, uint64_t limit = UINT64_MAX) : m_rate_limit(limit), m_fd(fd) {}
    void write(int level, const char* begin, const char* end) override;
    int descriptor() override { return m_fd; }
    uint64_t set_rate_limit(uint64_t limit) override { return m_rate_limit = limit; }
    uint64_t rate_limit() override { return m_rate_limit; }
    void destruct() override {}

protected:
    // Sleeps one second when the current second's line count exceeds the limit.
    void rate_check();

    uint64_t m_rate_limit;
    uint64_t m_lines_in_second = 0;
    int64_t m_second = 0;
    int m_fd;
};

// Discards lines; still applies the rate check.
class LogOutputNull : public BaseLogOutput {
public:
    LogOutputNull() : BaseLogOutput(-1) {}
    void write(int level, const char* begin, const char* end) override;
};

// Appends to a file and rotates it by size: path, path.1, ..., path.(count-1).
class LogOutputFile : public BaseLogOutput {
public:
    LogOutputFile() : BaseLogOutput(-1) {}
    void write(int level, const char* begin, const char* end) override;
    void destruct() override;

    // Opens path (append mode) and takes it over; -1 with errno on failure,
    // leaving the output as it was.
    int open(const char* path, uint64_t rotation_size, int rotation_count, uint64_t limit);

    static constexpr uint64_t MIN_ROTATION_SIZE = 1 << 20;
    static constexpr int MAX_ROTATION_COUNT = 30;
    static constexpr int DEFAULT_ROTATION_COUNT = 10;

    uint64_t m_rotation_size = 0;
    char* m_path = nullptr;
    uint64_t m_written = 0;  // accessed atomically
    int m_rotation_count = DEFAULT_ROTATION_COUNT;

private:
    void rotate_and_reopen();
};

// Shifts path -> path.1 -> ... keeping at most `count` files in all.
void log_rotate_files(const char* path, int count);

struct Logger {
    ILogOutput* m_output;
    uint32_t m_level;  // lines below this level are not produced
};

extern Logger default_logger;
extern Logger default_audit_logger;

// Points the default logger at the one process-wide file output.
int log_output_file(const char* path, uint64_t rotation_size, int rotation_count, uint64_t limit);
// A new file output, or null (logged) when the file cannot be opened.
ILogOutput* new_log_output_file(const char* path, uint64_t rotation_size, int rotation_count,
                                uint64_t limit);
ILogOutput* log_output_stdout();
ILogOutput* log_output_null();

inline void set_log_level(uint32_t level) { default_logger.m_level = level; }

// ---- line building ----------------------------------------------------------

struct LogSite {
    const char* function;
    const char* file;
    int line;
    uint32_t level;
};

class LogBuffer {
public:
    static constexpr size_t SIZE = 4096;
    static constexpr size_t USABLE = 4094;

    void put(const char* s, size_t n) {
        if (n <= m_left) {
            memcpy(m_ptr, s, n);
            m_ptr += n;
            m_left -= n;
        }
    }
    void put(std::string_view s) { put(s.data(), s.size()); }
    void put_char(char c) { put(&c, 1); }
    void put_unsigned(uint64_t v);
    void put_signed(int64_t v);
    void put_hex(uint64_t v, int width, bool upper);
    void put_errno(int e);
    void prefix(const LogSite& site);
    // Ends the line; there is always room for the newline.
    void finish() {
        *m_ptr++ = '\n';
    }
    const char* begin() const { return m_buf; }
    const char* end() const { return m_ptr; }

private:
    char* m_ptr = m_buf;
    size_t m_left = USABLE;
    char m_buf[SIZE];
};

template <typename T>
struct NamedValue {
    std::string_view name;
    const T& value;
};

struct ErrnoValue {
    int e;
    // 0 stands for the errno current when the piece is made
    explicit ErrnoValue(int x = 0) : e(x ? x : errno) {}
};

inline void log_append(LogBuffer& b, const char* s) { b.put(s ? std::string_view(s) : std::string_view("(null)")); }
inline void log_append(LogBuffer& b, char* s) { log_append(b, static_cast<const char*>(s)); }
inline void log_append(LogBuffer& b, std::string_view s) { b.put(s); }
inline void log_append(LogBuffer& b, const std::string& s) { b.put(s); }
inline void log_append(LogBuffer& b, char c) { b.put_char(c); }
inline void log_append(LogBuffer& b, bool v) { b.put_char(v ? '1' : '0'); }
inline void log_append(LogBuffer& b, const ErrnoValue& e) { b.put_errno(e.e); }
void log_append(LogBuffer& b, double v);
inline void log_append(LogBuffer& b, float v) { log_append(b, double(v)); }
inline void log_append(LogBuffer& b, const void* p) {
    b.put("0x", 2);
    b.put_hex(reinterpret_cast<uintptr_t>(p), 0, false);
}

template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
inline void log_append(LogBuffer& b, T v) {
    if constexpr (std::is_signed_v<T>)
        b.put_signed(v);
    else
        b.put_unsigned(v);
}

template <typename T>
    requires std::is_enum_v<T>
inline void log_append(LogBuffer& b, T v) {
    log_append(b, static_cast<std::underlying_type_t<T>>(v));
}

template <typename T>
    requires(std::is_pointer_v<T> && !std::is_same_v<std::remove_cv_t<std::remove_pointer_t<T>>, char>)
inline void log_append(LogBuffer& b, T p) {
    log_append(b, static_cast<const void*>(p));
}

template <typename T>
inline void log_append(LogBuffer& b, const NamedValue<T>& nv) {
    b.put_char('[');
    b.put(nv.name);
    b.put_char('=');
    log_append(b, nv.value);
    b.put_char(']');
}

template <typename... Ts>
void log_line(Logger& logger, const LogSite& site, const Ts&... pieces) {
    int saved = errno;
    LogBuffer buf;
    buf.prefix(site);
    (log_append(buf, pieces), ...);
    buf.finish();
    logger.m_output->write(int(site.level), buf.begin(), buf.end());
    errno = saved;
}

}  // namespace zentho

#define VALUE(x) (::zentho::NamedValue<std::remove_cvref_t<decltype(x)>>{#x, (x)})
#define ERRNO(...) (::zentho::ErrnoValue(__VA_ARGS__))

#define ZENTHO_LOG_AT(logger, lvl, ...)                                                   \
    do {                                                                                  \
        if ((logger).m_level <= (lvl)) {                                                  \
            static constexpr ::zentho::LogSite _zentho_site{__func__, __FILE_NAME__,      \
                                                            __LINE__, (lvl)};             \
            ::zentho::log_line((logger), _zentho_site, __VA_ARGS__);                      \
        }                                                                                 \
    } while (0)

#define LOG_DEBUG(...) ZENTHO_LOG_AT(::zentho::default_logger, ::zentho::ALOG_DEBUG, __VA_ARGS__)
#define LOG_INFO(...) ZENTHO_LOG_AT(::zentho::default_logger, ::zentho::ALOG_INFO, __VA_ARGS__)
#define LOG_WARN(...) ZENTHO_LOG_AT(::zentho::default_logger, ::zentho::ALOG_WARN, __VA_ARGS__)
#define LOG_ERROR(...) ZENTHO_LOG_AT(::zentho::default_logger, ::zentho::ALOG_ERROR, __VA_ARGS__)
#define LOG_FATAL(...) ZENTHO_LOG_AT(::zentho::default_logger, ::zentho::ALOG_FATAL, __VA_ARGS__)
#define LOG_TEMP(...) ZENTHO_LOG_AT(::zentho::default_logger, ::zentho::ALOG_TEMP, __VA_ARGS__)
#define LOG_AUDIT(...) ZENTHO_LOG_AT(::zentho::default_audit_logger, ::zentho::ALOG_AUDIT, __VA_ARGS__)

// Logs at ERROR, sets errno to err (0 keeps the current errno) and returns ret.
#define LOG_ERROR_RETURN(err, ret, ...)        \
    do {                                       \
        int _zentho_e = (err);                 \
        LOG_ERROR(__VA_ARGS__);                \
        if (_zentho_e) errno = _zentho_e;      \
        return ret;                            \
    } while (0)
