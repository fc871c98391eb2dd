#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "log_capture.h"
#include "zentho/net/utils.h"
#include "zentho/thread/thread.h"

using namespace zentho;
using namespace zentho::net;

namespace {

std::atomic<int> lookups{0};

// Three addresses for "three.test", nothing for anything else.
int fake_lookup(const char* host, const std::function<int(IPAddr)>& cb) {
    lookups++;
    if (std::string(host) != "three.test") return -1;
    for (const char* a : {"127.0.0.1", "127.0.0.2", "::1"}) cb(IPAddr(a));
    return 3;
}

struct FakeResolver : DefaultResolver {
    FakeResolver() : DefaultResolver(3600ull * 1000000, UINT64_MAX) { m_lookup = &fake_lookup; }
};

class Resolve : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, init(INIT_EVENT_EPOLL));
        lookups = 0;
    }
    void TearDown() override { fini(); }
};

}  // namespace

TEST_F(Resolve, RotatesThroughTheAddressesOfOneEntry) {
    FakeResolver r;
    std::vector<std::string> got;
    for (int i = 0; i < 6; i++) got.push_back(r.resolve("three.test").to_string());
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1", "127.0.0.2", "::1", "127.0.0.1", "127.0.0.2", "::1"}), got);
    EXPECT_EQ(1, lookups.load());
}

TEST_F(Resolve, DiscardRemovesAddressesAndTheLastOneDropsTheEntry) {
    FakeResolver r;
    r.resolve("three.test");
    r.discard_cache("three.test", IPAddr("127.0.0.2"));
    std::set<std::string> seen;
    for (int i = 0; i < 4; i++) seen.insert(r.resolve("three.test").to_string());
    EXPECT_EQ((std::set<std::string>{"127.0.0.1", "::1"}), seen);
    r.discard_cache("three.test", IPAddr("127.0.0.1"));
    r.discard_cache("three.test", IPAddr("::1"));
    EXPECT_EQ(1, lookups.load());
    EXPECT_FALSE(r.resolve("three.test").undefined());
    EXPECT_EQ(2, lookups.load());  // looked up again
    r.discard_cache("three.test");  // the undefined address drops the entry at once
    r.resolve("three.test");
    EXPECT_EQ(3, lookups.load());
}

TEST_F(Resolve, FailuresGiveTheUndefinedAddressAndAreNotKept) {
    FakeResolver r;
    LogCapture cap(ALOG_ERROR);
    EXPECT_TRUE(r.resolve("nowhere.test").undefined());
    EXPECT_TRUE(cap.contains("Domain resolution for 'nowhere.test' failed"));
    EXPECT_TRUE(r.resolve("nowhere.test").undefined());
    EXPECT_EQ(2, lookups.load());
}

TEST_F(Resolve, RealLookupOfLocalhost) {
    Resolver* r = new_default_resolver();
    IPAddr a = r->resolve("localhost");
    EXPECT_TRUE(a == IPAddr("127.0.0.1") || a == IPAddr("::1")) << a.to_string();
    int n = _gethostbyname("127.0.0.1", [](IPAddr x) { return x == IPAddr("127.0.0.1") ? 0 : -1; });
    EXPECT_EQ(1, n);
    delete r;
}
