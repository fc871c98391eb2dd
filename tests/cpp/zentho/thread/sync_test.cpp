#include "zentho/thread/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "zentho/thread/test_vcpu.h"
#include "zentho/thread/internal/thread_impl.h"

using namespace zentho;
using test_support::TestVcpu;

namespace {

class SyncTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(init(), 0); }
    void TearDown() override { EXPECT_EQ(fini(), 0); }
};

template <typename F>
Thread* spawn(F* f, bool joinable = true) {
    Thread* th = thread_create([](void* p) -> void* {
        (*static_cast<F*>(p))();
        return nullptr;
    }, f, 256 * 1024);
    if (joinable) thread_set_joinable(th);
    return th;
}

TEST_F(SyncTest, MutexUnlockByNonOwnerFailsAndKeepsOwner) {
    Mutex m;
    errno = 0;
    m.unlock();  // not locked
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(m.lock(), 0);
    EXPECT_EQ(m.try_lock(), -1);
    int err = 0;
    auto intruder = [&] {
        errno = 0;
        m.unlock();
        err = errno;
    };
    thread_join(spawn(&intruder));
    EXPECT_EQ(err, EINVAL);
    EXPECT_EQ(m.owner(), CURRENT);
    m.unlock();
    EXPECT_EQ(m.owner(), nullptr);
    EXPECT_EQ(m.try_lock(), 0);
    m.unlock();
}

// The longest waiter owns the mutex from the moment of the unlock: a thread
// trying to lock in between cannot take it.
TEST_F(SyncTest, MutexHandsOverToLongestWaiter) {
    Mutex m(0);  // block at once
    std::string order;
    ASSERT_EQ(m.lock(), 0);
    auto waiter = [&](char c) {
        return [&, c] {
            EXPECT_EQ(m.lock(), 0);
            order += c;
            m.unlock();
        };
    };
    auto a = waiter('a'), b = waiter('b');
    Thread* ta = spawn(&a);
    Thread* tb = spawn(&b);
    thread_yield();  // both queued, a first
    m.unlock();
    EXPECT_EQ(m.owner(), ta);
    EXPECT_EQ(m.try_lock(), -1);  // the newcomer loses
    thread_join(ta);
    thread_join(tb);
    EXPECT_EQ(order, "ab");
}

TEST_F(SyncTest, MutexLockTimesOutAndCanBeInterrupted) {
    Mutex m(2);
    ASSERT_EQ(m.lock(), 0);
    int r1 = 0, e1 = 0, r2 = 0, e2 = 0;
    auto timed = [&] {
        r1 = m.lock(Timeout(10000));
        e1 = errno;
    };
    auto expired = [&] {
        r2 = m.lock(Timeout::from_expiration(0));
        e2 = errno;
    };
    Thread* t1 = spawn(&timed);
    Thread* t2 = spawn(&expired);
    thread_join(t1);
    thread_join(t2);
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(e1, ETIMEDOUT);
    EXPECT_EQ(r2, -1);
    EXPECT_EQ(e2, ETIMEDOUT);

    int r3 = 0, e3 = 0;
    auto interrupted = [&] {
        r3 = m.lock();
        e3 = errno;
    };
    Thread* t3 = spawn(&interrupted);
    while (thread_state(t3) != states::WAITING) thread_yield();
    thread_interrupt(t3, EINTR);
    thread_join(t3);
    EXPECT_EQ(r3, -1);
    EXPECT_EQ(e3, EINTR);
    EXPECT_EQ(m.owner(), CURRENT);
    // an ECANCELED interrupt is not a hand-over: the waiter keeps waiting
    bool got = false;
    auto fooled = [&] {
        EXPECT_EQ(m.lock(), 0);
        got = true;
        m.unlock();
    };
    Thread* t4 = spawn(&fooled);
    while (thread_state(t4) != states::WAITING) thread_yield();
    thread_interrupt(t4, ECANCELED);
    thread_yield();
    thread_yield();
    EXPECT_FALSE(got);
    m.unlock();
    thread_join(t4);
    EXPECT_TRUE(got);
}

// Coroutines on two vCPUs take turns on one mutex: every increment is seen
// (no lost hand-over) and nobody is ever inside twice (no doubled one).
TEST_F(SyncTest, MutexContendedAcrossTwoVcpus) {
    TestVcpu other;
    constexpr int THREADS = 40, ROUNDS = 300;
    Mutex m;
    int64_t counter = 0;
    std::atomic<int> inside{0}, overlaps{0};
    auto worker = [&](bool move) {
        return [&, move] {
            if (move) thread_migrate(CURRENT, other.vcpu());
            for (int i = 0; i < ROUNDS; ++i) {
                while (m.lock() != 0) {
                }
                if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                int64_t v = counter;
                if (i % 7 == 0) thread_yield();  // hold it across a switch now and then
                counter = v + 1;
                inside.fetch_sub(1);
                m.unlock();
                if (i % 3 == 0) thread_yield();
            }
        };
    };
    auto here = worker(false), there = worker(true);
    std::vector<Thread*> ths;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < THREADS; ++i) ths.push_back(spawn(i % 2 ? &here : &there));
    for (auto* th : ths) thread_join(th);
    EXPECT_EQ(counter, int64_t(THREADS) * ROUNDS);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(m.owner(), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST_F(SyncTest, RecursiveMutex) {
    RecursiveMutex m;
    errno = 0;
    m.unlock();
    EXPECT_EQ(errno, EINVAL);
    ASSERT_EQ(m.lock(), 0);
    ASSERT_EQ(m.lock(), 0);
    ASSERT_EQ(m.try_lock(), 0);
    int got = -2;
    auto other = [&] { got = m.try_lock(); };
    thread_join(spawn(&other));
    EXPECT_EQ(got, -1);
    m.unlock();
    m.unlock();
    EXPECT_EQ(m.owner(), CURRENT);
    m.unlock();
    EXPECT_EQ(m.owner(), nullptr);
    thread_join(spawn(&other));
    EXPECT_EQ(got, 0);  // the other thread took it and finished holding it
}

TEST_F(SyncTest, ConditionVariableNotifyAndTimeout) {
    ConditionVariable cv;
    Mutex m;
    int ready = 0, woken = 0;
    auto waiter = [&] {
        EXPECT_EQ(m.lock(), 0);
        while (!ready) EXPECT_EQ(cv.wait(m), 0);
        EXPECT_EQ(m.owner(), CURRENT);  // held again on return
        ++woken;
        m.unlock();
    };
    std::vector<Thread*> ths;
    for (int i = 0; i < 3; ++i) ths.push_back(spawn(&waiter));
    thread_yield();
    EXPECT_TRUE(cv.has_waiters());
    m.lock();
    ready = 1;
    EXPECT_NE(cv.notify_one(), nullptr);
    EXPECT_EQ(cv.notify_all(), 2);
    m.unlock();
    for (auto* th : ths) thread_join(th);
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(cv.notify_one(), nullptr);

    m.lock();
    EXPECT_EQ(cv.wait(m, Timeout(5000)), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(m.owner(), CURRENT);
    m.unlock();
    SpinLock sl;
    sl.lock();
    EXPECT_EQ(cv.wait(sl, Timeout::from_expiration(0)), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_FALSE(sl.try_lock());  // held again
    sl.unlock();
    errno = 0;
    EXPECT_EQ(cv.wait(static_cast<Mutex*>(nullptr)), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(SyncTest, ConditionVariableNotifiedFromPlainThread) {
    ConditionVariable cv;
    SpinLock sl;
    std::atomic<bool> flag{false};
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        sl.lock();
        flag = true;
        sl.unlock();
        while (!cv.notify_one()) std::this_thread::yield();
    });
    sl.lock();
    int r = 0;
    while (!flag && r == 0) r = cv.wait(sl, Timeout(5000000));
    sl.unlock();
    t.join();
    EXPECT_EQ(r, 0);
    EXPECT_TRUE(flag);
}

// Waiters are served in arrival order: a large request holds back later ones
// that would fit, and newcomers queue behind it too.
TEST_F(SyncTest, SemaphoreServesInArrivalOrder) {
    Semaphore sem(0);
    std::string order;
    auto want = [&](uint64_t n, char c) {
        return [&, n, c] {
            EXPECT_EQ(sem.wait(n), 0);
            order += c;
        };
    };
    auto a5 = want(5, 'A'), b1 = want(1, 'b'), c1 = want(1, 'c');
    Thread* ta = spawn(&a5);
    Thread* tb = spawn(&b1);
    thread_yield();
    sem.signal(3);
    thread_yield();
    EXPECT_EQ(order, "");  // b would fit but must not pass A
    EXPECT_FALSE(sem.try_subtract(1));
    Thread* tc = spawn(&c1);
    thread_yield();
    EXPECT_EQ(order, "");  // a newcomer neither
    sem.signal(2);  // 5: A goes, nothing left for b
    thread_join(ta);
    EXPECT_EQ(order, "A");
    sem.signal(2);
    thread_join(tb);
    thread_join(tc);
    EXPECT_EQ(order, "Abc");
    EXPECT_EQ(sem.count(), 0u);
    sem.signal(2);
    EXPECT_TRUE(sem.try_subtract(2));
    EXPECT_FALSE(sem.try_subtract(1));
    EXPECT_EQ(sem.wait(0), 0);
}

// A head waiter that times out lets the waiters behind it go.
TEST_F(SyncTest, SemaphoreTimeoutUnblocksWaitersBehind) {
    Semaphore sem(2);
    int ra = 0, ea = 0, rb = 1;
    auto big = [&] {
        ra = sem.wait(10, Timeout(10000));
        ea = errno;
    };
    auto small = [&] { rb = sem.wait(2); };
    Thread* ta = spawn(&big);
    Thread* tb = spawn(&small);
    thread_join(tb);
    thread_join(ta);
    EXPECT_EQ(ra, -1);
    EXPECT_EQ(ea, ETIMEDOUT);
    EXPECT_EQ(rb, 0);
    EXPECT_EQ(sem.count(), 0u);
}

TEST_F(SyncTest, SemaphoreSignalledFromPlainThreads) {
    Semaphore sem(0);
    constexpr int N = 200;
    std::vector<std::thread> ts;
    for (int i = 0; i < 4; ++i)
        ts.emplace_back([&] {
            for (int j = 0; j < N; ++j) sem.signal(1);
        });
    int taken = 0;
    auto taker = [&] {
        while (taken < 4 * N) {
            ASSERT_EQ(sem.wait(1, Timeout(10000000)), 0);
            ++taken;
        }
    };
    thread_join(spawn(&taker));
    for (auto& t : ts) t.join();
    EXPECT_EQ(taken, 4 * N);
    EXPECT_EQ(sem.count(), 0u);
}

TEST_F(SyncTest, RWLockWakeRules) {
    RWLock rw;
    std::string trace;
    auto locker = [&](int mode, char c) {
        return [&, mode, c] {
            EXPECT_EQ(rw.lock(mode), 0);
            trace += c;
        };
    };
    ASSERT_EQ(rw.lock(RLOCK), 0);
    ASSERT_EQ(rw.lock(RLOCK), 0);  // two readers hold it
    auto w = locker(WLOCK, 'W'), r1 = locker(RLOCK, 'r'), r2 = locker(RLOCK, 's'), w2 = locker(WLOCK, 'X');
    Thread* tw = spawn(&w);
    thread_yield();
    EXPECT_EQ(trace, "");  // the writer waits for the readers
    Thread* tr1 = spawn(&r1);
    Thread* tr2 = spawn(&r2);
    Thread* tw2 = spawn(&w2);
    thread_yield();
    EXPECT_EQ(trace, "");  // new readers queue behind the writer
    EXPECT_EQ(rw.state(), 2);
    rw.unlock();
    thread_yield();
    EXPECT_EQ(trace, "");
    rw.unlock();  // last reader: the writer alone
    thread_join(tw);
    EXPECT_EQ(trace, "W");
    EXPECT_EQ(rw.state(), -1);
    thread_yield();
    EXPECT_EQ(trace, "W");
    rw.unlock();  // the writer: both readers at the head, not the writer behind them
    thread_join(tr1);
    thread_join(tr2);
    EXPECT_EQ(trace, "Wrs");
    EXPECT_EQ(rw.state(), 2);
    EXPECT_EQ(thread_state(tw2), states::WAITING);
    rw.unlock();
    rw.unlock();
    thread_join(tw2);
    EXPECT_EQ(trace, "WrsX");
    EXPECT_EQ(rw.state(), -1);
    EXPECT_EQ(rw.unlock(), 0);
    EXPECT_EQ(rw.state(), 0);

    errno = 0;
    EXPECT_EQ(rw.lock(0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(rw.unlock(), -1);  // not locked: the state stays free
    EXPECT_EQ(rw.state(), 0);
    ASSERT_EQ(rw.lock(WLOCK), 0);
    int r = 0, e = 0;
    auto timed = [&] {
        r = rw.lock(RLOCK, Timeout(5000));
        e = errno;
    };
    thread_join(spawn(&timed));
    EXPECT_EQ(r, -1);
    EXPECT_EQ(e, ETIMEDOUT);
    rw.unlock();
}

struct TickState {
    int ticks = 0;
    int stop_at = -1;
    Timer* timer = nullptr;
    bool destroy_inside = false;
    std::vector<uint64_t> at;
};

uint64_t tick(void* p) {
    auto* s = static_cast<TickState*>(p);
    s->at.push_back(update_now());
    ++s->ticks;
    if (s->ticks == s->stop_at) {
        if (s->destroy_inside) {
            delete s->timer;
            s->timer = nullptr;
        } else {
            s->timer->stop();
        }
    }
    return 0;
}

TEST_F(SyncTest, TimerRepeatsAndStopsFromOutside) {
    TickState s;
    auto* t = new Timer(2000, &tick, &s, true, 256 * 1024);
    EXPECT_EQ(s.ticks, 0);  // it went to its first sleep
    while (s.ticks < 5) thread_usleep(1000);
    delete t;  // stops while it sleeps
    int after = s.ticks;
    thread_usleep(10000);
    EXPECT_EQ(s.ticks, after);
    for (size_t i = 1; i < s.at.size(); ++i) EXPECT_GE(s.at[i] - s.at[i - 1], 1500u);
}

TEST_F(SyncTest, TimerStoppedInsideItsCallback) {
    for (bool destroy : {false, true}) {
        TickState s;
        s.stop_at = 3;
        s.destroy_inside = destroy;
        s.timer = new Timer(1000, &tick, &s, true, 256 * 1024);
        Timer* keep = s.timer;
        for (int i = 0; i < 100 && s.ticks < 3; ++i) thread_usleep(2000);
        thread_usleep(10000);
        EXPECT_EQ(s.ticks, 3) << destroy;  // nothing after the stop
        if (!destroy) {
            EXPECT_FALSE(keep->running());
            delete keep;  // joins the finished thread
        } else {
            EXPECT_EQ(s.timer, nullptr);
        }
    }
}

TEST_F(SyncTest, TimerResetRestartsTheWait) {
    TickState s;
    Timer t(1000000, &tick, &s, true, 256 * 1024);
    thread_usleep(2000);
    EXPECT_EQ(s.ticks, 0);
    EXPECT_EQ(t.reset(1000), 0);
    for (int i = 0; i < 100 && s.ticks == 0; ++i) thread_usleep(2000);
    EXPECT_GE(s.ticks, 1);
}

}  // namespace
