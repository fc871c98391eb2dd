#include "object/allocator.h"

#include "zentho/common/logger.h"

MemAllocator::MemAllocator(uint64_t buffer_size, int count)
    : m_sem(uint64_t(count > 0 ? count : 0)), m_total(count > 0 ? count : 0),
      m_available(m_total), m_buffer_size(buffer_size) {
    m_buffers.reserve(m_total);
    for (int32_t i = 0; i < m_total; ++i) {
        auto* b = new MemBuffer(buffer_size, this);
        m_buffers.push_back(b);
        m_free.push_back(b);
    }
    int32_t total = m_total;
    LOG_INFO("new allocator ", VALUE(total));
}

MemAllocator::~MemAllocator() {
    int32_t total = m_total, available = m_available;
    LOG_INFO("destruct allocator ", VALUE(total), VALUE(available));
    for (auto* b : m_buffers) delete b;
}

IBuffer* MemAllocator::alloc() {
    if (__atomic_load_n(&m_state, __ATOMIC_ACQUIRE) != RUNNING) return nullptr;
    if (m_sem.wait(1) < 0) return nullptr;
    if (__atomic_load_n(&m_state, __ATOMIC_ACQUIRE) != RUNNING) return nullptr;
    m_mutex.lock();
    --m_available;
    MemBuffer* b = m_free.back();
    m_free.pop_back();
    m_mutex.unlock();
    return b;
}

int MemAllocator::release(IBuffer* buffer) {
    m_mutex.lock();
    m_free.push_back(static_cast<MemBuffer*>(buffer));
    ++m_available;
    m_sem.signal(1);
    bool last = m_state == DELETE_ON_RELEASE && m_available == m_total;
    m_mutex.unlock();
    if (last) {
        LOG_INFO("delete allocator in release ", VALUE(this));
        delete this;
    }
    return 0;
}

void MemAllocator::stop() {
    __atomic_store_n(&m_state, STOPPED, __ATOMIC_RELEASE);
    m_sem.signal(uint64_t(m_total));
    m_mutex.lock();
    if (m_available == m_total) {
        m_mutex.unlock();
        LOG_INFO("delete allocator in stop ", VALUE(this));
        delete this;
        return;
    }
    m_state = DELETE_ON_RELEASE;
    int32_t total = m_total, available = m_available;
    m_mutex.unlock();
    LOG_INFO("allocator will be delete in release", VALUE(total), VALUE(available), VALUE(this));
}
