#include "object/object_basic.h"

#include <fcntl.h>

#include "zentho/common/logger.h"

// Size hint accepted by object store files: spares the stat request.
static constexpr int IOCTL_SET_SIZE_HINT = 102;

static int negative_errno() { return errno > 0 ? errno : EIO; }

int DataObjectBasicRO::init() {
    if (m_file) return 0;
    if (!m_fs) {
        set_error(ENOSYS, "fs can't be nullptr [key=" + key + "]");
        LOG_ERROR_RETURN(ENOSYS, -1, label);
    }
    m_file.reset(m_fs->open(key.c_str(), O_RDONLY));
    if (!m_file) {
        int e = negative_errno();
        set_error(e, "failed to open [key=" + key + "]");
        errno = e;
        LOG_ERROR_RETURN(0, -1, label, ' ', ERRNO());
    }
    if (size > 0) {
        m_file->ioctl(IOCTL_SET_SIZE_HINT, uint64_t(size));
        return 0;
    }
    if (size == 0) {
        struct stat st;
        if (m_file->fstat(&st) < 0) {
            int e = negative_errno();
            set_error(e, "failed to stat [key=" + key + "]");
            errno = e;
            LOG_ERROR_RETURN(0, -1, label, ' ', ERRNO());
        }
        size = st.st_size;
        LOG_DEBUG("stat kiv: ", VALUE(key), VALUE(size));
    }
    return 0;
}

// A failed object stays failed: its reads report the failure rather than an
// empty end of file.
static bool failed(const IDataObject& o) {
    if (o.size >= 0) return false;
    errno = int(-o.size);
    return true;
}

int64_t DataObjectBasicRO::readinto(void* dst, uint64_t count) {
    if (init() < 0 || failed(*this)) return -1;
    // a position at or past the end (seek allows it) reads nothing
    uint64_t rest = position < size ? uint64_t(size) - uint64_t(position) : 0;
    uint64_t n = count < rest ? count : rest;
    if (n == 0) return 0;
    char* out = static_cast<char*>(dst);
    uint64_t done = 0;
    while (done < n) {
        uint64_t chunk = n - done < MAX_CHUNK ? n - done : MAX_CHUNK;
        off_t off = off_t(position + done);
        ssize_t r = -1;
        for (int attempt = 1;; ++attempt) {
            LOG_DEBUG("pread offset ", off, ", count ", chunk);
            r = m_file->pread(out + done, chunk, off);
            if (r == ssize_t(chunk)) break;
            if (attempt == ATTEMPTS) {
                int e = negative_errno();
                set_error(e, "failed to pread [key=" + key + "][pos=" + std::to_string(position) +
                                 "][count=" + std::to_string(n) + "][rc=" + std::to_string(r) +
                                 "]");
                errno = e;
                LOG_ERROR_RETURN(0, -1, label, ' ', ERRNO());
            }
            LOG_WARN("failed to pread, retry ", ATTEMPTS - 1 - attempt, ", offset ", off,
                     ", count ", chunk, ", ret ", r, " ", ERRNO());
        }
        done += chunk;
    }
    position += int64_t(n);
    return int64_t(n);
}

IBuffer* DataObjectBasicRO::read(uint64_t count) {
    if (init() < 0 || failed(*this)) return nullptr;
    uint64_t rest = position < size ? uint64_t(size) - uint64_t(position) : 0;
    if (count > rest) count = rest;
    if (count == 0) return new MemBuffer(nullptr, 0);
    return read_to_private_buffer(*this, count);
}

int DataObjectBasicRO::close() {
    m_file.reset();
    return 0;
}
