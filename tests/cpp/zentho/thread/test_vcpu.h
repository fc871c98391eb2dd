#pragma once
// A vCPU on an OS thread of its own for tests: it runs until stop().

#include <unistd.h>

#include <atomic>
#include <thread>

#include "zentho/thread/sync.h"
#include "zentho/thread/thread.h"

namespace zentho::test_support {

class TestVcpu {
public:
    explicit TestVcpu(uint64_t event_flags = INIT_EVENT_EPOLL) {
        m_thread = std::thread([this, event_flags] {
            if (init(event_flags) != 0) {
                m_vcpu.store(reinterpret_cast<VCPU*>(-1));
                return;
            }
            m_os_thread = gettid();
            m_vcpu.store(get_vcpu());
            m_quit.wait(1);
            fini();
        });
        while (!m_vcpu.load()) std::this_thread::yield();
    }
    ~TestVcpu() { stop(); }
    // From any thread: the vCPU waits for its threads to finish, then ends.
    void stop() {
        if (!m_thread.joinable()) return;
        m_quit.signal(1);
        m_thread.join();
    }
    VCPU* vcpu() const { return m_vcpu.load(); }
    pid_t os_thread() const { return m_os_thread; }

private:
    std::atomic<VCPU*> m_vcpu{nullptr};
    pid_t m_os_thread = 0;
    Semaphore m_quit;
    std::thread m_thread;
};

}  // namespace zentho::test_support
