#include "zentho/common/iovector.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "guarded_buffer.h"
#include "log_capture.h"

using zentho::IOAlloc;
using zentho::iovector;
using zentho::iovector_view;

namespace {

const char kText[] = "abcdefghijkl";  // 12 bytes, split 3 + 4 + 5

// Elements over guarded memory: the last byte of the last element is the last
// byte before a PROT_NONE page.
struct Split {
    GuardedBuffer mem{kText, 12};
    struct iovec iov[3];
    iovector_view view;
    Split() {
        iov[0] = {mem.data(), 3};
        iov[1] = {mem.data() + 3, 4};
        iov[2] = {mem.data() + 7, 5};
        view = {iov, 3};
    }
};

std::string contents(const iovector_view& v) {
    std::string s;
    for (int i = 0; i < v.iovcnt; ++i) s.append(static_cast<char*>(v.iov[i].iov_base), v.iov[i].iov_len);
    return s;
}

std::vector<size_t> lengths(const iovector_view& v) {
    std::vector<size_t> l;
    for (int i = 0; i < v.iovcnt; ++i) l.push_back(v.iov[i].iov_len);
    return l;
}

TEST(IOVectorView, ShrinkTo) {
    struct Case {
        size_t n;
        size_t ret;
        std::vector<size_t> lens;
    } cases[] = {
        {0, 0, {}},         {2, 2, {2}},          {3, 3, {3}},           {4, 4, {3, 1}},
        {7, 7, {3, 4}},     {11, 11, {3, 4, 4}},  {12, 12, {3, 4, 5}},  {20, 12, {3, 4, 5}},
    };
    for (const auto& c : cases) {
        Split s;
        EXPECT_EQ(s.view.shrink_to(c.n), c.ret) << c.n;
        EXPECT_EQ(lengths(s.view), c.lens) << c.n;
        EXPECT_EQ(contents(s.view), std::string(kText, std::min<size_t>(c.n, 12))) << c.n;
    }
}

struct ExtractCase {
    size_t n;
    size_t dropped;
    std::vector<size_t> lens_left;
};

const ExtractCase kFront[] = {
    {0, 0, {3, 4, 5}}, {2, 2, {1, 4, 5}}, {3, 3, {4, 5}}, {8, 8, {4}}, {12, 12, {}}, {40, 12, {}},
};
const ExtractCase kBack[] = {
    {0, 0, {3, 4, 5}}, {2, 2, {3, 4, 3}}, {5, 5, {3, 4}}, {8, 8, {3, 1}}, {12, 12, {}}, {40, 12, {}},
};

TEST(IOVectorView, ExtractFrontAllVariants) {
    for (const auto& c : kFront) {
        std::string want_left(kText + c.dropped, 12 - c.dropped);
        Split a;
        EXPECT_EQ(a.view.extract_front(c.n), c.dropped) << c.n;
        EXPECT_EQ(lengths(a.view), c.lens_left) << c.n;
        EXPECT_EQ(contents(a.view), want_left);

        Split b;
        GuardedBuffer out(c.dropped);
        EXPECT_EQ(b.view.extract_front(c.n, out.data()), c.dropped) << c.n;
        EXPECT_EQ(std::string(out.data(), c.dropped), std::string(kText, c.dropped));
        EXPECT_EQ(contents(b.view), want_left);

        Split d;
        struct iovec moved[3];
        iovector_view into{moved, 3};
        EXPECT_EQ(d.view.extract_front(c.n, &into), ssize_t(c.dropped)) << c.n;
        EXPECT_EQ(contents(into), std::string(kText, c.dropped));
        EXPECT_EQ(contents(d.view), want_left);
    }
}

TEST(IOVectorView, ExtractBackAllVariants) {
    for (const auto& c : kBack) {
        std::string want_left(kText, 12 - c.dropped);
        std::string want_dropped(kText + 12 - c.dropped, c.dropped);
        Split a;
        EXPECT_EQ(a.view.extract_back(c.n), c.dropped) << c.n;
        EXPECT_EQ(lengths(a.view), c.lens_left) << c.n;
        EXPECT_EQ(contents(a.view), want_left);

        Split b;
        GuardedBuffer out(c.dropped);
        EXPECT_EQ(b.view.extract_back(c.n, out.data()), c.dropped) << c.n;
        EXPECT_EQ(std::string(out.data(), c.dropped), want_dropped);
        EXPECT_EQ(contents(b.view), want_left);

        Split d;
        struct iovec moved[3];
        iovector_view into{moved, 3};
        EXPECT_EQ(d.view.extract_back(c.n, &into), ssize_t(c.dropped)) << c.n;
        EXPECT_EQ(contents(into), want_dropped);
        EXPECT_EQ(contents(d.view), want_left);
    }
}

TEST(IOVectorView, ExtractIntoTooSmallViewFailsAndKeepsBoth) {
    for (bool front : {true, false}) {
        Split s;
        struct iovec moved[1];
        iovector_view into{moved, 1};
        ssize_t r = front ? s.view.extract_front(5, &into) : s.view.extract_back(7, &into);
        EXPECT_EQ(r, -1);
        EXPECT_EQ(contents(s.view), kText);
        EXPECT_EQ(into.iovcnt, 1);
    }
}

TEST(IOVectorView, GatherAndScatterStopAtTheEnd) {
    for (size_t n : {0, 1, 3, 7, 11, 12, 13, 100}) {
        size_t want = std::min<size_t>(n, 12);
        Split s;
        GuardedBuffer out(want);
        EXPECT_EQ(s.view.gather_to(out.data(), n), want);
        EXPECT_EQ(std::string(out.data(), want), std::string(kText, want));
        EXPECT_EQ(s.view.iovcnt, 3);

        Split t;
        GuardedBuffer in("ABCDEFGHIJKL", 12);
        EXPECT_EQ(t.view.scatter_from(in.data(), want), want);
        EXPECT_EQ(contents(t.view), std::string("ABCDEFGHIJKL", want) + std::string(kText + want, 12 - want));
    }
}

TEST(IOVectorView, CopyBetweenDifferentlySplitViews) {
    for (size_t limit : {0, 1, 5, 9, 12, 50}) {
        size_t want = std::min<size_t>(limit, 12);
        Split src;
        GuardedBuffer dst_mem(12);
        memset(dst_mem.data(), '.', 12);
        struct iovec d[4] = {{dst_mem.data(), 1}, {dst_mem.data() + 1, 6}, {dst_mem.data() + 7, 0},
                             {dst_mem.data() + 7, 5}};
        iovector_view dst{d, 4};
        EXPECT_EQ(src.view.copy_to(&dst, limit), want) << limit;
        EXPECT_EQ(std::string(dst_mem.data(), 12), std::string(kText, want) + std::string(12 - want, '.'));
        EXPECT_EQ(src.view.sum(), 12 - want);
        EXPECT_EQ(dst.sum(), 12 - want);
    }
}

TEST(IOVectorView, Slice) {
    struct Case {
        size_t count, offset;
        int cap;
        ssize_t ret;
        std::string bytes;
    } cases[] = {
        {12, 0, 3, 12, kText},   {4, 2, 3, 4, "cdef"},  {5, 7, 3, 5, "hijkl"}, {20, 10, 3, 2, "kl"},
        {3, 12, 3, 0, ""},       {12, 0, 2, 7, "abcdefg"}, {0, 4, 3, 0, ""},
    };
    for (const auto& c : cases) {
        Split s;
        struct iovec o[3];
        iovector_view out{o, c.cap};
        EXPECT_EQ(s.view.slice(c.count, c.offset, &out), c.ret) << c.count << "@" << c.offset;
        EXPECT_EQ(contents(out), c.bytes);
        EXPECT_EQ(contents(s.view), kText);
    }
    Split s;
    iovector_view empty{nullptr, 0};
    EXPECT_EQ(s.view.slice(4, 0, nullptr), -1);
    EXPECT_EQ(s.view.slice(4, 0, &empty), -1);
}

// Gives at most `chunk` bytes per buffer and at most `budget` buffers.
struct CountingAlloc {
    int chunk = 5;
    int budget = 1000;
    int live = 0;
    std::vector<IOAlloc::RangeSize> asked;
    IOAlloc alloc() {
        IOAlloc a;
        a.allocate_ctx = a.release_ctx = this;
        a.allocate_fn = [](void* ctx, IOAlloc::RangeSize r, int* got) -> void* {
            auto* self = static_cast<CountingAlloc*>(ctx);
            self->asked.push_back(r);
            if (self->budget-- <= 0) return nullptr;
            *got = std::min(r.max, self->chunk);
            ++self->live;
            return malloc(size_t(*got));
        };
        a.release_fn = [](void* ctx, void* p) {
            --static_cast<CountingAlloc*>(ctx)->live;
            free(p);
        };
        return a;
    }
};

TEST(IOVector, PushMoreFillsUntilRoomRunsOut) {
    LogCapture log;
    CountingAlloc ca;
    {
        iovector v(4, 1, ca.alloc());
        errno = 0;
        EXPECT_EQ(v.push_back_more(12), 12u);
        EXPECT_EQ(v.iovcnt(), 3);
        EXPECT_EQ(v.sum(), 12u);
        EXPECT_EQ(ca.asked.back().min, 1);
        EXPECT_EQ(ca.asked.back().max, 2);  // the remainder
        EXPECT_EQ(v.push_back_more(10), 0u);
        EXPECT_EQ(errno, ENOBUFS);
        EXPECT_TRUE(log.contains("no more buffer space in iovs[] (capacity:4)"));

        EXPECT_EQ(v.push_front_more(3), 3u);
        EXPECT_EQ(v.iovcnt(), 4);
        errno = 0;
        EXPECT_EQ(v.push_front_more(3), 0u);
        EXPECT_EQ(errno, ENOBUFS);
        EXPECT_TRUE(log.contains("no more preserved space iovs[]"));
        EXPECT_EQ(ca.live, 4);
        log.clear();
        v.debug_print();
        EXPECT_TRUE(log.contains("iov sum: 15{addr: 0x"));
        EXPECT_TRUE(log.contains(", len: 3}, {addr: "));
    }
    EXPECT_EQ(ca.live, 0);
}

TEST(IOVector, BufferRecordFullOrAllocatorDryStopsEarly) {
    CountingAlloc ca;
    {
        // the element array still has room after clear(), the buffer record has not
        iovector v(2, 0, ca.alloc());
        EXPECT_EQ(v.push_back_more(10), 10u);
        v.clear();
        errno = 0;
        EXPECT_EQ(v.push_back_more(10), 0u);
        EXPECT_EQ(errno, ENOBUFS);
    }
    EXPECT_EQ(ca.live, 0);
    CountingAlloc dry;
    dry.budget = 1;
    iovector w(8, 0, dry.alloc());
    errno = 0;
    EXPECT_EQ(w.push_back_more(20), 5u);
    EXPECT_EQ(errno, 0);
}

TEST(IOVector, PushFrontWithoutRoomAddsNothing) {
    LogCapture log;
    iovector v(8, 0);
    errno = 0;
    EXPECT_EQ(v.push_front_more(100), 0u);
    EXPECT_EQ(errno, ENOBUFS);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(v.push_back_more(100), 100u);  // default allocator: one buffer
    EXPECT_EQ(v.iovcnt(), 1);
}

}  // namespace
