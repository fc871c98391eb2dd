#include "zentho/thread/thread.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "zentho/thread/test_vcpu.h"
#include "zentho/io/epoll.h"
#include "zentho/thread/internal/thread_impl.h"
#include "zentho/thread/sync.h"
#include "zentho/thread/vcpu_local.h"

using namespace zentho;
using test_support::TestVcpu;

namespace {

// The test body runs as the main thread of a vCPU on the gtest thread.
class ThreadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(init(), 0); }
    void TearDown() override { EXPECT_EQ(fini(), 0); }
};

template <typename F>
Thread* spawn(F* f, uint64_t stack = 256 * 1024) {
    return thread_create([](void* p) -> void* {
        (*static_cast<F*>(p))();
        return nullptr;
    }, f, stack);
}

template <typename F>
Thread* spawn_joinable(F* f, uint64_t stack = 256 * 1024) {
    Thread* th = spawn(f, stack);
    thread_set_joinable(th);
    return th;
}

TEST_F(ThreadTest, NewThreadRunsOnlyAfterEveryQueuedThread) {
    std::string trace;
    auto c = [&] { trace += 'c'; };
    auto a = [&] {
        trace += 'a';
        spawn(&c);  // queued behind b
    };
    auto b = [&] { trace += 'b'; };
    spawn(&a);
    spawn(&b);
    EXPECT_EQ(trace, "");  // nothing runs before the creator switches
    thread_yield();
    EXPECT_EQ(trace, "ab");
    thread_yield();
    EXPECT_EQ(trace, "abc");
}

TEST_F(ThreadTest, StartArgumentsInReservedSpace) {
    struct Args {
        int a;
        double b;
        char text[40];
    };
    Args in{7, 2.5, "several typed arguments"};
    static Args out;
    static Args* sink = &out;
    for (uint16_t reserved : {uint16_t(sizeof(Args)), uint16_t(1000), uint16_t(60000)}) {
        out = {};
        Thread* th = thread_create([](void*) -> void* {
            auto* args = reinterpret_cast<Args*>(reinterpret_cast<char*>(CURRENT) - sizeof(Args));
            *sink = *args;
            return reinterpret_cast<void*>(uintptr_t(args->a));
        }, nullptr, 256 * 1024, reserved);
        ASSERT_NE(th, nullptr);
        // the copy goes right below the record, at the end of the reserved area
        memcpy(reinterpret_cast<char*>(th) - sizeof(Args), &in, sizeof(in));
        thread_set_joinable(th);
        thread_join(th);
        EXPECT_EQ(out.a, 7);
        EXPECT_EQ(out.b, 2.5);
        EXPECT_STREQ(out.text, "several typed arguments");
    }
}

TEST(ThreadNoVcpu, CallsOffAVcpuFail) {
    errno = 0;
    EXPECT_EQ(thread_create([](void*) -> void* { return nullptr; }, nullptr), nullptr);
    EXPECT_EQ(errno, ENOSYS);
    errno = 0;
    EXPECT_EQ(thread_usleep(1000), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(vcpu_fini(), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(get_vcpu(), nullptr);
}

TEST_F(ThreadTest, ExpiredSleepOnlyYields) {
    int ran = 0;
    auto f = [&] { ++ran; };
    for (Timeout t : {Timeout::from_expiration(0), Timeout::from_expiration(1), Timeout(0)}) {
        spawn(&f);
        int before = ran;
        EXPECT_EQ(thread_usleep(t), 0);
        EXPECT_EQ(ran, before + 1);
    }
}

TEST_F(ThreadTest, SleepersWakeInDeadlineOrder) {
    struct Sleeper {
        uint64_t delay;
        uint64_t deadline = 0;
        uint64_t woke = 0;
        std::vector<int>* order;
        int id;
    };
    std::vector<int> order;
    uint64_t delays[] = {50000, 10000, 30000, 20000, 40000, 10000};
    std::vector<Sleeper> s;
    for (int i = 0; i < 6; ++i) s.push_back({delays[i], 0, 0, &order, i});
    std::vector<Thread*> ths;
    for (auto& x : s) {
        ths.push_back(thread_create([](void* p) -> void* {
            auto* me = static_cast<Sleeper*>(p);
            Timeout t(me->delay);
            me->deadline = t.expiration();
            EXPECT_EQ(thread_usleep(t), 0);
            me->woke = update_now();
            me->order->push_back(me->id);
            return nullptr;
        }, &x, 256 * 1024));
        thread_set_joinable(ths.back());
    }
    for (auto* th : ths) thread_join(th);
    // equal deadlines keep no particular order between themselves
    ASSERT_EQ(order.size(), 6u);
    for (size_t i = 1; i < order.size(); ++i) EXPECT_LE(s[order[i - 1]].deadline, s[order[i]].deadline);
    for (auto& x : s) EXPECT_GE(x.woke, x.deadline);
    EXPECT_TRUE(get_vcpu()->sleepq.empty());
}

TEST_F(ThreadTest, InterruptWakesOnlyWaitingThreads) {
    int r = 0, e = 0;
    auto sleeper = [&] {
        r = thread_usleep(Timeout::never());
        e = errno;
    };
    Thread* th = spawn_joinable(&sleeper);
    thread_interrupt(th, EIO);  // READY: nothing happens
    thread_yield();
    EXPECT_EQ(thread_state(th), states::WAITING);
    thread_interrupt(th, EIO);
    EXPECT_EQ(thread_state(th), states::READY);
    EXPECT_TRUE(get_vcpu()->sleepq.empty());
    thread_yield();
    EXPECT_EQ(thread_state(th), states::DONE);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(e, EIO);
    thread_interrupt(th, EIO);  // DONE: nothing happens
    thread_join(th);
    errno = 0;
    thread_interrupt(nullptr, EIO);
    EXPECT_EQ(errno, EINVAL);
}

// A plain OS thread wakes a coroutine: it goes through the standby queue and
// runs once the vCPU leaves its event wait; the heap no longer holds it.
TEST_F(ThreadTest, InterruptFromPlainOsThread) {
    int r = 0, e = 0;
    auto sleeper = [&] {
        r = thread_usleep(Timeout::never());
        e = errno;
    };
    Thread* th = spawn_joinable(&sleeper);
    thread_yield();
    ASSERT_EQ(thread_state(th), states::WAITING);
    auto start = std::chrono::steady_clock::now();
    std::thread waker([th] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        thread_interrupt(th, ENOTCONN);
    });
    thread_join(th);  // the main thread waits too: the vCPU blocks in epoll
    waker.join();
    EXPECT_EQ(r, -1);
    EXPECT_EQ(e, ENOTCONN);
    EXPECT_TRUE(get_vcpu()->sleepq.empty());
    // far below the idle thread's 10 s cap: the engine was woken
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(ThreadTest, YieldToStandbyThreadDrainsStandbyQueue) {
    bool ran = false;
    auto sleeper = [&] {
        thread_usleep(Timeout::never());
        ran = true;
    };
    Thread* th = spawn_joinable(&sleeper);
    thread_yield();
    std::thread([th] { thread_interrupt(th, ECANCELED); }).join();
    EXPECT_EQ(thread_state(th), states::STANDBY);
    thread_yield_to(th);
    EXPECT_TRUE(ran);
    EXPECT_EQ(thread_state(th), states::DONE);
    EXPECT_TRUE(get_vcpu()->sleepq.empty());
    thread_join(th);
}

TEST_F(ThreadTest, YieldToKeepsQueueOrderAndRejectsBadTargets) {
    std::string trace;
    auto a = [&] { trace += 'a'; };
    auto b = [&] { trace += 'b'; };
    spawn(&a);
    Thread* tb = spawn(&b);
    thread_yield_to(tb);
    EXPECT_EQ(trace, "b");
    thread_yield_to(nullptr);  // plain yield
    EXPECT_EQ(trace, "ba");
    thread_yield_to(CURRENT);  // nothing but a clock refresh

    auto sleeper = [&] { thread_usleep(Timeout::never()); };
    Thread* ts = spawn_joinable(&sleeper);
    thread_yield();
    errno = 0;
    thread_yield_to(ts);
    EXPECT_EQ(errno, EINVAL);  // not READY
    thread_interrupt(ts, ECANCELED);
    thread_join(ts);

    TestVcpu other;
    struct Probe {
        Semaphore done;
        Thread* th = nullptr;
    } probe;
    auto on_other = [&] {
        thread_migrate(CURRENT, other.vcpu());
        probe.th = CURRENT;
        probe.done.signal(1);
        thread_usleep(20000);
    };
    spawn(&on_other);
    probe.done.wait(1);
    errno = 0;
    thread_yield_to(probe.th);
    EXPECT_EQ(errno, EINVAL);  // another vCPU's thread
}

TEST_F(ThreadTest, ShutdownCapsSleepsAndInterruptsWithEperm) {
    std::vector<int> errs;
    auto worker = [&] {
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(thread_usleep(Timeout::never()), -1);
            errs.push_back(errno);
        }
    };
    Thread* th = spawn_joinable(&worker);
    thread_yield();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(thread_shutdown(th, true), 0);  // interrupts the first sleep
    thread_join(th);
    EXPECT_EQ(errs, (std::vector<int>{EPERM, EPERM, EPERM}));
    // the two later sleeps ended by the 10 ms cap, not by the infinite deadline
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    errno = 0;
    EXPECT_EQ(thread_shutdown(nullptr, true), -1);
    EXPECT_EQ(errno, EINVAL);
}

struct CountingAllocator {
    int allocs = 0;
    std::vector<std::pair<void*, size_t>> released;
    static void* alloc(void* ctx, size_t size) {
        ++static_cast<CountingAllocator*>(ctx)->allocs;
        return default_zentho_thread_stack_alloc(nullptr, size);
    }
    static void release(void* ctx, void* p, size_t size) {
        static_cast<CountingAllocator*>(ctx)->released.push_back({p, size});
        default_zentho_thread_stack_release(nullptr, p, size);
    }
};

TEST_F(ThreadTest, JoinReleasesTheStackAndDetachedThreadsReleaseAtExit) {
    CountingAllocator ca;
    set_thread_stack_allocator(&CountingAllocator::alloc, &ca, &CountingAllocator::release, &ca);
    auto nothing = [] {};
    Thread* joinable = spawn_joinable(&nothing);
    char* base = joinable->stack_base;
    size_t size = joinable->stack_size;
    EXPECT_EQ(size % 4096, 0u);
    EXPECT_EQ(uintptr_t(base) % 4096, 0u);
    EXPECT_GT(reinterpret_cast<char*>(joinable), base);
    EXPECT_LT(reinterpret_cast<char*>(joinable) + sizeof(Thread), base + size);
    thread_yield();
    EXPECT_EQ(thread_state(joinable), states::DONE);
    EXPECT_TRUE(ca.released.empty());  // kept until joined
    thread_join(joinable);
    ASSERT_EQ(ca.released.size(), 1u);
    EXPECT_EQ(ca.released[0], std::make_pair(static_cast<void*>(base), size));

    Thread* detached = spawn(&nothing);
    base = detached->stack_base;
    thread_yield();
    ASSERT_EQ(ca.released.size(), 2u);
    EXPECT_EQ(ca.released[1].first, base);
    EXPECT_EQ(ca.allocs, 2);

    errno = 0;
    Thread* never_joinable = spawn(&nothing);
    thread_join(never_joinable);
    EXPECT_EQ(errno, ENOSYS);
    thread_yield();
    set_thread_stack_allocator(nullptr, nullptr, nullptr, nullptr);
}

TEST_F(ThreadTest, FailedStackAllocationCreatesNothing) {
    set_thread_stack_allocator([](void*, size_t) -> void* {
        errno = ENOMEM;
        return nullptr;
    }, nullptr, nullptr, nullptr);
    int before = get_vcpu()->nthreads.load();
    errno = 0;
    EXPECT_EQ(thread_create([](void*) -> void* { return nullptr; }, nullptr), nullptr);
    EXPECT_EQ(errno, ENOMEM);
    EXPECT_EQ(get_vcpu()->nthreads.load(), before);
    set_thread_stack_allocator(nullptr, nullptr, nullptr, nullptr);
}

TEST_F(ThreadTest, RecordsAreShiftedWithinTheirStacks) {
    // 32 possible shifts of 1032 bytes: 40 threads all at one offset would
    // mean the shift is missing
    std::vector<Thread*> ths;
    auto nothing = [] {};
    std::set<uintptr_t> offsets;
    for (int i = 0; i < 40; ++i) {
        Thread* th = spawn_joinable(&nothing);
        offsets.insert(uintptr_t(th->stack_base) + th->stack_size - uintptr_t(th));
        ths.push_back(th);
    }
    for (auto* th : ths) thread_join(th);
    EXPECT_GT(offsets.size(), 1u);
    for (uintptr_t off : offsets) EXPECT_LE(off, 31 * 1032 + sizeof(Thread) + 64);
}

TEST_F(ThreadTest, MigrateSelfAndReadyThread) {
    TestVcpu other;
    struct Seen {
        // gettid, not pthread_self: the compiler may keep a const function's
        // value across the switch to another OS thread
        pid_t before = 0, after = 0;
        VCPU* vcpu_after = nullptr;
        Semaphore done;
    } self, ready;
    auto mover = [&] {
        self.before = gettid();
        EXPECT_EQ(thread_migrate(CURRENT, other.vcpu()), 0);
        self.after = gettid();
        self.vcpu_after = get_vcpu();
        self.done.signal(1);
    };
    spawn(&mover);
    self.done.wait(1);
    EXPECT_EQ(self.before, gettid());
    EXPECT_EQ(self.after, other.os_thread());
    EXPECT_EQ(self.vcpu_after, other.vcpu());

    auto moved = [&] {
        ready.after = gettid();
        ready.vcpu_after = get_vcpu();
        ready.done.signal(1);
    };
    Thread* th = spawn(&moved);
    int count_before = get_vcpu()->nthreads.load();
    EXPECT_EQ(thread_migrate(th, other.vcpu()), 0);  // READY, never run
    EXPECT_EQ(get_vcpu()->nthreads.load(), count_before - 1);
    ready.done.wait(1);
    EXPECT_EQ(ready.after, other.os_thread());
    EXPECT_EQ(ready.vcpu_after, other.vcpu());

    EXPECT_EQ(thread_migrate(CURRENT, get_vcpu()), 0);  // own vCPU: nothing to do
    errno = 0;
    EXPECT_EQ(thread_migrate(nullptr, other.vcpu()), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(thread_migrate(CURRENT, nullptr), -1);
    auto sleeper = [&] { thread_usleep(Timeout::never()); };
    Thread* ts = spawn_joinable(&sleeper);
    thread_yield();
    errno = 0;
    EXPECT_EQ(thread_migrate(ts, other.vcpu()), -1);  // not READY
    EXPECT_EQ(errno, EINVAL);
    thread_interrupt(ts, ECANCELED);
    thread_join(ts);
}

// A joinable thread migrated to another vCPU is joined from here: the joiner
// is woken through this vCPU's standby queue.
TEST_F(ThreadTest, JoinAcrossVcpus) {
    TestVcpu other;
    int value = 0;
    auto worker = [&] {
        thread_migrate(CURRENT, other.vcpu());
        thread_usleep(5000);
        value = 42;
    };
    Thread* th = spawn_joinable(&worker);
    thread_yield();
    thread_join(th);
    EXPECT_EQ(value, 42);
}

size_t resident_pages(char* p, size_t len) {
    std::vector<unsigned char> vec(len / 4096);
    if (mincore(p, len, vec.data()) != 0) return SIZE_MAX;
    size_t n = 0;
    for (auto c : vec) n += c & 1;
    return n;
}

TEST_F(ThreadTest, StackPagesGcReturnsPagesBelowTheStackPointer) {
    auto deep = [] {
        volatile char buf[512 * 1024];
        for (size_t i = 0; i < sizeof(buf); i += 1024) buf[i] = 1;
        thread_usleep(Timeout::never());
    };
    Thread* th = spawn_joinable(&deep, 1024 * 1024);
    thread_yield();  // deep frame touched and returned; now asleep
    size_t len = size_t(static_cast<char*>(th->stack_ptr) - th->stack_base) & ~size_t(4095);
    size_t before = resident_pages(th->stack_base, len);
    EXPECT_EQ(stack_pages_gc(th), 0);
    size_t after = resident_pages(th->stack_base, len);
    EXPECT_LT(after, before);
    EXPECT_EQ(stack_pages_gc(CURRENT), 0);  // the running thread: done after a yield
    errno = 0;
    EXPECT_EQ(stack_pages_gc(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
    thread_interrupt(th, ECANCELED);
    thread_join(th);
}

struct DeferProbe {
    Thread* caller;
    Thread* ran_on = nullptr;
    bool caller_was_waiting = false;
};

void defer_probe(void* p) {
    auto* d = static_cast<DeferProbe*>(p);
    d->ran_on = CURRENT;
    d->caller_was_waiting = thread_state(d->caller) == states::WAITING;
}

TEST_F(ThreadTest, SleepDeferRunsOnceTheCallerIsOffItsStack) {
    for (bool others_ready : {false, true}) {
        DeferProbe probe{};
        bool other_ran = false;
        auto other = [&] { other_ran = true; };
        auto sleeper = [&] {
            probe.caller = CURRENT;
            EXPECT_EQ(thread_usleep_defer(2000, &defer_probe, &probe), 0);
        };
        Thread* th = spawn_joinable(&sleeper);
        if (others_ready) spawn(&other);
        thread_join(th);
        ASSERT_NE(probe.ran_on, nullptr);
        EXPECT_NE(probe.ran_on, probe.caller);
        EXPECT_NE(probe.ran_on, get_vcpu()->idle_worker);
        EXPECT_TRUE(probe.caller_was_waiting);
        if (others_ready) {
            EXPECT_TRUE(other_ran);
        }
    }
}

TEST_F(ThreadTest, VcpuFiniWaitsForSleepingThreads) {
    // a vCPU of its own, ended while its thread sleeps
    bool done = false;
    std::thread t([&] {
        ASSERT_EQ(init(), 0);
        auto sleeper = [&] {
            thread_usleep(30000);
            done = true;
        };
        spawn(&sleeper);
        thread_yield();
        EXPECT_EQ(fini(), 0);
        EXPECT_TRUE(done);
        EXPECT_EQ(get_vcpu(), nullptr);
        // and the OS thread may become a vCPU again
        EXPECT_EQ(init(), 0);
        EXPECT_EQ(fini(), 0);
    });
    t.join();
    EXPECT_TRUE(done);
}

TEST(ThreadInit, FlagsAndRepeatedInit) {
    int base = get_vcpu_count();
    ASSERT_EQ(init(INIT_EVENT_EPOLL), 0);
    EXPECT_EQ(get_vcpu_count(), base + 1);
    EXPECT_NE(dynamic_cast<EventEngineEPoll*>(get_master_engine()), nullptr);
    errno = 0;
    EXPECT_EQ(init(), -1);  // already initialised: fails without a message
    EXPECT_EQ(fini(), 0);
    EXPECT_EQ(get_vcpu_count(), base);

    // the signal and kernel-AIO services start with their flags and stop with fini
    for (auto [ev, io] : std::vector<std::pair<uint64_t, uint64_t>>{{INIT_EVENT_EPOLL | INIT_EVENT_SIGNAL, 0},
                                                                   {INIT_EVENT_EPOLL, INIT_IO_LIBAIO}}) {
        ASSERT_EQ(init(ev, io), 0) << ev << " " << io;
        EXPECT_EQ(fini(), 0);
        EXPECT_EQ(get_vcpu(), nullptr);
    }

    // services that are not part of this build, and engines that cannot be built
    for (auto [ev, io] : std::vector<std::pair<uint64_t, uint64_t>>{{INIT_EVENT_EPOLL, INIT_IO_EXPORTFS},
                                                                   {INIT_EVENT_EPOLL_NG, 0},
                                                                   {2 | 4, 0}}) {
        errno = 0;
        EXPECT_EQ(init(ev, io), -1) << ev << " " << io;
        EXPECT_NE(errno, 0);
        EXPECT_EQ(get_vcpu(), nullptr);  // left as it was
        EXPECT_EQ(get_vcpu_count(), base);
    }
    // without engine flags the vCPU keeps the null engine
    ASSERT_EQ(init(INIT_EVENT_NONE), 0);
    EXPECT_EQ(get_master_engine(), &get_vcpu()->null_engine);
    EXPECT_EQ(fini(), 0);
}

TEST(ThreadInit, NullEngineServesTimersAndCrossThreadWakeups) {
    ASSERT_EQ(init(INIT_EVENT_NONE), 0);
    uint64_t t0 = update_now();
    EXPECT_EQ(thread_usleep(20000), 0);
    EXPECT_GE(update_now() - t0, 20000u);
    errno = 0;
    EXPECT_EQ(wait_for_fd_readable(0, 1000), -1);
    Semaphore sem;
    std::thread([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sem.signal(1);
    }).detach();
    EXPECT_EQ(sem.wait(1, 5000000), 0);
    EXPECT_EQ(fini(), 0);
}

std::string g_local_trace;
struct Local : VCPULocal {
    char name;
    explicit Local(char n) : name(n) {}
    void fini() override {
        g_local_trace += name;
        delete this;
    }
};

TEST(ThreadInit, FiniRunsVcpuLocalHooksInOrder) {
    g_local_trace.clear();
    ASSERT_EQ(init(), 0);
    new Local('a');
    new Local('b');
    delete new Local('x');
    new Local('c');
    EXPECT_EQ(fini(), 0);
    EXPECT_EQ(g_local_trace, "abc");
    ASSERT_EQ(init(), 0);  // the list is empty again
    EXPECT_EQ(fini(), 0);
    EXPECT_EQ(g_local_trace, "abc");
}

TEST(Clock, TimeoutArithmetic) {
    update_now();
    uint64_t now = now_us.load();
    EXPECT_TRUE(Timeout::from_expiration(0).expired());
    EXPECT_FALSE(Timeout::never().expired());
    EXPECT_EQ(Timeout().expiration(), Timeout::NEVER);
    EXPECT_EQ(Timeout(UINT64_MAX - 5).expiration(), Timeout::NEVER);  // saturates
    Timeout t(1000000);
    EXPECT_GE(t.expiration(), now + 1000000);
    EXPECT_LE(t.remaining(), 1000000u);
    EXPECT_GT(t.remaining(), 0u);
}

// Two threads handing control to each other directly never let the idle
// thread run: the switches alone must keep the clock moving.
Thread* g_ping_peer = nullptr;
std::atomic<bool> g_ping_stop{false};

void* ping_back(void*) {
    while (!g_ping_stop.load()) thread_yield_to(g_ping_peer);
    return nullptr;
}

TEST(Clock, DirectSwitchesKeepTheClockMoving) {
    ASSERT_EQ(init(), 0);
    g_ping_stop = false;
    g_ping_peer = CURRENT;
    Thread* th = thread_create(&ping_back, nullptr, 64 * 1024);
    ASSERT_NE(th, nullptr);
    thread_set_joinable(th);
    uint64_t c0 = now_us.load();
    auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(30)) thread_yield_to(th);
    EXPECT_GE(now_us.load() - c0, 20000u);
    g_ping_stop = true;
    thread_yield_to(th);
    thread_join(th);
    EXPECT_EQ(fini(), 0);
}

TEST(Clock, UpdaterThreadStartsOnceAndStops) {
    EXPECT_EQ(timestamp_updater_fini(), -1);  // none runs
    ASSERT_EQ(timestamp_updater_init(), 0);
    EXPECT_EQ(timestamp_updater_init(), -1);  // already started
    uint64_t t0 = now_us.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(now_us.load(), t0);  // refreshed with no scheduler activity

    // a forked child has no updater thread: its clock still moves
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (init() != 0) _exit(2);
        uint64_t c0 = now_us.load();
        if (thread_usleep(5000) != 0) _exit(3);
        if (now_us.load() < c0 + 5000) _exit(4);
        fini();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(timestamp_updater_fini(), 0);
    EXPECT_EQ(timestamp_updater_fini(), -1);
}

}  // namespace
