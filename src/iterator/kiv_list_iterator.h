#pragma once
// Every object under a bucket prefix, listed page by page on a dedicated OS
// thread and handed out as lazily opened streaming objects. next() is called
// by one host thread, which must be a runtime thread; the destructor stops
// and joins the listing thread.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>
#include <thread>

#include "iterator/iterator.h"
#include "iterator/object_queue.h"
#include "zentho/fs/filesystem.h"

namespace FileSystem {
class KIVListFs;
}

class KivListIterator : public IDataObjectIterator {
public:
    static constexpr int MAX_KEYS = 1000;

    // Neither file system is owned. The lister is used only on the listing
    // thread; every listed object reads through object_fs.
    KivListIterator(FileSystem::KIVListFs* lister, zentho::fs::IFileSystem* object_fs, std::string bucket,
                    std::string prefix, bool fast, int32_t list_concurrency, int32_t list_worker);
    ~KivListIterator() override;

    // Starts the listing thread; always 0.
    int init() override;
    // Blocks until an object arrives; the listing error object once, then null.
    IDataObject* next() override;
    void push(IDataObject* object) override { m_queue.push(object); }

    uint64_t list_count() const { return m_list_count; }
    uint64_t list_from_kiv_count() const { return m_list_from_kiv_count; }

private:
    static int on_listed(void* ctx, size_t key_len, const char* key, int64_t size, time_t mtime, bool is_dir);
    void run();
    void list_kiv();

    int32_t m_max_keys = MAX_KEYS;
    std::string m_bucket, m_prefix;
    FileSystem::KIVListFs* m_lister;
    zentho::fs::IFileSystem* m_object_fs;
    std::string m_marker;
    ObjectQueue m_queue;
    bool m_finished = false;
    // written by the destructor, polled by the listing thread between pages and per entry
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    uint64_t m_list_count = 0;           // host side only
    uint64_t m_list_from_kiv_count = 0;  // listing side only
    bool m_fast;
    int32_t m_list_concurrency;
    int32_t m_list_worker;
};

// Owned by the caller; lister and object_fs must outlive it. Construction
// cannot fail past allocation.
IDataObjectIterator* new_kiv_iterator(FileSystem::KIVListFs* lister, zentho::fs::IFileSystem* object_fs,
                                      const std::string& bucket, const std::string& prefix, bool fast,
                                      int32_t list_concurrency, int32_t list_worker);
