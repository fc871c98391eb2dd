#pragma once
// The epoll event engine, usable as a vCPU's master engine or as a cascading
// interest set. Readiness is level-triggered in the kernel and one-shot in
// software; at most 16 events are fetched per system call.

#include <sys/epoll.h>

#include <cstdint>
#include <vector>

#include "zentho/io/event_engine.h"
#include "zentho/io/reset_handle.h"

namespace zentho {

class EventEngineEPoll : public MasterEventEngine, public CascadingEventEngine, public ResetHandle {
public:
    EventEngineEPoll();
    ~EventEngineEPoll() override;
    // Creates the descriptors: 0 or -1 (logged).
    int init();

    int wait_for_fd(int fd, uint32_t interests, Timeout timeout) override;
    ssize_t dispatch_events(uint64_t timeout_us) override;
    int wakeup() override;
    // In a forked child: new descriptors, no interests, no pending events.
    int reset() override;
    // -1 with errno for invalid or conflicting requests; -errno when the
    // kernel refuses (the registration is then left as it was).
    int add_interest(Event e) override;
    int rm_interest(Event e) override;
    ssize_t wait_for_events(void** data, size_t capacity, Timeout timeout) override;

    int epoll_fd() const { return m_epfd; }

    static constexpr int MAX_EVENTS = 16;

private:
    struct Entry {
        uint32_t interests = 0;
        void* reader = nullptr;
        void* writer = nullptr;
        void* error = nullptr;
    };

    int ctl(int op, int fd, uint32_t interests);
    void close_descriptors();
    void fetch(uint64_t timeout_us);
    template <typename Fire>
    void process_last(Fire&& fire);

    int m_epfd = -1;
    int m_evfd = -1;
    std::vector<Entry> m_table;
    epoll_event m_events[MAX_EVENTS];
    uint16_t m_nevents = 0;
};

// A new epoll master engine, or null (logged).
MasterEventEngine* new_epoll_engine();
// A new epoll interest set owned by the caller, or null (logged).
CascadingEventEngine* new_epoll_cascading_engine();

}  // namespace zentho
