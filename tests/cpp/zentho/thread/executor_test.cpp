#include "zentho/thread/executor.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "zentho/fs/exec_fs.h"
#include "zentho/fs/local_cases.h"
#include "zentho/fs/localfs.h"
#include "zentho/thread/thread-pool.h"

using namespace zentho;

namespace {

ZenthoOptions dataset_options() {
    ZenthoOptions o;
    o.aio_queue_depth = 32;
    o.pooled_stacks = false;
    o.bypass_pool = true;
    return o;
}

// Runs body as the main coroutine of a fresh vCPU on its own OS thread.
template <typename F>
void on_vcpu(F&& body) {
    std::thread t([&] {
        ASSERT_EQ(init(INIT_EVENT_EPOLL), 0);
        body();
        fini();
    });
    t.join();
}

// Pooling is switched off process-wide by the first init with bypass_pool, so
// the pool tests come before any such executor.
TEST(ThreadPool, ReusesParkedThreadsAndReportsJoinErrors) {
    LogCapture log;
    on_vcpu([&] {
        ThreadPool pool(2);
        if (bypass_pool_enabled()) GTEST_SKIP() << "pooling is off process-wide";
        std::atomic<int> runs{0};
        auto fn = [](void* a) -> void* {
            static_cast<std::atomic<int>*>(a)->fetch_add(1);
            return nullptr;
        };
        TPControl* c1 = pool.thread_create(fn, &runs, true);
        Thread* first = c1->th;
        EXPECT_EQ(pool.join(c1), 0);
        thread_yield();  // let it park
        EXPECT_EQ(pool.idle(), 1u);
        TPControl* c2 = pool.thread_create(fn, &runs, false);
        EXPECT_EQ(c2->th, first);  // the parked thread again
        thread_usleep(Timeout(1000));
        EXPECT_EQ(runs.load(), 2);
        EXPECT_EQ(pool.join(c2), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_TRUE(log.contains("thread is not joinable"));

        // more threads at once than the pool keeps: the extra ones end on return
        std::atomic<int> done{0};
        for (int i = 0; i < 6; ++i)
            ASSERT_TRUE(pool.thread_create([](void* a) -> void* {
                thread_usleep(Timeout(1000));
                static_cast<std::atomic<int>*>(a)->fetch_add(1);
                return nullptr;
            }, &done));
        for (int i = 0; i < 1000 && done.load() < 6; ++i) thread_usleep(Timeout(1000));
        EXPECT_EQ(done.load(), 6);
        thread_usleep(Timeout(1000));
        EXPECT_EQ(pool.idle(), 2u);
        EXPECT_EQ(pool.handed_out(), 0);

        // the per-thread collector trims threads that stay idle
        TPControl* a = pool.thread_create([](void*) -> void* { thread_usleep(Timeout(2000)); return nullptr; },
                                          nullptr);
        TPControl* b = pool.thread_create([](void*) -> void* { thread_usleep(Timeout(2000)); return nullptr; },
                                          nullptr);
        ASSERT_TRUE(a && b);
        thread_usleep(Timeout(10000));
        EXPECT_EQ(pool.idle(), 2u);
        for (int i = 0; i < 40 && pool.idle() == 2; ++i) thread_usleep(Timeout(100000));
        EXPECT_LT(pool.idle(), 2u);
    });
}

TEST(IdentityPool, PutOnAFullPoolDestroysTheItem) {
    on_vcpu([] {
        struct Counts {
            int made = 0, destroyed = 0;
        } n;
        IdentityPoolBase* pool = new IdentityPoolBase(
            1, [](void* c) -> void* { ++static_cast<Counts*>(c)->made; return new int(0); }, &n,
            [](void* c, void* item) { ++static_cast<Counts*>(c)->destroyed; delete static_cast<int*>(item); }, &n);
        void* a = pool->get();
        void* b = pool->get();
        EXPECT_EQ(n.made, 2);
        pool->put(a);
        pool->put(b);  // no room
        EXPECT_EQ(n.destroyed, 1);
        EXPECT_EQ(pool->get(), a);
        pool->put(a);
        delete pool;
        EXPECT_EQ(n.destroyed, 2);
    });
}

TEST(Executor, PlainThreadGetsResultAndErrno) {
    Executor ex(INIT_EVENT_EPOLL, INIT_IO_NONE, {});
    std::thread::id caller = std::this_thread::get_id(), ran_on;
    bool on_vcpu_inside = false;
    errno = 0;
    int r = ex.run_and_wait([&] {
        ran_on = std::this_thread::get_id();
        on_vcpu_inside = CURRENT != nullptr;
        errno = EBADF;
        return 42;
    });
    EXPECT_EQ(r, 42);
    EXPECT_EQ(errno, EBADF);
    EXPECT_NE(ran_on, caller);
    EXPECT_TRUE(on_vcpu_inside);
    EXPECT_EQ(ex.vcpu() != nullptr, true);

    // void functions and pointer results as well
    int touched = 0;
    ex.run_and_wait([&] { touched = 7; });
    EXPECT_EQ(touched, 7);
    const char* p = ex.run_and_wait([] { return "x"; });
    EXPECT_STREQ(p, "x");
}

TEST(Executor, CoroutineCallerWaitsWithoutBlockingItsVcpu) {
    Executor ex;
    on_vcpu([&] {
        std::atomic<int> ticks{0};
        Thread* ticker = thread_create([](void* a) -> void* {
            for (int i = 0; i < 5; ++i) {
                thread_usleep(Timeout(2000));
                ++*static_cast<std::atomic<int>*>(a);
            }
            return nullptr;
        }, &ticks);
        thread_set_joinable(ticker);
        errno = 0;
        long r = ex.run_and_wait([] {
            thread_usleep(Timeout(30000));  // the caller's vCPU keeps ticking meanwhile
            errno = ENOENT;
            return -1L;
        });
        int e = errno;
        EXPECT_EQ(r, -1);
        EXPECT_EQ(e, ENOENT);
        EXPECT_EQ(ticks.load(), 5);
        thread_join(ticker);
    });
}

TEST(Executor, ThousandSubmissionsFromSeveralThreadsRunOnceEach) {
    Executor ex(INIT_EVENT_EPOLL, INIT_IO_NONE, dataset_options());
    constexpr int N = 1000, T = 4;
    std::vector<std::atomic<int>> runs(N);
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < T; ++t)
        threads.emplace_back([&, t] {
            for (int i = t; i < N; i += T) {
                int r = ex.run_and_wait([&, i] {
                    runs[i].fetch_add(1);
                    return i;
                });
                if (r != i) ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    int total = 0;
    for (auto& r : runs) {
        EXPECT_EQ(r.load(), 1);
        total += r.load();
    }
    EXPECT_EQ(total, N);
    EXPECT_EQ(wrong.load(), 0);
}

TEST(Executor, FireAndForgetSubmissionsAllRunBeforeDestruction) {
    std::atomic<int> count{0};
    {
        Executor ex;
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 1000; ++i)
                    ex.submit({&count, [](void* a) { static_cast<std::atomic<int>*>(a)->fetch_add(1); }});
            });
        for (auto& th : threads) th.join();
    }  // the stop task queues behind them
    EXPECT_EQ(count.load(), 3000);
}

TEST(Executor, TwoHostCallsRunConcurrently) {
    Executor ex;
    std::atomic<bool> a{false}, b{false};
    auto meet = [&](std::atomic<bool>& mine, std::atomic<bool>& other) {
        mine = true;
        for (int i = 0; i < 2000 && !other; ++i) thread_usleep(Timeout(1000));
        return other.load();
    };
    bool ra = false, rb = false;
    std::thread t1([&] { ra = ex.run_and_wait([&] { return meet(a, b); }); });
    std::thread t2([&] { rb = ex.run_and_wait([&] { return meet(b, a); }); });
    t1.join();
    t2.join();
    EXPECT_TRUE(ra);
    EXPECT_TRUE(rb);
}

TEST(WorkPool, SpreadsTasksOverItsVcpus) {
    for (int mode : {-1, 0, 4}) {
        WorkPool pool(2, INIT_EVENT_EPOLL, INIT_IO_NONE, mode);
        ASSERT_EQ(pool.get_vcpu_num(), 2);
        std::set<VCPU*> members{pool.vcpu_at(0), pool.vcpu_at(1)};
        EXPECT_EQ(members.size(), 2u);
        std::mutex m;
        std::map<VCPU*, int> seen;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&] {
                for (int i = 0; i < 50; ++i)
                    pool.run_and_wait([&] {
                        VCPU* v = get_vcpu();
                        thread_usleep(Timeout(500));
                        std::lock_guard<std::mutex> g(m);
                        ++seen[v];
                    });
            });
        for (auto& th : threads) th.join();
        int total = 0;
        for (auto& [v, n] : seen) {
            EXPECT_TRUE(members.count(v)) << mode;
            EXPECT_GT(n, 0) << mode;
            total += n;
        }
        EXPECT_EQ(seen.size(), 2u) << mode;
        EXPECT_EQ(total, 200) << mode;
    }
}

TEST(WorkPool, IndexPastTheCountGoesRoundRobinAndMigrates) {
    WorkPool pool(2);
    VCPU* a = pool.vcpu_at(5);
    VCPU* b = pool.vcpu_at(5);
    VCPU* c = pool.vcpu_at(5);
    EXPECT_NE(a, b);
    EXPECT_EQ(a, c);
    EXPECT_TRUE(a == pool.vcpu_at(0) || a == pool.vcpu_at(1));

    on_vcpu([&] {
        VCPU* home = get_vcpu();
        EXPECT_EQ(pool.migrate(CURRENT, 1), 0);
        EXPECT_EQ(get_vcpu(), pool.vcpu_at(1));
        EXPECT_EQ(thread_migrate(CURRENT, home), 0);  // back, so that fini runs at home
        EXPECT_EQ(get_vcpu(), home);
    });
}

TEST(EventLoop, HandlesUntilStoppedWhileWaiting) {
    on_vcpu([] {
        struct State {
            int waits = 0, handled = 0;
        } s;
        auto wait = [](void* c, EventLoop*) -> int {
            auto* st = static_cast<State*>(c);
            if (++st->waits <= 3) return 1;
            // nothing more to do: sleep until interrupted
            return thread_usleep(Timeout()) < 0 ? -1 : 0;
        };
        auto handle = [](void* c, EventLoop*) -> int { return ++static_cast<State*>(c)->handled; };
        EventLoop* loop = new_event_loop(wait, &s, handle, &s);
        loop->async_run();
        loop->async_run();  // already running: no second loop
        thread_usleep(Timeout(5000));
        EXPECT_EQ(loop->state(), 2);
        EXPECT_EQ(s.handled, 3);
        loop->stop();
        EXPECT_EQ(loop->state(), 0);
        delete loop;
    });
}

TEST(ExecForwardFS, LocalCallsGiveTheSameResultsAndErrno) {
    LogCapture log;
    auto* ex = new Executor(INIT_EVENT_EPOLL, INIT_IO_NONE, dataset_options());
    fs::IFileSystem* local = ex->run_and_wait([] { return fs::new_local_file_system(); });
    std::unique_ptr<fs::IExecForwardFS> proxy(fs::new_exec_forward_fs(local, ex));
    ASSERT_TRUE(proxy);
    EXPECT_EQ(proxy->get_target_fs(), local);
    EXPECT_EQ(proxy->get_executor(), ex);
    EXPECT_EQ(proxy->get_underlay_object(), proxy.get());
    local_cases::run_all(proxy.get(), [](const char* name, const local_cases::Result& want,
                                         const local_cases::Result& got) { EXPECT_EQ(want, got) << name; });

    // files are proxied, directories are the target's own cursors
    TempDir d;
    std::string p = d.write("f", "abc");
    std::unique_ptr<fs::IFile> f(proxy->open(p.c_str(), O_RDONLY));
    ASSERT_TRUE(f);
    EXPECT_EQ(f->filesystem(), proxy.get());
    EXPECT_EQ(f->get_underlay_fd(), -1);  // the spare slot is not forwarded
    char buf[4] = {};
    EXPECT_EQ(f->pread(buf, 3, 0), 3);
    EXPECT_STREQ(buf, "abc");
    f.reset();
    EXPECT_TRUE(log.contains("~ExecForwardFile"));
    std::unique_ptr<fs::DIR> dir(proxy->opendir(d.path().c_str()));
    EXPECT_TRUE(dynamic_cast<fs::LocalDIR*>(dir.get()));

    EXPECT_EQ(fs::new_exec_forward_fs(nullptr, ex), nullptr);
    proxy.reset();
    EXPECT_TRUE(log.contains("destruct ExecForwardFS"));
}

TEST(ExecForwardFS, ForkedChildGetsANewExecutor) {
    static bool registered = [] { return pthread_atfork(nullptr, nullptr, &::reset_all_handle) == 0; }();
    ASSERT_TRUE(registered);
    TempDir d;
    std::string logpath = d.path() + "/child.log";
    std::string p = d.write("f", "hello");
    auto* ex = new Executor(INIT_EVENT_EPOLL, INIT_IO_NONE, dataset_options());
    std::unique_ptr<fs::IExecForwardFS> proxy(fs::new_exec_forward_fs(new fs::LocalFileSystemAdaptor, ex));
    // fork only once the executor has started: the sanitizer's allocator keeps
    // no fork handlers, and a lock its start-up held would hang the child
    ex->run_and_wait([] { return 0; });

    pid_t pid = fork();
    if (pid == 0) {
        alarm(20);  // a hang fails the test instead of stalling it
        int rc = 0;
        if (proxy->get_executor() == ex) rc |= 1;
        struct stat st;
        if (proxy->stat(p.c_str(), &st) != 0 || st.st_size != 5) rc |= 2;
        std::thread::id caller = std::this_thread::get_id();
        if (proxy->get_executor()->run_and_wait([&] { return std::this_thread::get_id(); }) == caller) rc |= 4;
        if (proxy->stat((d.path() + "/missing").c_str(), &st) != -1 || errno != ENOENT) rc |= 8;
        proxy.reset();  // stops the new executor cleanly
        _exit(rc);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // the parent's executor is untouched
    EXPECT_EQ(proxy->get_executor(), ex);
    struct stat st;
    EXPECT_EQ(proxy->stat(p.c_str(), &st), 0);
}

}  // namespace
