#include "zentho/io/epoll.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

#include "zentho/common/logger.h"

namespace zentho {

namespace {

constexpr uint32_t KINDS = EVENT_READ | EVENT_WRITE | EVENT_ERROR;

uint32_t epoll_mask(uint32_t interests) {
    uint32_t m = 0;
    if (interests & EVENT_READ) m |= EPOLLIN | EPOLLRDHUP;
    if (interests & EVENT_WRITE) m |= EPOLLOUT;
    if (interests & EVENT_ERROR) m |= EPOLLERR;
    return m;
}

}  // namespace

EventEngineEPoll::EventEngineEPoll() { LOG_INFO("Init event engine: epoll"); }

EventEngineEPoll::~EventEngineEPoll() {
    LOG_INFO("Finish event engine: epoll");
    close_descriptors();
}

void EventEngineEPoll::close_descriptors() {
    if (m_epfd >= 0) close(m_epfd);
    if (m_evfd >= 0) close(m_evfd);
    m_epfd = m_evfd = -1;
}

int EventEngineEPoll::init() {
    m_epfd = epoll_create1(EPOLL_CLOEXEC);
    if (m_epfd < 0) LOG_ERROR_RETURN(0, -1, "failed to epoll_create(1) ", ERRNO());
    m_evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_evfd < 0) {
        LOG_ERROR("failed to create eventfd ", ERRNO());
        close_descriptors();
        return -1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = uint64_t(m_evfd);
    if (epoll_ctl(m_epfd, EPOLL_CTL_ADD, m_evfd, &ev) != 0) {
        int e = errno;
        LOG_WARN("failed to call epoll_ctl(", VALUE(m_epfd), ", EPOLL_CTL_ADD, ", VALUE(m_evfd), ", ",
                 VALUE(ev.events), ", ", VALUE(ev.data.u64), ") ", ERRNO(e));
        LOG_ERROR("failed to add eventfd(", m_evfd, ") to epollfd(", m_epfd, ") ", ERRNO(e));
        close_descriptors();
        errno = e;
        return -1;
    }
    return 0;
}

int EventEngineEPoll::reset() {
    close_descriptors();
    m_table.clear();
    m_nevents = 0;
    return init();
}

int EventEngineEPoll::ctl(int op, int fd, uint32_t interests) {
    epoll_event ev{};
    ev.events = epoll_mask(interests);
    ev.data.u64 = uint64_t(fd);
    if (epoll_ctl(m_epfd, op, fd, &ev) == 0) return 0;
    int e = errno;
    LOG_WARN("failed to call epoll_ctl(", VALUE(m_epfd), ", ", VALUE(op), ", ", VALUE(fd), ", ",
             VALUE(ev.events), ", ", VALUE(ev.data.u64), ") ", ERRNO(e));
    errno = e;
    return -e;
}

int EventEngineEPoll::add_interest(Event e) {
    if (e.fd < 0) LOG_ERROR_RETURN(EINVAL, -1, "invalid file descriptor ", e.fd);
    size_t fd = size_t(e.fd);
    if (fd >= m_table.size()) m_table.resize(std::max(2 * fd, fd + 1));
    Entry& en = m_table[fd];
    uint32_t want = e.interests & KINDS;
    uint32_t have = en.interests & KINDS;
    uint32_t overlap = want & have;
    if (((overlap & EVENT_READ) && en.reader != e.data) || ((overlap & EVENT_WRITE) && en.writer != e.data) ||
        ((overlap & EVENT_ERROR) && en.error != e.data))
        LOG_ERROR_RETURN(EALREADY, -1, "conflicted interest(s)");
    if (have && ((e.interests ^ en.interests) & ONE_SHOT))
        LOG_ERROR_RETURN(EINVAL, -1, "do not support ONE_SHOT on no-oneshot interested fd");
    Entry saved = en;
    if (want & EVENT_READ) en.reader = e.data;
    if (want & EVENT_WRITE) en.writer = e.data;
    if (want & EVENT_ERROR) en.error = e.data;
    en.interests |= e.interests;
    int r = ctl(have ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, e.fd, en.interests);
    // a descriptor closed and reused behind the table's back is new to the kernel
    if (r == -ENOENT && have) r = ctl(EPOLL_CTL_ADD, e.fd, en.interests);
    if (r < 0) en = saved;
    return r;
}

int EventEngineEPoll::rm_interest(Event e) {
    if (e.fd < 0 || size_t(e.fd) >= m_table.size()) LOG_ERROR_RETURN(EINVAL, -1, "invalid file descriptor ", e.fd);
    Entry& en = m_table[size_t(e.fd)];
    uint32_t r = e.interests & en.interests & KINDS;
    if (!r) return 0;
    en.interests &= ~r;
    if (r & EVENT_READ) en.reader = nullptr;
    if (r & EVENT_WRITE) en.writer = nullptr;
    if (r & EVENT_ERROR) en.error = nullptr;
    if (!(en.interests & KINDS)) {
        en = Entry();
        return ctl(EPOLL_CTL_DEL, e.fd, 0);
    }
    return ctl(EPOLL_CTL_MOD, e.fd, en.interests);
}

void EventEngineEPoll::fetch(uint64_t timeout_us) {
    if (m_nevents) return;
    while (m_epfd >= 0) {
        int ms = timeout_us == 0 ? 0 : timeout_us < 1024 ? 1 : int(std::min<uint64_t>(timeout_us >> 10, INT_MAX));
        int n = epoll_wait(m_epfd, m_events, MAX_EVENTS, ms);
        if (n >= 0) {
            m_nevents = uint16_t(n);
            return;
        }
        if (errno == EINTR) continue;
        usleep(1024);
        return;
    }
}

template <typename Fire>
void EventEngineEPoll::process_last(Fire&& fire) {
    const epoll_event& ev = m_events[--m_nevents];
    int fd = int(ev.data.u64);
    if (fd == m_evfd) {
        eventfd_t value;
        eventfd_read(m_evfd, &value);
        return;
    }
    if (fd < 0 || size_t(fd) >= m_table.size()) return;
    uint32_t events = ev.events;
    auto fire_kind = [&](uint32_t kind, void* Entry::*slot) {
        Entry& en = m_table[size_t(fd)];
        void* data = en.*slot;
        if (en.interests & ONE_SHOT) rm_interest({fd, kind | ONE_SHOT, nullptr});
        fire(data);
    };
    if ((events & EPOLLERR) && (m_table[size_t(fd)].interests & EVENT_ERROR)) fire_kind(EVENT_ERROR, &Entry::error);
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) && (m_table[size_t(fd)].interests & EVENT_READ))
        fire_kind(EVENT_READ, &Entry::reader);
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) && (m_table[size_t(fd)].interests & EVENT_WRITE))
        fire_kind(EVENT_WRITE, &Entry::writer);
}

ssize_t EventEngineEPoll::dispatch_events(uint64_t timeout_us) {
    fetch(timeout_us);
    ssize_t woken = 0;
    while (m_nevents) {
        process_last([&](void* data) {
            thread_interrupt(static_cast<Thread*>(data), ENXIO);
            ++woken;
        });
    }
    return woken;
}

int EventEngineEPoll::wakeup() { return eventfd_write(m_evfd, 1); }

int EventEngineEPoll::wait_for_fd(int fd, uint32_t interests, Timeout timeout) {
    Event ev{fd, interests | ONE_SHOT, CURRENT};
    if (add_interest(ev) < 0) LOG_ERROR_RETURN(0, -1, "failed to add event interest");
    int r = thread_usleep(timeout);
    int e = errno;
    if (r < 0 && e == ENXIO) return 0;
    rm_interest(ev);
    errno = r == 0 ? ETIMEDOUT : e;
    return -1;
}

ssize_t EventEngineEPoll::wait_for_events(void** data, size_t capacity, Timeout timeout) {
    // events left over from the last call are served without waiting
    if (!m_nevents) {
        if (zentho::wait_for_fd(m_epfd, EVENT_READ, timeout) < 0) return errno == ETIMEDOUT ? 0 : -1;
        fetch(0);
    }
    size_t n = 0;
    while (m_nevents && capacity - n >= 3) process_last([&](void* p) { data[n++] = p; });
    return ssize_t(n);
}

MasterEventEngine* new_epoll_engine() {
    auto* e = new EventEngineEPoll();
    if (e->init() == 0) return e;
    delete e;
    return nullptr;
}

CascadingEventEngine* new_epoll_cascading_engine() {
    auto* e = new EventEngineEPoll();
    if (e->init() == 0) return e;
    delete e;
    return nullptr;
}

}  // namespace zentho
