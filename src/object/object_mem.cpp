#include "object/object_mem.h"

#include <fcntl.h>

#include <cstring>

#include "zentho/common/logger.h"

void DataObjectMemRO::release() {
    release_buffer(m_buffer);
    m_buffer = nullptr;
    m_data = nullptr;
    m_streamer.reset();
}

void DataObjectMemRO::invalid_buffer() {
    set_error(EIO, "invalid buffer");
    LOG_ERROR(label);
    errno = EIO;
}

int64_t DataObjectMemRO::readinto(void* dst, uint64_t count) {
    if (!m_buffer) {
        invalid_buffer();
        return -1;
    }
    uint64_t rest = position < size ? uint64_t(size) - uint64_t(position) : 0;
    uint64_t n = count < rest ? count : rest;
    uint64_t m = 0;
    if (uint64_t(position) < m_valid) {
        m = m_valid - uint64_t(position);
        if (m > n) m = n;
        memcpy(dst, m_data + position, m);
    }
    if (m < n) {
        if (!m_streamer) {
            set_error(EIO, "no streamer for bytes past the buffer [key=" + key + "]");
            LOG_ERROR_RETURN(EIO, -1, label);
        }
        m_streamer->position = position + int64_t(m);
        int64_t r = m_streamer->readinto(static_cast<char*>(dst) + m, n - m);
        if (r != int64_t(n - m)) {
            size = m_streamer->size;
            label = m_streamer->label;
            return -1;
        }
    }
    position += int64_t(n);
    return int64_t(n);
}

IBuffer* DataObjectMemRO::read(uint64_t count) {
    if (!m_buffer) {
        invalid_buffer();
        return nullptr;
    }
    uint64_t rest = position < size ? uint64_t(size) - uint64_t(position) : 0;
    if (count > rest) count = rest;
    if (count == 0) return new MemBuffer(nullptr, 0);
    if (uint64_t(position) + count <= m_valid) {
        // a view, valid while this object keeps its buffer
        auto* view = new MemBuffer(m_data + position, count);
        position += int64_t(count);
        return view;
    }
    return read_to_private_buffer(*this, count);
}

IDataObject* DataObjectMemRO::copy() {
    if (!m_buffer) return this;
    uint64_t sz = m_valid < uint64_t(size) ? m_valid : uint64_t(size);
    LOG_DEBUG("copy buffer ", VALUE(sz));
    auto* mine = new MemBuffer(sz);
    if (sz && !mine->data) {
        delete mine;
        return this;  // keep the pool buffer rather than lose the bytes
    }
    if (sz) memcpy(mine->data, m_data, sz);
    release_buffer(m_buffer);
    m_buffer = mine;
    m_data = static_cast<char*>(mine->data);
    m_valid = sz;
    return this;
}

static constexpr int LOAD_ATTEMPTS = 4;

IDataObject* new_memory_dataobject(const std::string& key, int64_t size, const std::string& label,
                                   IBuffer* buffer, zentho::fs::IFileSystem* fs) {
    if (size > 0) {
        if (!buffer) LOG_ERROR_RETURN(EINVAL, nullptr, "invalid param for new_memory_dataobject");
        DataObjectBasicRO* streamer = fs ? new DataObjectBasicRO(key, size, label, fs) : nullptr;
        return new DataObjectMemRO(key, size, label, buffer, streamer);
    }
    if (!fs) LOG_ERROR_RETURN(EINVAL, nullptr, "invalid param for new_memory_dataobject");
    bool private_buffer = !buffer;
    if (private_buffer) {
        buffer = new MemBuffer(DataObjectMemRO::PRIVATE_BUFFER_SIZE);
        if (!buffer->data) {
            delete buffer;
            errno = ENOMEM;
            return new_error_dataobject(key, ENOMEM, "failed to allocate memory [key=" + key + "]");
        }
    }
    auto drop_buffer = [&] {
        if (private_buffer)
            delete buffer;
        else
            release_buffer(buffer);
    };
    std::unique_ptr<zentho::fs::IFile> file(fs->open(key.c_str(), O_RDONLY));
    auto fail = [&](std::string msg) {
        int e = errno > 0 ? errno : EIO;
        LOG_ERROR(msg, ' ', ERRNO(e));
        drop_buffer();
        if (file) file->close();
        errno = e;
        return new_error_dataobject(key, e, std::move(msg));
    };
    if (!file) return fail("failed to open [key=" + key + "]");
    ssize_t res = -1;
    for (int attempt = 1; attempt <= LOAD_ATTEMPTS; ++attempt) {
        res = file->pread(buffer->data, buffer->size, 0);
        if (res >= 0) break;
        IBuffer* buf = buffer;
        LOG_WARN("failed to pread, retry ", VALUE(buf->size), VALUE(res), ' ', ERRNO());
    }
    if (res < 0) return fail("failed to create memory dataobject (read data failed) [key=" + key + "]");
    struct stat st;
    if (file->fstat(&st) < 0) return fail("failed to stat [key=" + key + "]");
    int64_t real_size = st.st_size;
    LOG_DEBUG("update object size ", real_size);
    file->close();
    auto* streamer = new DataObjectBasicRO(key, real_size, label, fs);
    // bytes the read did not deliver are streamed, never served from the buffer
    return new DataObjectMemRO(key, real_size, label, buffer, streamer, uint64_t(res));
}

IDataObject* new_tarfile_dataobject(zentho::fs::IFile* member, const std::string& name, uint64_t size,
                                    IBuffer* buffer, uint64_t index) {
    if (!member) {
        LOG_ERROR("invalid param for new_tarfile_dataobject");
        release_buffer(buffer);
        return new_error_dataobject("", EINVAL, "invalid param for new_tarfile_dataobject");
    }
    const std::string& key = name;
    if (!buffer) {
        buffer = new MemBuffer(size);
        if (size && !buffer->data) {
            delete buffer;
            LOG_ERROR("failed to allocate ", size, " bytes for tar file ", key);
            return new_error_dataobject(key, ENOMEM, "failed to read tar file");
        }
    } else if (buffer->size < size) {
        LOG_ERROR("tar file [", key, "] size ", size, " exceed buf size ", buffer->size);
        release_buffer(buffer);
        return new_error_dataobject(key, ERANGE, "tar file size exceed buf size");
    }
    for (int attempt = 1;; ++attempt) {
        ssize_t res = member->pread(buffer->data, size, 0);
        if (res >= 0 && uint64_t(res) == size) break;
        if (res >= 0) errno = EIO;  // a short member is a failed read
        if (attempt == LOAD_ATTEMPTS) {
            int e = errno > 0 ? errno : EIO;
            LOG_ERROR("failed to read tar file ", key, " ", ERRNO(e));
            release_buffer(buffer);
            errno = e;
            return new_error_dataobject(key, e, "failed to read tar file");
        }
        LOG_WARN("failed to pread, retry ", VALUE(size), VALUE(res), " ", ERRNO());
    }
    return new DataObjectMemRO(key, int64_t(size), std::to_string(index), buffer, nullptr, size);
}
