#include "zentho/io/signal.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "zentho/common/logger.h"
#include "zentho/io/event_engine.h"
#include "zentho/io/reset_handle.h"
#include "zentho/thread/executor.h"
#include "zentho/thread/sync.h"

namespace zentho {

namespace {

constexpr int MAX_SIGNAL = 64;

class SignalResetHandle : public ResetHandle {
public:
    int reset() override;
};

struct SignalService {
    Mutex mutex;
    int fd = -1;
    void* handlers[MAX_SIGNAL + 1] = {};
    sigset_t infoset;  // handlers taking siginfo
    sigset_t blockset;
    EventLoop* loop = nullptr;
    VCPU* vcpu = nullptr;
    SignalResetHandle* reset_handle = nullptr;
};

SignalService& service() {
    static SignalService s;
    return s;
}

int wait_signal(void*, EventLoop*) {
    SignalService& s = service();
    if (wait_for_fd_readable(s.fd, Timeout()) == 0) return 1;
    if (errno == ETIMEDOUT) {
        LOG_DEBUG("timeout during wait for signal");
        return 0;
    }
    LOG_DEBUG("wait for signalfd failed because ", ERRNO(), ", stop watching");
    return -1;
}

int fire_signal(void*, EventLoop*) {
    SignalService& s = service();
    struct signalfd_siginfo rec;
    ssize_t n = ::read(s.fd, &rec, sizeof(rec));
    if (n < 0) {
        // nothing pending after all (another reader, or a spurious wake-up)
        if (errno == EAGAIN) return 0;
        LOG_ERROR_RETURN(0, -1, "SignalFD read failed ", ERRNO());
    }
    if (n == 0) LOG_ERROR_RETURN(0, -1, "SignalFD readable happend but nothing to read");
    if (size_t(n) < sizeof(rec)) LOG_ERROR_RETURN(0, -1, "SignalFD partial read");
    int signo = int(rec.ssi_signo);
    if (signo > MAX_SIGNAL) LOG_ERROR_RETURN(EINVAL, -1, "signal number ", signo, " too big (", MAX_SIGNAL, " maximum)");
    void* h = s.handlers[signo];
    if (!h) return 0;
    if (sigismember(&s.infoset, signo)) {
        siginfo_t info;
        memset(&info, 0, sizeof(info));
        info.si_signo = signo;
        info.si_errno = rec.ssi_errno;
        info.si_code = rec.ssi_code;
        info.si_pid = pid_t(rec.ssi_pid);
        info.si_uid = uid_t(rec.ssi_uid);
        info.si_status = rec.ssi_status;
        reinterpret_cast<sync_sigaction_handler>(h)(signo, &info, nullptr);
    } else {
        reinterpret_cast<sync_signal_handler>(h)(signo);
    }
    return 0;
}

int SignalResetHandle::reset() {
    SignalService& s = service();
    if (s.fd < 0) return 0;
    LOG_INFO("reset signalfd by reset handle");
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    memset(s.handlers, 0, sizeof(s.handlers));
    sigemptyset(&s.infoset);
    ::close(s.fd);
    sigfillset(&s.blockset);
    s.fd = signalfd(-1, &s.blockset, SFD_NONBLOCK | SFD_CLOEXEC);
    if (s.fd < 0) {
        LOG_ERROR("failed to create signalfd() or kqueue() ", ERRNO());
        exit(1);
    }
    if (s.loop && s.loop->loop_thread()) thread_interrupt(s.loop->loop_thread(), ETIMEDOUT);
    return 0;
}

struct Locked {
    Mutex& m;
    explicit Locked(Mutex& x) : m(x) {
        while (m.lock() != 0) {
        }
    }
    ~Locked() { m.unlock(); }
};

int register_handler(int signum, void* handler, bool info) {
    if (signum < 1 || signum > MAX_SIGNAL) LOG_ERROR_RETURN(EINVAL, -1, "invalid signal number ", VALUE(signum));
    SignalService& s = service();
    if (s.fd < 0) LOG_ERROR_RETURN(EINVAL, -1, "signal service not started");
    s.handlers[signum] = handler;
    if (info)
        sigaddset(&s.infoset, signum);
    else
        sigdelset(&s.infoset, signum);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signum);
    // blocked signals are the ones that reach the signalfd
    if (sigprocmask(handler ? SIG_BLOCK : SIG_UNBLOCK, &one, nullptr) != 0)
        LOG_ERROR_RETURN(0, -1, "failed to set sigprocmask() ", ERRNO());
    return 0;
}

}  // namespace

int sync_signal_init() {
    if (!CURRENT) LOG_ERROR_RETURN(ENOSYS, -1, "the signal service needs a vCPU on this thread");
    SignalService& s = service();
    Locked g(s.mutex);
    if (s.fd >= 0) return 0;
    memset(s.handlers, 0, sizeof(s.handlers));
    sigemptyset(&s.infoset);
    sigfillset(&s.blockset);
    s.fd = signalfd(-1, &s.blockset, SFD_NONBLOCK | SFD_CLOEXEC);
    if (s.fd < 0) LOG_ERROR_RETURN(0, -1, "failed to create signalfd() or kqueue() ", ERRNO());
    s.loop = new_event_loop(&wait_signal, nullptr, &fire_signal, nullptr);
    s.vcpu = get_vcpu();
    if (!s.loop) {
        ::close(s.fd);
        s.fd = -1;
        LOG_ERROR_RETURN(EFAULT, -1, "failed to thread_create() for signal handling");
    }
    s.loop->async_run();
    thread_yield();
    if (!s.reset_handle) s.reset_handle = new SignalResetHandle;
    LOG_INFO("signalfd initialized");
    sigemptyset(&s.blockset);
    if (sigprocmask(SIG_SETMASK, &s.blockset, nullptr) != 0)
        LOG_ERROR_RETURN(0, -1, "failed to set sigprocmask() ", ERRNO());
    return 0;
}

int sync_signal_fini() {
    if (!CURRENT) return 0;
    SignalService& s = service();
    Locked g(s.mutex);
    if (s.vcpu != get_vcpu() || s.fd < 0) return 0;
    s.loop->stop();
    ::close(s.fd);
    s.fd = -1;
    delete s.loop;
    s.loop = nullptr;
    s.vcpu = nullptr;
    delete s.reset_handle;
    s.reset_handle = nullptr;
    memset(s.handlers, 0, sizeof(s.handlers));
    LOG_INFO("signalfd finished");
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0) LOG_ERROR_RETURN(0, -1, "failed to set sigprocmask()");
    return 0;
}

int sync_signal(int signum, sync_signal_handler handler) {
    return register_handler(signum, reinterpret_cast<void*>(handler), false);
}

int sync_sigaction(int signum, sync_sigaction_handler handler) {
    return register_handler(signum, reinterpret_cast<void*>(handler), true);
}

}  // namespace zentho
