// Cost of one synchronous call from a plain thread: an executor's run_and_wait
// beside handing a task to a waiting std::thread worker and waiting on a
// std::promise. Both sides run the same trivial function.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "zentho/common/logger.h"
#include "zentho/thread/executor.h"

namespace {

class PromiseWorker {
public:
    PromiseWorker() : m_thread([this] { loop(); }) {}
    ~PromiseWorker() {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_stop = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }
    long call(const std::function<long()>& f) {
        std::promise<long> p;
        std::future<long> fut = p.get_future();
        {
            std::lock_guard<std::mutex> g(m_mutex);
            m_queue.push_back([&] { p.set_value(f()); });
        }
        m_cv.notify_one();
        return fut.get();
    }

private:
    void loop() {
        std::unique_lock<std::mutex> l(m_mutex);
        for (;;) {
            m_cv.wait(l, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty()) return;
            auto job = std::move(m_queue.front());
            m_queue.pop_front();
            l.unlock();
            job();
            l.lock();
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_queue;
    bool m_stop = false;
    std::thread m_thread;
};

template <typename F>
double ns_per_call(int n, F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) f();
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / n;
}

}  // namespace

int main(int argc, char** argv) {
    int n = argc > 1 ? atoi(argv[1]) : 20000;
    int rounds = 5;
    zentho::set_log_level(zentho::ALOG_WARN);
    long sink = 0;
    PromiseWorker worker;
    // pooled task coroutines first: bypass_pool, once set by any init, stays on
    for (bool bypass : {false, true}) {
        zentho::ZenthoOptions opts;
        opts.bypass_pool = bypass;
        zentho::Executor ex(zentho::INIT_EVENT_EPOLL, zentho::INIT_IO_NONE, opts);
        for (int i = 0; i < 1000; ++i) {
            sink += ex.run_and_wait([&] { return long(i); });
            sink += worker.call([&] { return long(i); });
        }
        double best_ex = 1e18, best_pr = 1e18;
        for (int r = 0; r < rounds; ++r) {
            double x = ns_per_call(n, [&] { sink += ex.run_and_wait([&] { return sink & 1; }); });
            double y = ns_per_call(n, [&] { sink += worker.call([&] { return sink & 1; }); });
            if (x < best_ex) best_ex = x;
            if (y < best_pr) best_pr = y;
        }
        printf("synchronous call from a plain thread, %d calls x %d rounds (best round), task coroutines %s\n", n,
               rounds, bypass ? "created per task (bypass_pool, as the dataset executor)" : "pooled");
        printf("  executor run_and_wait          : %10.0f ns/call\n", best_ex);
        printf("  std::promise to std::thread    : %10.0f ns/call\n", best_pr);
        printf("  ratio executor / promise       : %10.2f\n", best_ex / best_pr);
    }
    return sink == 42 ? 1 : 0;
}
