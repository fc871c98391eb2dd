#include "object/object_write.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "zentho/common/logger.h"
#include "zentho/thread/thread.h"

using namespace zentho;

// Object store files give up their open multipart upload on this request.
static constexpr int IOCTL_ABORT_UPLOAD = 103;

// Offsets move under m_lock; the bytes are copied outside it, into or out of
// a region the other side cannot touch until the offset moves.
struct DataObjectWrite::Ring {
    explicit Ring(uint64_t cap) : data(static_cast<char*>(malloc(cap))), capacity(cap) {}
    ~Ring() { free(data); }

    uint64_t free_space() const {
        if (full) return 0;
        return m_head == m_tail ? capacity : (m_head + capacity - m_tail) % capacity;
    }
    uint64_t available() const {
        if (full) return capacity;
        return (m_tail + capacity - m_head) % capacity;
    }
    void copy_in(uint64_t at, const char* src, uint64_t n) {
        uint64_t first = std::min(n, capacity - at);
        memcpy(data + at, src, first);
        if (first < n) memcpy(data, src + first, n - first);
    }
    void copy_out(uint64_t at, char* dst, uint64_t n) const {
        uint64_t first = std::min(n, capacity - at);
        memcpy(dst, data + at, first);
        if (first < n) memcpy(dst + first, data, n - first);
    }

    char* data;
    uint64_t capacity;
    uint64_t m_head = 0;
    uint64_t m_tail = 0;
    bool full = false;
    std::atomic<bool> stop{false};
    std::mutex m_lock;
    Semaphore space{0};
    Semaphore data_ready{0};
};

DataObjectWrite::DataObjectWrite(std::string key, fs::IFileSystem* fs, uint64_t write_io_size,
                                 uint64_t upload_io_size, uint64_t upload_concurrency,
                                 uint64_t buffer_size)
    : IDataObjectWO(std::move(key), 0, ""),
      m_write_io_size(write_io_size),
      m_upload_io_size(upload_io_size),
      m_upload_concurrency(upload_concurrency),
      m_buffer_size(buffer_size),
      m_fs(fs) {
    LOG_INFO("construct DataObjectWrite ", key);
}

DataObjectWrite::~DataObjectWrite() {
    LOG_INFO("destruct DataObjectWrite");
    close();
}

int DataObjectWrite::init() {
    if (m_file) return 0;
    if (!m_fs) {
        set_error(ENOSYS, "failed to open [key=" + key + "]");
        LOG_ERROR_RETURN(ENOSYS, -1, label);
    }
    m_file.reset(m_fs->open(key.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_MULTIPART_UPLOAD, 0644));
    if (!m_file) {
        int e = errno > 0 ? errno : EIO;
        set_error(e, "failed to open [key=" + key + "]");
        errno = e;
        LOG_ERROR_RETURN(0, -1, label, ' ', ERRNO());
    }
    uint64_t write_io_size = m_write_io_size, upload_io_size = m_upload_io_size;
    uint64_t upload_concurrency = m_upload_concurrency, buffer_size = m_buffer_size;
    LOG_INFO("write config: ", VALUE(write_io_size), VALUE(upload_io_size), VALUE(upload_concurrency),
             VALUE(buffer_size));
    m_written_since_open = 0;
    m_upload_failed = false;
    m_total_upload = 0;
    m_ring = std::make_unique<Ring>(m_buffer_size);
    if (!m_ring->data) {
        m_ring.reset();
        m_file.reset();
        set_error(ENOMEM, "failed to open [key=" + key + "]");
        LOG_ERROR_RETURN(ENOMEM, -1, label, ' ', ERRNO());
    }
    m_upload_thread = std::thread([this] { async_upload(); });
    return 0;
}

int64_t DataObjectWrite::put(const char* src, uint64_t w) {
    Ring& r = *m_ring;
    if (w > r.capacity) LOG_ERROR_RETURN(EINVAL, -1, "count (", w, ") > capacity (", r.capacity, ")");
    for (;;) {
        uint64_t at = 0, available = 0;
        {
            std::lock_guard<std::mutex> g(r.m_lock);
            available = r.free_space();
            at = r.m_tail;
        }
        if (available >= w) {
            uint64_t m_tail = at, tail_to_end = r.capacity - at, count = w;
            LOG_DEBUG(VALUE(m_tail), VALUE(tail_to_end), VALUE(count));
            r.copy_in(at, src, w);
            {
                std::lock_guard<std::mutex> g(r.m_lock);
                r.m_tail = (r.m_tail + w) % r.capacity;
                if (r.m_tail == r.m_head) r.full = true;
                m_tail = r.m_tail;
            }
            LOG_DEBUG(VALUE(m_tail));
            r.data_ready.signal(1);
            return int64_t(w);
        }
        uint64_t count = w;
        LOG_DEBUG("not available", VALUE(count), VALUE(available));
        if (r.stop) {
            errno = EIO;
            return -2;
        }
        r.space.wait(1);
    }
}

int64_t DataObjectWrite::write(const void* src, uint64_t count) {
    // the ring's waits need a runtime thread; a no-op on one
    if (!CURRENT) zentho::init();
    if (init() < 0) return -1;
    if (count == 0) return 0;
    const char* p = static_cast<const char*>(src);
    uint64_t done = 0;
    while (done < count) {
        uint64_t w = std::min(count - done, m_write_io_size);
        int64_t r = put(p + done, w);
        if (r < 0) {
            int e = errno > 0 ? errno : EIO;
            set_error(e, "failed to write buffer [key=" + key + "][wc=" + std::to_string(r) + "]");
            errno = e;
            LOG_ERROR_RETURN(0, -1, label, ' ', ERRNO());
        }
        done += w;
    }
    m_total_write_count += count;
    m_written_since_open += count;
    return int64_t(count);
}

int64_t DataObjectWrite::take(char* dst, uint64_t want) {
    Ring& r = *m_ring;
    if (want > r.capacity) LOG_ERROR_RETURN(EINVAL, -1, "count (", want, ") > capacity (", r.capacity, ")");
    for (;;) {
        uint64_t at = 0, available = 0;
        {
            std::lock_guard<std::mutex> g(r.m_lock);
            available = r.available();
            at = r.m_head;
        }
        uint64_t count = want;
        if (available < want) {
            LOG_DEBUG("not available", VALUE(count), VALUE(available));
            if (!r.stop) {
                r.data_ready.wait(1);
                want = m_upload_io_size;
                continue;
            }
            if (available == 0) return 0;
            count = available;
        }
        uint64_t m_head = at, head_to_end = r.capacity - at;
        LOG_DEBUG(VALUE(m_head), VALUE(head_to_end), VALUE(count));
        r.copy_out(at, dst, count);
        {
            std::lock_guard<std::mutex> g(r.m_lock);
            // head moves before full clears: a writer never sees free space early
            r.m_head = (r.m_head + count) % r.capacity;
            r.full = false;
            m_head = r.m_head;
        }
        LOG_DEBUG(VALUE(m_head));
        r.space.signal(1);
        return int64_t(count);
    }
}

void DataObjectWrite::mark_failure() {
    m_ring->stop = true;
    m_ring->space.signal(1);
    m_ring->data_ready.signal(m_upload_concurrency);
    m_upload_failed = true;
}

namespace {
struct WorkerArg {
    DataObjectWrite* self;
    uint64_t index;
};
}  // namespace

void* DataObjectWrite::upload_worker(void* p) {
    auto* arg = static_cast<WorkerArg*>(p);
    DataObjectWrite* self = arg->self;
    std::unique_ptr<char[]> chunk(new (std::nothrow) char[self->m_upload_io_size]);
    if (!chunk) {
        LOG_ERROR("read buffer failed ", ERRNO(ENOMEM));
        self->mark_failure();
        return nullptr;
    }
    while (!self->m_upload_failed) {
        int64_t rd = self->take(chunk.get(), self->m_upload_io_size);
        if (rd == 0) break;
        if (rd < 0) {
            LOG_ERROR("read buffer failed ", VALUE(rd));
            self->mark_failure();
            break;
        }
        ssize_t wt = self->m_file->write(chunk.get(), size_t(rd));
        if (wt < 0) {
            LOG_ERROR("write kiv failed ", VALUE(wt), ' ', ERRNO());
            self->mark_failure();
            break;
        }
        self->m_total_upload += uint64_t(wt);
    }
    LOG_DEBUG("upload thread ", arg->index, " finish");
    return nullptr;
}

void DataObjectWrite::async_upload() {
    pthread_setname_np(pthread_self(), "obj-upload");
    if (zentho::init(INIT_EVENT_EPOLL, INIT_IO_NONE) < 0) {
        LOG_ERROR("failed to init runtime for upload ", ERRNO());
        mark_failure();
        return;
    }
    LOG_INFO("upload start");
    std::vector<WorkerArg> args(m_upload_concurrency);
    std::vector<Thread*> workers;
    for (uint64_t i = 0; i < m_upload_concurrency; ++i) {
        args[i] = {this, i};
        Thread* th = thread_create(&DataObjectWrite::upload_worker, &args[i], 8ull << 20);
        if (!th) {
            LOG_ERROR("failed to start upload worker ", ERRNO());
            mark_failure();
            break;
        }
        thread_set_joinable(th);
        workers.push_back(th);
    }
    for (Thread* th : workers) thread_join(th);
    uint64_t total_upload = m_total_upload;
    LOG_INFO("upload finish", VALUE(total_upload));
    zentho::fini();
}

int DataObjectWrite::close() {
    LOG_INFO("close object, key: ", key, ", pid: ", getpid());
    if (m_ring) {
        m_ring->stop = true;
        m_ring->space.signal(1);
        m_ring->data_ready.signal(m_upload_concurrency);
        uint64_t total_write_count = m_total_write_count;
        LOG_INFO(VALUE(total_write_count));
        if (m_upload_thread.joinable()) m_upload_thread.join();
        m_ring.reset();
    }
    int err = m_upload_failed ? EIO : 0;
    // a failed upload is abandoned, not completed with the parts that made it
    if (m_file && err && m_file->ioctl(IOCTL_ABORT_UPLOAD) < 0 && errno != ENOSYS)
        LOG_ERROR("failed to abort upload [key=", key, "] ", ERRNO());
    if (m_file) {
        // closing completes the upload: its failure is the checkpoint's failure
        if (m_file->close() < 0) {
            LOG_ERROR("failed to complete upload [key=", key, "] ", ERRNO());
            if (!err) err = errno > 0 ? errno : EIO;
        }
        m_file.reset();
    }
    m_upload_failed = false;
    if (err) {
        errno = err;
        set_error(err, "upload failed [key=" + key + "]");
        LOG_ERROR_RETURN(0, -1, label, ' ', ERRNO());
    }
    return 0;
}
