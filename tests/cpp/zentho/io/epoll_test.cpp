#include "zentho/io/epoll.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "zentho/thread/sync.h"
#include "zentho/thread/thread.h"

using namespace zentho;

namespace {

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            r = fds[0];
            w = fds[1];
        }
    }
    ~Pipe() {
        if (r >= 0) close(r);
        if (w >= 0) close(w);
    }
    void put() { ASSERT_EQ(write(w, "x", 1), 1); }
};

class EpollTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(init(INIT_EVENT_EPOLL), 0);
        engine = dynamic_cast<EventEngineEPoll*>(get_master_engine());
        ASSERT_NE(engine, nullptr);
    }
    void TearDown() override { EXPECT_EQ(fini(), 0); }
    EventEngineEPoll* engine = nullptr;
};

template <typename F>
Thread* spawn(F* f) {
    Thread* th = thread_create([](void* p) -> void* {
        (*static_cast<F*>(p))();
        return nullptr;
    }, f, 256 * 1024);
    thread_set_joinable(th);
    return th;
}

// A fresh registration of every kind with new data succeeds only if nothing
// of fd is left registered.
void expect_unregistered(CascadingEventEngine* e, int fd) {
    int token;
    Event ev{fd, EVENT_READ | EVENT_WRITE, &token};
    EXPECT_EQ(e->add_interest(ev), 0);
    EXPECT_EQ(e->rm_interest(ev), 0);
}

TEST_F(EpollTest, WaitOnReadyDescriptorReturnsAfterDispatchAndUnregisters) {
    Pipe p;
    p.put();
    EXPECT_EQ(wait_for_fd_readable(p.r, Timeout(1000000)), 0);
    expect_unregistered(engine, p.r);
    // not yet readable: the wait ends when a writer fills it
    char c;
    ASSERT_EQ(read(p.r, &c, 1), 1);
    auto writer = [&] {
        thread_usleep(5000);
        p.put();
    };
    Thread* th = spawn(&writer);
    EXPECT_EQ(wait_for_fd_readable(p.r, Timeout(5000000)), 0);
    thread_join(th);
    EXPECT_EQ(wait_for_fd_writable(p.w, Timeout(1000000)), 0);
}

TEST_F(EpollTest, TimeoutReturnsEtimedoutAndLeavesNoRegistration) {
    Pipe p;
    auto t0 = now_us.load();
    EXPECT_EQ(wait_for_fd_readable(p.r, Timeout(10000)), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(update_now() - t0, 10000u);
    expect_unregistered(engine, p.r);
    EXPECT_EQ(wait_for_fd_readable(p.r, Timeout::from_expiration(0)), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    expect_unregistered(engine, p.r);
}

TEST_F(EpollTest, ConflictingRegistrations) {
    Pipe p;
    int second_r = 0, second_e = 0, first_r = 1;
    auto first = [&] { first_r = wait_for_fd_readable(p.r, Timeout(2000000)); };
    auto second = [&] {
        second_r = wait_for_fd_readable(p.r, Timeout(2000000));
        second_e = errno;
    };
    Thread* t1 = spawn(&first);
    Thread* t2 = spawn(&second);
    thread_yield();
    EXPECT_EQ(second_r, -1);
    EXPECT_EQ(second_e, EALREADY);
    // a registration without ONE_SHOT beside a one-shot waiter
    int token;
    errno = 0;
    EXPECT_EQ(engine->add_interest({p.r, EVENT_WRITE, &token}), -1);
    EXPECT_EQ(errno, EINVAL);
    p.put();
    thread_join(t1);
    thread_join(t2);
    EXPECT_EQ(first_r, 0);
    // the same kind again with the same data is allowed
    EXPECT_EQ(engine->add_interest({p.w, EVENT_WRITE, &token}), 0);
    EXPECT_EQ(engine->add_interest({p.w, EVENT_WRITE, &token}), 0);
    EXPECT_EQ(engine->rm_interest({p.w, EVENT_WRITE, &token}), 0);
    errno = 0;
    EXPECT_EQ(engine->add_interest({-1, EVENT_READ, &token}), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(engine->rm_interest({1 << 20, EVENT_READ, &token}), -1);
    EXPECT_EQ(errno, EINVAL);
}

// A registration the kernel refuses leaves the table as it was: the number
// can be registered again once it names an open descriptor.
TEST_F(EpollTest, RefusedRegistrationLeavesNoStaleEntry) {
    int fd;
    {
        Pipe p;
        fd = p.r;
    }
    int a, b;
    int r = engine->add_interest({fd, EVENT_READ | ONE_SHOT, &a});
    EXPECT_EQ(r, -EBADF);
    Pipe again;
    ASSERT_EQ(again.r, fd);  // the number comes back
    EXPECT_EQ(engine->add_interest({fd, EVENT_READ, &b}), 0);
    EXPECT_EQ(engine->rm_interest({fd, EVENT_READ, &b}), 0);
}

TEST_F(EpollTest, ErrorFiresErrorReadWriteInThatOrder) {
    std::unique_ptr<CascadingEventEngine> ce(new_epoll_cascading_engine());
    ASSERT_NE(ce, nullptr);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    int er, rd, wr;
    ASSERT_EQ(ce->add_interest({fds[1], EVENT_ERROR, &er}), 0);
    ASSERT_EQ(ce->add_interest({fds[1], EVENT_READ, &rd}), 0);
    ASSERT_EQ(ce->add_interest({fds[1], EVENT_WRITE, &wr}), 0);
    close(fds[0]);  // the write end now reports EPOLLERR
    void* out[8] = {};
    ASSERT_EQ(ce->wait_for_events(out, 8, Timeout(1000000)), 3);
    EXPECT_EQ(out[0], &er);
    EXPECT_EQ(out[1], &rd);
    EXPECT_EQ(out[2], &wr);
    // level-triggered: still registered, fires again
    EXPECT_EQ(ce->wait_for_events(out, 8, Timeout(1000000)), 3);
    EXPECT_EQ(ce->rm_interest({fds[1], EVENT_ERROR | EVENT_READ | EVENT_WRITE, nullptr}), 0);
    EXPECT_EQ(ce->wait_for_events(out, 8, Timeout(5000)), 0);
    close(fds[1]);
}

TEST_F(EpollTest, CascadingOneShotAndSmallCapacity) {
    std::unique_ptr<CascadingEventEngine> ce(new_epoll_cascading_engine());
    Pipe p1, p2;
    int d1, d2;
    ASSERT_EQ(ce->add_interest({p1.r, EVENT_READ | ONE_SHOT, &d1}), 0);
    ASSERT_EQ(ce->add_interest({p2.r, EVENT_READ, &d2}), 0);
    p1.put();
    p2.put();
    void* out[4] = {};
    // one event may fire three kinds: fewer than 3 free slots store nothing
    EXPECT_EQ(ce->wait_for_events(out, 2, Timeout(1000000)), 0);
    EXPECT_EQ(ce->wait_for_events(out, 3, Timeout(1000000)), 1);
    void* first = out[0];
    EXPECT_EQ(ce->wait_for_events(out, 3, Timeout(1000000)), 1);
    void* second = out[0];
    EXPECT_TRUE((first == &d1 && second == &d2) || (first == &d2 && second == &d1));
    // the one-shot interest is gone, the other still fires
    EXPECT_EQ(ce->wait_for_events(out, 4, Timeout(1000000)), 1);
    EXPECT_EQ(out[0], &d2);
    expect_unregistered(ce.get(), p1.r);
    EXPECT_EQ(ce->rm_interest({p2.r, EVENT_READ, &d2}), 0);
}

TEST_F(EpollTest, DispatchTimeouts) {
    // called from the main thread, the engine only reports; no thread waits
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(engine->dispatch_events(0), 0);
    auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(engine->dispatch_events(500), 0);
    auto t2 = std::chrono::steady_clock::now();
    EXPECT_LT(t1 - t0, std::chrono::milliseconds(100));
    EXPECT_GE(t2 - t1, std::chrono::microseconds(900));  // rounded up to 1 ms
    // a wake-up before the wait makes it return at once, and repeated ones coalesce
    for (int i = 0; i < 5; ++i) EXPECT_EQ(engine->wakeup(), 0);
    auto t3 = std::chrono::steady_clock::now();
    engine->dispatch_events(5000000);
    auto t4 = std::chrono::steady_clock::now();
    EXPECT_LT(t4 - t3, std::chrono::seconds(1));
    auto t5 = std::chrono::steady_clock::now();
    engine->dispatch_events(20000);  // drained: this one waits
    EXPECT_GE(std::chrono::steady_clock::now() - t5, std::chrono::milliseconds(15));
}

// More ready descriptors than one fetch holds: all waiters are woken.
TEST_F(EpollTest, ManyWaitersBeyondOneFetch) {
    constexpr int N = 40;
    std::vector<std::unique_ptr<Pipe>> pipes;
    int ok = 0;
    std::vector<Thread*> ths;
    struct Arg {
        int fd;
        int* ok;
    };
    std::vector<Arg> args;
    for (int i = 0; i < N; ++i) pipes.push_back(std::make_unique<Pipe>());
    for (int i = 0; i < N; ++i) args.push_back({pipes[i]->r, &ok});
    for (auto& a : args) {
        ths.push_back(thread_create([](void* p) -> void* {
            auto* a = static_cast<Arg*>(p);
            if (wait_for_fd_readable(a->fd, Timeout(5000000)) == 0) ++*a->ok;
            return nullptr;
        }, &a, 256 * 1024));
        thread_set_joinable(ths.back());
    }
    thread_yield();
    for (auto& p : pipes) p->put();
    for (auto* th : ths) thread_join(th);
    EXPECT_EQ(ok, N);
}

// The idle vCPU blocks in epoll; a plain OS thread's wake-up ends that at once.
TEST_F(EpollTest, PlainThreadWakesBlockedVcpu) {
    Semaphore sem;
    auto start = std::chrono::steady_clock::now();
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sem.signal(1);
    });
    EXPECT_EQ(sem.wait(1, Timeout(20000000)), 0);
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

int child_checks() {
    // inherited engine was rebuilt by the fork child handler
    Pipe p;
    auto writer = [&] {
        thread_usleep(2000);
        p.put();
    };
    Thread* th = spawn(&writer);
    if (wait_for_fd_readable(p.r, Timeout(5000000)) != 0) return 10;
    thread_join(th);
    Semaphore sem;
    std::thread t([&] { sem.signal(1); });
    int r = sem.wait(1, Timeout(5000000));
    t.join();
    if (r != 0) return 11;
    return 0;
}

TEST_F(EpollTest, ForkedChildRebuildsEngineAndParentKeepsWorking) {
    Pipe parent_pipe;
    int mark;
    // a registration from before the fork (one that never fires: the data is
    // no thread); the child's rebuilt engine forgets it
    ASSERT_EQ(engine->add_interest({parent_pipe.w, EVENT_READ, &mark}), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int other;
        if (engine->add_interest({parent_pipe.w, EVENT_READ, &other}) != 0) _exit(12);
        _exit(child_checks());
    }
    // the parent's engine goes on while the child runs
    auto writer = [&] {
        thread_usleep(3000);
        parent_pipe.put();
    };
    Thread* th = spawn(&writer);
    EXPECT_EQ(wait_for_fd_readable(parent_pipe.r, Timeout(5000000)), 0);
    thread_join(th);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    int other;
    EXPECT_EQ(engine->add_interest({parent_pipe.w, EVENT_READ, &other}), -1);  // still the parent's
    EXPECT_EQ(errno, EALREADY);
    EXPECT_EQ(engine->rm_interest({parent_pipe.w, EVENT_READ, &mark}), 0);
    EXPECT_EQ(wait_for_fd_writable(parent_pipe.w, Timeout(1000000)), 0);
}

}  // namespace
