#include "zentho/fs/virtual-file.h"

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace zentho {
namespace fs {

namespace {

constexpr size_t BOUNCE_ALIGN = 4096;

size_t total_length(const struct iovec* iov, int iovcnt, bool* overflow) {
    size_t s = 0;
    *overflow = false;
    for (int i = 0; i < iovcnt; ++i) {
        if (__builtin_add_overflow(s, iov[i].iov_len, &s) || s > size_t(SSIZE_MAX)) *overflow = true;
    }
    return s;
}

// One buffer of `size` bytes starting on a page boundary; free(*raw) releases it.
char* bounce_alloc(size_t size, void** raw) {
    *raw = malloc(size + BOUNCE_ALIGN);
    if (!*raw) return nullptr;
    uintptr_t p = (reinterpret_cast<uintptr_t>(*raw) + BOUNCE_ALIGN - 1) & ~uintptr_t(BOUNCE_ALIGN - 1);
    return reinterpret_cast<char*>(p);
}

}  // namespace

ssize_t VirtualFile::read(void* buf, size_t count) {
    ssize_t r = pread(buf, count, m_offset);
    if (r > 0) m_offset += r;
    return r;
}

ssize_t VirtualFile::readv(const struct iovec* iov, int iovcnt) {
    ssize_t r = preadv(iov, iovcnt, m_offset);
    if (r > 0) m_offset += r;
    return r;
}

ssize_t VirtualFile::write(const void* buf, size_t count) {
    ssize_t r = pwrite(buf, count, m_offset);
    if (r > 0) m_offset += r;
    return r;
}

ssize_t VirtualFile::writev(const struct iovec* iov, int iovcnt) {
    ssize_t r = pwritev(iov, iovcnt, m_offset);
    if (r > 0) m_offset += r;
    return r;
}

off_t VirtualFile::lseek(off_t offset, int whence) {
    switch (whence) {
        case SEEK_SET:
            m_offset = offset;
            break;
        case SEEK_CUR:
            m_offset += offset;
            break;
        case SEEK_END: {
            struct stat st;
            if (fstat(&st) < 0) return -1;
            m_offset = st.st_size + offset;
            break;
        }
        default:
            // a stale errno would describe some earlier failure
            errno = EINVAL;
            return -1;
    }
    return m_offset;
}

ssize_t VirtualFile::pread(void* buf, size_t count, off_t offset) {
    struct iovec v{buf, count};
    return preadv(&v, 1, offset);
}

ssize_t VirtualFile::pwrite(const void* buf, size_t count, off_t offset) {
    struct iovec v{const_cast<void*>(buf), count};
    return pwritev(&v, 1, offset);
}

ssize_t VirtualFile::preadv(const struct iovec* iov, int iovcnt, off_t offset) {
    if (iovcnt <= 0) return 0;
    if (iovcnt == 1) return pread(iov[0].iov_base, iov[0].iov_len, offset);
    bool overflow;
    size_t total = total_length(iov, iovcnt, &overflow);
    if (overflow) {
        errno = EINVAL;
        return -1;
    }
    void* raw;
    char* bounce = bounce_alloc(total, &raw);
    if (!bounce) return -1;
    ssize_t r = pread(bounce, total, offset);
    if (r > 0) {
        size_t left = size_t(r);
        const char* p = bounce;
        for (int i = 0; i < iovcnt && left; ++i) {
            size_t k = std::min(left, iov[i].iov_len);
            if (k) memcpy(iov[i].iov_base, p, k);
            p += k;
            left -= k;
        }
    }
    free(raw);
    return r;
}

ssize_t VirtualFile::pwritev(const struct iovec* iov, int iovcnt, off_t offset) {
    if (iovcnt <= 0) return 0;
    if (iovcnt == 1) return pwrite(iov[0].iov_base, iov[0].iov_len, offset);
    bool overflow;
    size_t total = total_length(iov, iovcnt, &overflow);
    if (overflow) {
        errno = EINVAL;
        return -1;
    }
    void* raw;
    char* bounce = bounce_alloc(total, &raw);
    if (!bounce) return -1;
    char* p = bounce;
    for (int i = 0; i < iovcnt; ++i) {
        if (iov[i].iov_len) memcpy(p, iov[i].iov_base, iov[i].iov_len);
        p += iov[i].iov_len;
    }
    ssize_t r = pwrite(bounce, total, offset);
    free(raw);
    return r;
}

}  // namespace fs
}  // namespace zentho
