#include "zentho/common/expire_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zentho/thread/thread.h"

using namespace zentho;

namespace {

struct Obj {
    int id;
    static inline int live = 0;
    explicit Obj(int i) : id(i) { live++; }
    ~Obj() { live--; }
};
using Cache = ObjectCache<std::string, Obj*>;

class ExpireCache : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, init(INIT_EVENT_EPOLL)); }
    void TearDown() override {
        fini();
        EXPECT_EQ(0, Obj::live);
    }
    template <typename F>
    static Thread* spawn(F* f) {
        Thread* th = thread_create([](void* a) -> void* {
            (*static_cast<F*>(a))();
            return nullptr;
        }, f);
        thread_set_joinable(th);
        return th;
    }
    static void sleep_ms(uint64_t ms) { thread_usleep(Timeout(ms * 1000)); }
};

}  // namespace

TEST_F(ExpireCache, ConcurrentBorrowsOfAMissingKeyCreateOnce) {
    Cache cache(1000000, 1000000 / 16);
    int created = 0;
    Obj* got[2] = {};
    auto make = [&] {
        created++;
        sleep_ms(20);  // the other borrower arrives while this one creates
        return new Obj(created);
    };
    auto a = [&] { got[0] = cache.borrow("k", make); };
    auto b = [&] { got[1] = cache.borrow("k", make); };
    Thread* ta = spawn(&a);
    Thread* tb = spawn(&b);
    thread_join(ta);
    thread_join(tb);
    EXPECT_EQ(1, created);
    ASSERT_NE(nullptr, got[0]);
    EXPECT_EQ(got[0], got[1]);
    EXPECT_EQ(0, cache.release("k"));
    EXPECT_EQ(0, cache.release("k"));
    EXPECT_EQ(-1, cache.release("absent"));
}

TEST_F(ExpireCache, IdleEntriesExpireBorrowedOnesDoNot) {
    Cache cache(50000, 50000 / 16);
    int created = 0;
    auto make = [&] { return new Obj(++created); };
    cache.borrow("idle", make);
    cache.release("idle");
    Obj* held = cache.borrow("held", make);
    sleep_ms(120);
    update_now();
    cache.expire();
    EXPECT_EQ(1u, cache.size());  // only the borrowed one is left
    EXPECT_EQ(held, cache.borrow("held", make));
    EXPECT_EQ(2, created);
    Obj* again = cache.borrow("idle", make);
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(3, created);
    cache.release("held");
    cache.release("held");
    cache.release("idle");
    // the timer alone removes them too
    sleep_ms(150);
    EXPECT_EQ(0u, cache.size());
}

TEST_F(ExpireCache, FailedCreationIsRetriedOnlyAfterTheCooldown) {
    Cache cache(1000000, 1000000 / 16);
    int calls = 0;
    auto fail = [&]() -> Obj* {
        calls++;
        return nullptr;
    };
    EXPECT_EQ(nullptr, cache.borrow("k", fail, 50000));
    EXPECT_EQ(nullptr, cache.borrow("k", fail, 50000));
    EXPECT_EQ(1, calls);
    sleep_ms(60);
    update_now();
    EXPECT_EQ(nullptr, cache.borrow("k", fail, 50000));
    EXPECT_EQ(2, calls);
}

TEST_F(ExpireCache, RecycleWaitsForOtherBorrowersThenABorrowCreatesAfresh) {
    Cache cache(1000000, 1000000 / 16);
    int created = 0;
    auto make = [&] { return new Obj(++created); };
    Obj* first = cache.borrow("k", make);
    cache.borrow("k", make);
    cache.borrow("k", make);  // three borrowers
    std::vector<std::string> order;
    auto recycler = [&] {
        cache.release("k", true);
        order.push_back("recycled");
    };
    int fresh = 0;
    auto borrower = [&] {
        Obj* o = cache.borrow("k", make);
        fresh = o ? o->id : -1;
        order.push_back("borrowed");
        cache.release("k");
    };
    Thread* tr = spawn(&recycler);
    sleep_ms(5);
    Thread* tb = spawn(&borrower);
    sleep_ms(5);
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(1, first->id);
    cache.release("k");
    sleep_ms(5);
    EXPECT_TRUE(order.empty());  // one borrower still holds it
    cache.release("k");
    thread_join(tr);
    thread_join(tb);
    EXPECT_EQ((std::vector<std::string>{"recycled", "borrowed"}), order);
    EXPECT_EQ(2, fresh);
    EXPECT_EQ(2, created);
}
