#include "iterator/object_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "zentho/thread/thread.h"

namespace {

struct Runtime {
    Runtime() { EXPECT_EQ(zentho::init(), 0); }
    ~Runtime() { zentho::fini(); }
};

}  // namespace

TEST(ObjectQueue, FifoAndEndMarker) {
    Runtime rt;
    ObjectQueue q;
    EXPECT_EQ(q.pop(), nullptr);
    for (int i = 0; i < 5; ++i) q.push(new IDataObjectRO("/k" + std::to_string(i), i, ""));
    q.push(new_end_marker());
    for (int i = 0; i < 5; ++i) {
        std::unique_ptr<IDataObject> o(q.receive());
        EXPECT_EQ(o->key, "/k" + std::to_string(i));
    }
    std::unique_ptr<IDataObject> end(q.receive());
    EXPECT_TRUE(end->key.empty());
    EXPECT_EQ(end->size, 0);
    EXPECT_TRUE(q.empty());
}

TEST(ObjectQueue, ManyProducersThroughAFullQueueDeliverEachObjectOnce) {
    Runtime rt;
    ObjectQueue q;
    constexpr int producers = 3;
    constexpr int per = 20000;  // more than the capacity in all: producers wait on a full queue
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&q, p] {
            zentho::init();
            for (int i = 0; i < per; ++i) q.push(new IDataObjectRO("", int64_t(p) * per + i, ""));
            zentho::fini();
        });
    }
    // let the queue fill before consuming
    usleep(200000);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<char> seen(producers * per, 0);
    std::vector<int64_t> last(producers, -1);
    for (int n = 0; n < producers * per; ++n) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::unique_ptr<IDataObject> o(q.receive());
        int64_t v = o->size;
        ASSERT_GE(v, 0);
        ASSERT_LT(v, producers * per);
        ASSERT_EQ(seen[v], 0) << "delivered twice: " << v;
        seen[v] = 1;
        int p = int(v / per);
        EXPECT_GT(v, last[p]);  // each producer's objects stay in order
        last[p] = v;
    }
    for (auto& t : threads) t.join();
    EXPECT_TRUE(q.empty());
}

TEST(ObjectQueue, ClearDestroysQueuedObjects) {
    Runtime rt;
    ObjectQueue q;
    for (int i = 0; i < 7; ++i) q.push(new IDataObjectRO("", 0, ""));
    LogCapture log(zentho::ALOG_INFO);
    q.clear_queue();
    EXPECT_TRUE(log.contains("[count=7]"));
    EXPECT_TRUE(q.empty());
}
