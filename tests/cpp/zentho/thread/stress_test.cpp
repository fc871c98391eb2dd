// Several vCPUs, thousands of coroutines exchanging through mutexes, condition
// variables and semaphores; every item must arrive exactly once.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <deque>
#include <memory>
#include <vector>

#include "zentho/thread/test_vcpu.h"
#include "zentho/thread/sync.h"
#include "zentho/thread/thread.h"

using namespace zentho;
using test_support::TestVcpu;

namespace {

// Twice as many vCPUs as this machine has cores: a mutex handed to a waiter on
// a vCPU whose OS thread is not running waits for the kernel to run it, so the
// amount of work is sized for that, not for the fast case.
constexpr int VCPUS = 4;  // this OS thread and three more
constexpr int PAIRS = 1000;  // producer and consumer coroutines each
constexpr int ITEMS = 20;    // per producer
constexpr int TOKENS = 8;

struct Shared {
    Mutex counter_mutex;
    int64_t counter = 0;

    Mutex queue_mutex;
    ConditionVariable not_empty, not_full;
    std::deque<int> queue;
    static constexpr size_t CAPACITY = 64;
    std::vector<uint8_t> seen = std::vector<uint8_t>(size_t(PAIRS) * ITEMS, 0);
    int64_t consumed = 0;

    Semaphore tokens{TOKENS};
    std::atomic<int> holding{0}, max_holding{0};

    Semaphore finished{0};
    std::vector<VCPU*> vcpus;
};

struct Job {
    Shared* s;
    int index;
    bool producer;
};

void count_once(Shared* s) {
    while (s->counter_mutex.lock() != 0) {
    }
    s->counter++;
    s->counter_mutex.unlock();
}

void hold_token(Shared* s) {
    EXPECT_EQ(s->tokens.wait(1), 0);
    int h = s->holding.fetch_add(1) + 1;
    int m = s->max_holding.load();
    while (h > m && !s->max_holding.compare_exchange_weak(m, h)) {
    }
    thread_yield();
    s->holding.fetch_sub(1);
    s->tokens.signal(1);
}

void* run_job(void* p) {
    auto* job = static_cast<Job*>(p);
    Shared* s = job->s;
    thread_migrate(CURRENT, s->vcpus[size_t(job->index) % s->vcpus.size()]);
    for (int i = 0; i < ITEMS; ++i) {
        count_once(s);
        if (i % 5 == 0) hold_token(s);
        while (s->queue_mutex.lock() != 0) {
        }
        if (job->producer) {
            while (s->queue.size() >= Shared::CAPACITY) s->not_full.wait(s->queue_mutex);
            s->queue.push_back(job->index * ITEMS + i);
            s->not_empty.notify_one();
        } else {
            while (s->queue.empty()) s->not_empty.wait(s->queue_mutex);
            int item = s->queue.front();
            s->queue.pop_front();
            s->seen[size_t(item)]++;
            s->consumed++;
            s->not_full.notify_one();
        }
        s->queue_mutex.unlock();
    }
    s->finished.signal(1);
    return nullptr;
}

TEST(Stress, CoroutinesOnSeveralVcpus) {
    ASSERT_EQ(init(), 0);
    auto start = std::chrono::steady_clock::now();
    {
        std::vector<std::unique_ptr<TestVcpu>> others;
        auto s = std::make_unique<Shared>();
        s->vcpus.push_back(get_vcpu());
        for (int i = 1; i < VCPUS; ++i) {
            others.push_back(std::make_unique<TestVcpu>());
            s->vcpus.push_back(others.back()->vcpu());
        }
        std::vector<Job> jobs;
        for (int i = 0; i < 2 * PAIRS; ++i) jobs.push_back({s.get(), i / 2, i % 2 == 0});
        // live coroutines use the shared state: a failure here cannot return
        for (auto& j : jobs) {
            if (!thread_create(&run_job, &j, 64 * 1024)) {
                fprintf(stderr, "stress: thread_create failed\n");
                abort();
            }
        }
        // every job reports, wherever it runs; a lost wake-up would hang here
        for (int i = 0; i < 2 * PAIRS; ++i) {
            if (s->finished.wait(1, Timeout(120000000)) != 0) {
                fprintf(stderr, "stress: only %d of %d jobs finished in 120 s\n", i, 2 * PAIRS);
                abort();
            }
        }
        for (auto& o : others) o->stop();

        EXPECT_EQ(s->counter, int64_t(2) * PAIRS * ITEMS);
        EXPECT_EQ(s->consumed, int64_t(PAIRS) * ITEMS);
        size_t wrong = 0;
        for (auto c : s->seen) wrong += c != 1;
        EXPECT_EQ(wrong, 0u);
        EXPECT_TRUE(s->queue.empty());
        EXPECT_LE(s->max_holding.load(), TOKENS);
        EXPECT_GT(s->max_holding.load(), 0);
        EXPECT_EQ(s->tokens.count(), uint64_t(TOKENS));
    }
    EXPECT_EQ(fini(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(120));
}

}  // namespace
