#include "object/allocator.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "log_capture.h"
#include "zentho/thread/thread.h"

namespace {

struct Runtime {
    Runtime() { EXPECT_EQ(zentho::init(), 0); }
    ~Runtime() { zentho::fini(); }
};

}  // namespace

TEST(MemAllocator, HandsOutEachBufferOnceAndTakesThemBack) {
    Runtime rt;
    auto* pool = new MemAllocator(4096, 3);
    std::set<IBuffer*> out;
    for (int i = 0; i < 3; ++i) {
        IBuffer* b = pool->alloc();
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->size, 4096u);
        out.insert(b);
    }
    EXPECT_EQ(out.size(), 3u);
    EXPECT_EQ(pool->available(), 0);
    for (auto* b : out) EXPECT_EQ(b->release(), 0);
    EXPECT_EQ(pool->available(), 3);
    EXPECT_EQ(pool->count(), 3);
    LogCapture log;
    pool->stop();  // all home: deleted at once
    EXPECT_TRUE(log.contains("delete allocator in stop "));
}

TEST(MemAllocator, StoppedPoolLivesUntilLastRelease) {
    Runtime rt;
    auto* pool = new MemAllocator(16, 2);
    IBuffer* a = pool->alloc();
    IBuffer* b = pool->alloc();
    LogCapture log;
    pool->stop();
    EXPECT_TRUE(log.contains("allocator will be delete in release"));
    EXPECT_EQ(pool->alloc(), nullptr);  // stopped: null at once
    EXPECT_EQ(a->release(), 0);
    EXPECT_FALSE(log.contains("delete allocator in release "));
    EXPECT_EQ(b->release(), 0);  // the last one home deletes the pool
    EXPECT_TRUE(log.contains("delete allocator in release "));
}

TEST(MemAllocator, WaitersBlockUntilReleaseOrStop) {
    Runtime rt;
    auto* pool = new MemAllocator(16, 1);
    IBuffer* held = pool->alloc();
    // a release from a plain thread wakes the waiting coroutine
    std::thread releaser([&] {
        usleep(20000);
        held->release();
    });
    IBuffer* got = pool->alloc();
    releaser.join();
    EXPECT_EQ(got, held);

    struct Ctx {
        MemAllocator* pool;
        IBuffer* result = reinterpret_cast<IBuffer*>(1);
    } ctx{pool};
    auto* th = zentho::thread_create(
        [](void* p) -> void* {
            auto* c = static_cast<Ctx*>(p);
            c->result = c->pool->alloc();
            return nullptr;
        },
        &ctx);
    zentho::thread_set_joinable(th);
    zentho::thread_yield();  // the coroutine now waits in alloc
    pool->stop();
    zentho::thread_join(th);
    EXPECT_EQ(ctx.result, nullptr);
    got->release();  // last buffer home: the stopped pool goes away
}
