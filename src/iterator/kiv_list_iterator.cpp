#include "iterator/kiv_list_iterator.h"

#include <pthread.h>

#include "kivfs/kivfs_v2.h"
#include "object/object_basic.h"
#include "zentho/common/logger.h"
#include "zentho/thread/thread.h"

using namespace zentho;

KivListIterator::KivListIterator(FileSystem::KIVListFs* lister, fs::IFileSystem* object_fs, std::string bucket,
                                 std::string prefix, bool fast, int32_t list_concurrency, int32_t list_worker)
    : m_bucket(std::move(bucket)),
      m_prefix(std::move(prefix)),
      m_lister(lister),
      m_object_fs(object_fs),
      m_fast(fast),
      m_list_concurrency(list_concurrency),
      m_list_worker(list_worker) {
    include_errors = false;
}

KivListIterator::~KivListIterator() {
    LOG_INFO("destruct KivListIterator");
    m_stop = true;
    // frees queue space so that a producer waiting on a full queue sees the stop
    m_queue.clear_queue();
    if (m_thread.joinable()) m_thread.join();
    m_queue.clear_queue();
    uint64_t list_from_kiv_count = m_list_from_kiv_count, list_count = m_list_count;
    LOG_INFO("destruct KivListIterator done ", VALUE(list_from_kiv_count), VALUE(list_count));
}

int KivListIterator::init() {
    m_thread = std::thread([this] { run(); });
    return 0;
}

void KivListIterator::run() {
    pthread_setname_np(pthread_self(), "kiv-list");
    if (zentho::init(INIT_EVENT_EPOLL, INIT_IO_NONE) < 0) {
        int e = errno > 0 ? errno : EIO;
        LOG_ERROR("failed to init runtime for listing ", ERRNO(e));
        push(new_error_dataobject("", e, "failed to list objects"));
        return;
    }
    // The parallel lister is not available yet: a fast listing runs page by
    // page, which yields the same objects.
    if (m_fast) {
        LOG_WARN("fast list unavailable, listing page by page ", VALUE(m_list_concurrency), VALUE(m_list_worker));
    }
    list_kiv();
    LOG_INFO("list objects finished");
    zentho::fini();
}

void KivListIterator::list_kiv() {
    while (!m_stop) {
        int r = m_lister->list_objects(m_bucket, m_prefix, &m_marker, &KivListIterator::on_listed, this,
                                       m_max_keys, true, {});
        if (r < 0) {
            int e = errno > 0 ? errno : EIO;
            push(new_error_dataobject("", e, "failed to list objects"));
            LOG_ERROR("failed to list objects ", ERRNO(e));
            LOG_ERROR("list error, break");
            return;
        }
        if (m_marker.empty()) {
            LOG_INFO("kiv list objects finished");
            push(new_end_marker());
            return;
        }
    }
}

int KivListIterator::on_listed(void* ctx, size_t key_len, const char* key, int64_t size, time_t, bool) {
    auto* self = static_cast<KivListIterator*>(ctx);
    if (self->m_stop) return 0;
    // directory placeholders and empty objects are not data
    if (size == 0 || (key_len > 0 && key[key_len - 1] == '/')) return 0;
    std::string path;
    path.reserve(self->m_bucket.size() + key_len + 2);
    path.append("/").append(self->m_bucket).append("/").append(key, key_len);
    self->push(new DataObjectBasicRO(std::move(path), size, "", self->m_object_fs));
    self->m_list_from_kiv_count++;
    return 0;
}

IDataObject* KivListIterator::next() {
    if (m_finished) return nullptr;
    IDataObject* obj = m_queue.receive();
    if (obj->key.empty()) {
        m_finished = true;
        if (obj->size >= 0) {
            delete obj;
            return nullptr;
        }
        return obj;
    }
    m_list_count++;
    return obj;
}

IDataObjectIterator* new_kiv_iterator(FileSystem::KIVListFs* lister, fs::IFileSystem* object_fs,
                                      const std::string& bucket, const std::string& prefix, bool fast,
                                      int32_t list_concurrency, int32_t list_worker) {
    auto* it = new KivListIterator(lister, object_fs, bucket, prefix, fast, list_concurrency, list_worker);
    it->init();
    return it;
}
