#include "zentho/io/reset_handle.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <thread>
#include <string>
#include <vector>

namespace {

std::string g_trace;

template <typename Base>
struct Recorder : Base {
    char name;
    explicit Recorder(char n) : name(n) {}
    int reset() override {
        g_trace += name;
        return 0;
    }
};

// A handle that destroys itself while being reset.
template <typename Base>
struct SelfErasing : Base {
    int reset() override {
        g_trace += 'x';
        delete this;
        return 0;
    }
};

template <typename T>
class ResetHandleTest : public ::testing::Test {};

struct ModuleRegistry {
    using Handle = ::ResetHandle;
    static void run() { ::reset_all_handle(); }
};
struct RuntimeRegistry {
    using Handle = zentho::ResetHandle;
    static void run() { zentho::reset_all_handle(); }
};
using Registries = ::testing::Types<ModuleRegistry, RuntimeRegistry>;
TYPED_TEST_SUITE(ResetHandleTest, Registries);

TYPED_TEST(ResetHandleTest, ResetsInRegistrationOrderAndForgetsDestroyed) {
    using H = Recorder<typename TypeParam::Handle>;
    g_trace.clear();
    TypeParam::run();  // empty registry: nothing happens
    EXPECT_EQ(g_trace, "");
    {
        auto a = std::make_unique<H>('a');
        auto b = std::make_unique<H>('b');
        auto c = std::make_unique<H>('c');
        TypeParam::run();
        EXPECT_EQ(g_trace, "abc");
        a.reset();  // the head goes: b becomes the oldest
        g_trace.clear();
        TypeParam::run();
        EXPECT_EQ(g_trace, "bc");
        auto d = std::make_unique<H>('d');
        c.reset();  // from the middle
        g_trace.clear();
        TypeParam::run();
        EXPECT_EQ(g_trace, "bd");
    }
    g_trace.clear();
    TypeParam::run();  // all destroyed: the list is empty again
    EXPECT_EQ(g_trace, "");
}

TYPED_TEST(ResetHandleTest, HandleMayDestroyItselfDuringReset) {
    using H = Recorder<typename TypeParam::Handle>;
    g_trace.clear();
    new SelfErasing<typename TypeParam::Handle>();  // the head, gone after its reset
    auto b = std::make_unique<H>('b');
    new SelfErasing<typename TypeParam::Handle>();
    auto d = std::make_unique<H>('d');
    TypeParam::run();
    EXPECT_EQ(g_trace, "xbxd");
    g_trace.clear();
    TypeParam::run();
    EXPECT_EQ(g_trace, "bd");
}

// The runtime's list is per OS thread: a handle built on another thread is not
// reset by this thread's handler.
TEST(RuntimeResetHandle, ListIsPerThread) {
    g_trace.clear();
    Recorder<zentho::ResetHandle> mine('m');
    std::unique_ptr<Recorder<zentho::ResetHandle>> other;
    std::thread t([&] {
        other = std::make_unique<Recorder<zentho::ResetHandle>>('o');
        zentho::reset_all_handle();
        // destroyed on its own thread, as the registry requires
        other.reset();
    });
    t.join();
    EXPECT_EQ(g_trace, "o");
    g_trace.clear();
    zentho::reset_all_handle();
    EXPECT_EQ(g_trace, "m");
}

TEST(ModuleResetHandle, ForkChildHandlerRunsInChildOnly) {
    g_trace.clear();
    Recorder<::ResetHandle> a('a');
    static bool registered = [] { return pthread_atfork(nullptr, nullptr, &::reset_all_handle) == 0; }();
    ASSERT_TRUE(registered);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(g_trace == "a" ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(g_trace, "");  // the parent is untouched
}

}  // namespace
