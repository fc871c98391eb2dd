#pragma once
// The write-only object behind checkpoints: the host's writes go into a large
// ring and an "obj-upload" thread with several coroutine workers drains it
// into one file opened for multipart upload. Used by one host thread.

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "object/dataobject.h"
#include "zentho/fs/filesystem.h"
#include "zentho/thread/sync.h"

class DataObjectWrite : public IDataObjectWO {
public:
    // Open flag of object store files: upload the written bytes in parts.
    static constexpr int O_MULTIPART_UPLOAD = 1 << 30;

    // fs is not owned; no I/O happens before the first write.
    DataObjectWrite(std::string key, zentho::fs::IFileSystem* fs, uint64_t write_io_size,
                    uint64_t upload_io_size, uint64_t upload_concurrency, uint64_t buffer_size);
    ~DataObjectWrite() override;

    int64_t write(const void* src, uint64_t count) override;
    // Drains the ring, closes the file (which completes the upload) and reports
    // any failure of the workers or of the completion.
    int close() override;

    uint64_t total_write_count() const { return m_total_write_count; }

private:
    struct Ring;

    int init();
    int64_t put(const char* src, uint64_t w);
    // A region of the ring for one upload: its bytes stay in the ring until
    // release, so memory is the ring alone whatever the concurrency.
    struct Region;
    int64_t take(uint64_t want, Region& out);
    void release(const Region& region);
    void mark_failure();
    void async_upload();
    static void* upload_worker(void* arg);

    std::unique_ptr<Ring> m_ring;
    std::thread m_upload_thread;
    uint64_t m_write_io_size;
    uint64_t m_upload_io_size;
    uint64_t m_upload_concurrency;
    uint64_t m_buffer_size;
    uint64_t m_total_write_count = 0;
    zentho::fs::IFileSystem* m_fs;
    std::unique_ptr<zentho::fs::IFile> m_file;
    uint64_t m_written_since_open = 0;
    std::atomic<bool> m_upload_failed{false};
    std::atomic<uint64_t> m_total_upload{0};
};
