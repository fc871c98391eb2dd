#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "log_capture.h"
#include "zentho/io/aio-wrapper.h"
#include "zentho/io/signal.h"
#include "zentho/thread/thread.h"

using namespace zentho;

namespace {

template <typename F>
void on_vcpu(F&& body) {
    std::thread t([&] {
        ASSERT_EQ(init(INIT_EVENT_EPOLL), 0);
        body();
        fini();
    });
    t.join();
}

// Runs body in a forked child of the calling (vCPU) thread; the child's exit
// status is body's result.
template <typename F>
int in_child(F&& body) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);
        _exit(body());
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -100;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST(LibAio, StartsClampsStopsAndReadsFiles) {
    LogCapture log;
    TempDir d;
    std::string p = d.write("f", "kernel aio bytes");
    on_vcpu([&] {
        errno = 0;
        EXPECT_EQ(libaio_wrapper_init(0), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_TRUE(log.contains("iodepth should be greater than 0"));
        EXPECT_EQ(libaio_queue_depth(), -1);

        ASSERT_EQ(libaio_wrapper_init(5000), 0);
        EXPECT_EQ(libaio_queue_depth(), 2048);
        EXPECT_EQ(libaio_wrapper_init(7), 0);  // already there: no new context
        EXPECT_EQ(libaio_queue_depth(), 2048);
        EXPECT_TRUE(log.contains("libaio initialized"));

        int fd = ::open(p.c_str(), O_RDWR);
        char buf[32] = {};
        EXPECT_EQ(libaio_pread(fd, buf, 6, 7), 6);
        EXPECT_STREQ(buf, "aio by");
        EXPECT_EQ(libaio_pwrite(fd, "AIO", 3, 7), 3);
        EXPECT_EQ(::pread(fd, buf, 16, 0), 16);
        EXPECT_EQ(std::string(buf, 16), "kernel AIO bytes");
        errno = 0;
        EXPECT_EQ(libaio_pread(-1, buf, 1, 0), -1);
        EXPECT_EQ(errno, EBADF);
        ::close(fd);

        EXPECT_EQ(libaio_wrapper_fini(), 0);
        EXPECT_TRUE(log.contains("libaio finished"));
        EXPECT_EQ(libaio_queue_depth(), -1);
        EXPECT_EQ(libaio_wrapper_fini(), 0);
    });
}

TEST(LibAio, SurvivesFork) {
    LogCapture log;
    TempDir d;
    std::string p = d.write("f", "0123456789");
    on_vcpu([&] {
        ASSERT_EQ(libaio_wrapper_init(32), 0);
        int rc = in_child([&] {
            int fd = ::open(p.c_str(), O_RDONLY);
            char buf[4] = {};
            if (libaio_pread(fd, buf, 3, 4) != 3 || std::string(buf) != "456") return 1;
            return libaio_wrapper_fini() == 0 ? 0 : 2;
        });
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(log.contains("reset libaio by reset handle"));
        // the parent's context is untouched
        int fd = ::open(p.c_str(), O_RDONLY);
        char buf[4] = {};
        EXPECT_EQ(libaio_pread(fd, buf, 2, 0), 2);
        EXPECT_STREQ(buf, "01");
        ::close(fd);
        EXPECT_EQ(libaio_wrapper_fini(), 0);
    });
}

std::atomic<int> g_usr1{0};
std::atomic<int> g_usr2_pid{0};

bool wait_for(const std::atomic<int>& v, int want) {
    for (int i = 0; i < 1000 && v.load() < want; ++i) thread_usleep(Timeout(1000));
    return v.load() >= want;
}

TEST(SyncSignal, HandlesBlockedSignalsOnTheLoopAndStops) {
    LogCapture log;
    on_vcpu([&] {
        ASSERT_EQ(sync_signal_init(), 0);
        EXPECT_TRUE(log.contains("signalfd initialized"));
        EXPECT_EQ(sync_signal_init(), 0);
        g_usr1 = 0;
        ASSERT_EQ(sync_signal(SIGUSR1, [](int s) { g_usr1 += s == SIGUSR1; }), 0);
        ASSERT_EQ(sync_sigaction(SIGUSR2, [](int, siginfo_t* i, void*) { g_usr2_pid = i->si_pid; }), 0);
        pthread_kill(pthread_self(), SIGUSR1);
        EXPECT_TRUE(wait_for(g_usr1, 1));
        pthread_kill(pthread_self(), SIGUSR1);
        EXPECT_TRUE(wait_for(g_usr1, 2));
        pthread_kill(pthread_self(), SIGUSR2);
        EXPECT_TRUE(wait_for(g_usr2_pid, 1));
        EXPECT_EQ(g_usr2_pid.load(), getpid());
        EXPECT_EQ(sync_signal(65, nullptr), -1);
        EXPECT_EQ(errno, EINVAL);

        // only the starting vCPU stops it
        std::thread other([] {
            init(INIT_EVENT_EPOLL);
            EXPECT_EQ(sync_signal_fini(), 0);
            fini();
        });
        other.join();
        EXPECT_FALSE(log.contains("signalfd finished"));
        EXPECT_EQ(sync_signal_fini(), 0);
        EXPECT_TRUE(log.contains("signalfd finished"));
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        EXPECT_FALSE(sigismember(&mask, SIGUSR1));
    });
}

TEST(SyncSignal, SurvivesFork) {
    LogCapture log;
    on_vcpu([&] {
        ASSERT_EQ(sync_signal_init(), 0);
        ASSERT_EQ(sync_signal(SIGUSR1, [](int) { ++g_usr1; }), 0);
        g_usr1 = 0;
        int rc = in_child([&] {
            // handlers were forgotten by the reset; a new one works on the new descriptor
            if (sync_signal(SIGUSR1, [](int) { g_usr1 += 10; }) != 0) return 1;
            pthread_kill(pthread_self(), SIGUSR1);
            if (!wait_for(g_usr1, 10)) return 2;
            return sync_signal_fini() == 0 ? 0 : 3;
        });
        EXPECT_EQ(rc, 0);
        EXPECT_TRUE(log.contains("reset signalfd by reset handle"));
        pthread_kill(pthread_self(), SIGUSR1);
        EXPECT_TRUE(wait_for(g_usr1, 1));
        EXPECT_EQ(g_usr1.load(), 1);
        EXPECT_EQ(sync_signal_fini(), 0);
    });
}

}  // namespace
