// Coroutine switch cost beside boost.context's fcontext and two OS threads on a
// condition variable, all on the same ping-pong; and coroutine create+join.

#include <boost/context/detail/fcontext.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "zentho/thread/thread.h"

namespace ctx = boost::context::detail;
using clk = std::chrono::steady_clock;

static double ns_since(clk::time_point t0) { return std::chrono::duration<double, std::nano>(clk::now() - t0).count(); }

// ---- this runtime: two coroutines hand control to each other directly ----
static zentho::Thread* g_a;
static zentho::Thread* g_b;
static long g_rounds;

static void* pong(void*) {
    for (long i = 0; i < g_rounds; ++i) zentho::thread_yield_to(g_a);
    return nullptr;
}

static double zentho_switch_ns(long rounds) {
    g_rounds = rounds;
    g_a = zentho::CURRENT;
    g_b = zentho::thread_create(&pong, nullptr, 64 * 1024);
    zentho::thread_set_joinable(g_b);
    uint64_t s0 = zentho::vcpu_switch_count(zentho::get_vcpu());
    auto t0 = clk::now();
    for (long i = 0; i < rounds; ++i) zentho::thread_yield_to(g_b);
    double ns = ns_since(t0);
    uint64_t switches = zentho::vcpu_switch_count(zentho::get_vcpu()) - s0;
    zentho::thread_yield_to(g_b);  // let it return
    zentho::thread_join(g_b);
    // a switch that did not happen must not pass for a fast one
    if (switches != uint64_t(2 * rounds)) {
        fprintf(stderr, "expected %ld switches, counted %lu\n", 2 * rounds, (unsigned long)switches);
        exit(1);
    }
    return ns / double(switches);
}

// the same through the run queue, with the idle thread taking its turn
static void* yielder(void*) {
    for (long i = 0; i < g_rounds; ++i) zentho::thread_yield();
    return nullptr;
}

static double zentho_yield_ns(long rounds) {
    g_rounds = rounds;
    zentho::Thread* th = zentho::thread_create(&yielder, nullptr, 64 * 1024);
    zentho::thread_set_joinable(th);
    uint64_t s0 = zentho::vcpu_switch_count(zentho::get_vcpu());
    auto t0 = clk::now();
    for (long i = 0; i < rounds; ++i) zentho::thread_yield();
    double ns = ns_since(t0);
    uint64_t switches = zentho::vcpu_switch_count(zentho::get_vcpu()) - s0;
    zentho::thread_join(th);
    return ns / double(switches);
}

// ---- boost.context fcontext ----
static void fc_entry(ctx::transfer_t t) {
    for (;;) t = ctx::jump_fcontext(t.fctx, nullptr);
}

static double fcontext_switch_ns(long rounds) {
    std::vector<char> stack(64 * 1024);
    ctx::fcontext_t f = ctx::make_fcontext(stack.data() + stack.size(), stack.size(), &fc_entry);
    auto t0 = clk::now();
    for (long i = 0; i < rounds; ++i) f = ctx::jump_fcontext(f, nullptr).fctx;
    return ns_since(t0) / double(2 * rounds);
}

// ---- two OS threads on a condition variable ----
static double os_thread_switch_ns(long rounds) {
    std::mutex m;
    std::condition_variable cv;
    bool turn_b = false;
    std::thread b([&] {
        std::unique_lock<std::mutex> l(m);
        for (long i = 0; i < rounds; ++i) {
            cv.wait(l, [&] { return turn_b; });
            turn_b = false;
            cv.notify_one();
        }
    });
    auto t0 = clk::now();
    {
        std::unique_lock<std::mutex> l(m);
        for (long i = 0; i < rounds; ++i) {
            turn_b = true;
            cv.notify_one();
            cv.wait(l, [&] { return !turn_b; });
        }
    }
    double ns = ns_since(t0);
    b.join();
    return ns / double(2 * rounds);
}

static void* nothing(void*) { return nullptr; }

static double create_join_ns(long n, uint64_t stack) {
    auto t0 = clk::now();
    for (long i = 0; i < n; ++i) {
        zentho::Thread* th = zentho::thread_create(&nothing, nullptr, stack);
        zentho::thread_set_joinable(th);
        zentho::thread_join(th);
    }
    return ns_since(t0) / double(n);
}

template <typename F>
static double best_of(int runs, F f) {
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        double v = f();
        if (v < best) best = v;
    }
    return best;
}

int main(int argc, char** argv) {
    long rounds = argc > 1 ? atol(argv[1]) : 2000000;
    if (zentho::init(zentho::INIT_EVENT_EPOLL) != 0) return 1;
    const int runs = 5;

    double z = best_of(runs, [&] { return zentho_switch_ns(rounds); });
    double zy = best_of(runs, [&] { return zentho_yield_ns(rounds); });
    zentho::timestamp_updater_init();
    double zu = best_of(runs, [&] { return zentho_switch_ns(rounds); });
    zentho::timestamp_updater_fini();
    double fc = best_of(runs, [&] { return fcontext_switch_ns(rounds); });
    double os = best_of(runs, [&] { return os_thread_switch_ns(rounds / 20); });
    double cj8 = best_of(runs, [&] { return create_join_ns(20000, zentho::DEFAULT_STACK_SIZE); });
    double cj64 = best_of(runs, [&] { return create_join_ns(20000, 64 * 1024); });

    printf("one switch, ping-pong (best of %d, %ld round trips)\n", runs, rounds);
    printf("  zentho thread_yield_to               %8.2f ns\n", z);
    printf("  zentho thread_yield_to, clock thread %8.2f ns\n", zu);
    printf("  zentho thread_yield (run queue)      %8.2f ns\n", zy);
    printf("  boost.context fcontext               %8.2f ns\n", fc);
    printf("  OS threads + condition variable      %8.2f ns\n", os);
    printf("ratios\n");
    printf("  zentho / fcontext                    %8.2f x\n", z / fc);
    printf("  zentho (clock thread) / fcontext     %8.2f x\n", zu / fc);
    printf("  OS threads / zentho                  %8.1f x\n", os / z);
    printf("coroutine create + join\n");
    printf("  8 MiB stack                          %8.1f ns\n", cj8);
    printf("  64 KiB stack                         %8.1f ns\n", cj64);
    zentho::fini();
    return 0;
}
