#include "object/object_write.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <sys/uio.h>

#include <cstring>
#include <deque>
#include <vector>

#include "zentho/common/logger.h"
#include "zentho/thread/thread.h"

using namespace zentho;

// Object store files give up their open multipart upload on this request.
static constexpr int IOCTL_ABORT_UPLOAD = 103;

// Offsets and counts move under m_lock; bytes are copied in, or uploaded
// straight from the ring, outside it, in regions the other side cannot touch
// until the offsets move. Workers take regions in order and may finish out of
// order: space returns to the writer as the oldest regions finish.
struct DataObjectWrite::Ring {
    explicit Ring(uint64_t cap) : data(static_cast<char*>(malloc(cap))), capacity(cap) {}
    ~Ring() { free(data); }

    uint64_t free_space() const { return capacity - filled; }
    uint64_t available() const { return untaken; }
    void copy_in(uint64_t at, const char* src, uint64_t n) {
        uint64_t first = std::min(n, capacity - at);
        memcpy(data + at, src, first);
        if (first < n) memcpy(data, src + first, n - first);
    }

    char* data;
    uint64_t capacity;
    uint64_t m_head = 0;   // oldest byte not yet uploaded
    uint64_t m_take = 0;   // next byte for a worker
    uint64_t m_tail = 0;   // next byte for the writer
    uint64_t filled = 0;   // bytes between m_head and m_tail
    uint64_t untaken = 0;  // bytes between m_take and m_tail
    std::deque<std::pair<uint64_t, bool>> in_flight;  // (length, finished), in take order
    uint64_t released = 0;                            // regions that left in_flight
    std::atomic<bool> stop{false};
    std::mutex m_lock;
    Semaphore space{0};
    Semaphore data_ready{0};
};

struct DataObjectWrite::Region {
    struct iovec iov[2];
    int iovcnt = 0;
    uint64_t length = 0;
    uint64_t slot = 0;  // sequence number among all regions taken
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
                r.filled += w;
                r.untaken += w;
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

int64_t DataObjectWrite::take(uint64_t want, Region& out) {
    Ring& r = *m_ring;
    if (want > r.capacity) LOG_ERROR_RETURN(EINVAL, -1, "count (", want, ") > capacity (", r.capacity, ")");
    for (;;) {
        uint64_t count = want, available, at;
        {
            std::lock_guard<std::mutex> g(r.m_lock);
            available = r.available();
            if (available >= want || (r.stop && available > 0)) {
                count = std::min(want, available);
                at = r.m_take;
                r.m_take = (r.m_take + count) % r.capacity;
                r.untaken -= count;
                out.slot = r.released + r.in_flight.size();
                r.in_flight.emplace_back(count, false);
                uint64_t first = std::min(count, r.capacity - at);
                out.iov[0] = {r.data + at, first};
                out.iov[1] = {r.data, count - first};
                out.iovcnt = first < count ? 2 : 1;
                out.length = count;
                uint64_t m_take = r.m_take, head_to_end = r.capacity - at;
                LOG_DEBUG(VALUE(m_take), VALUE(head_to_end), VALUE(count));
                return int64_t(count);
            }
        }
        LOG_DEBUG("not available", VALUE(count), VALUE(available));
        if (r.stop) return 0;
        r.data_ready.wait(1);
        want = m_upload_io_size;
    }
}

void DataObjectWrite::release(const Region& region) {
    Ring& r = *m_ring;
    bool freed = false;
    {
        std::lock_guard<std::mutex> g(r.m_lock);
        r.in_flight[region.slot - r.released].second = true;
        while (!r.in_flight.empty() && r.in_flight.front().second) {
            uint64_t n = r.in_flight.front().first;
            r.in_flight.pop_front();
            ++r.released;
            r.m_head = (r.m_head + n) % r.capacity;
            r.filled -= n;
            freed = true;
        }
    }
    if (freed) r.space.signal(1);
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
    while (!self->m_upload_failed) {
        Region region;
        int64_t rd = self->take(self->m_upload_io_size, region);
        if (rd == 0) break;
        if (rd < 0) {
            LOG_ERROR("read buffer failed ", VALUE(rd));
            self->mark_failure();
            break;
        }
        ssize_t wt = self->m_file->writev(region.iov, region.iovcnt);
        self->release(region);
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
