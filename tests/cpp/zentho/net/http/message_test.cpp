#include "zentho/net/http/message.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "log_capture.h"
#include "test_streams.h"

using namespace zentho::net::http;

TEST(StartLine, StatusLineEveryPrefixBeforeAGuardPage) {
    struct Case {
        const char* line;
        int status;  // 0: invalid
        const char* version;
        const char* reason;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n", 200, "1.1", "OK"},
        {"HTTP/1.0 404 Not Found\r\n", 404, "1.0", "Not Found"},
        {"1.1 301 Moved\r\n", 301, "1.1", "Moved"},
        {"HTTP/1.1 999\r\n", 999, "1.1", ""},
        {"HTTP/1.1 1 x\r\n", 1, "1.1", "x"},
        {"HTTP/123456 200 OK\r\n", 0, "", ""},
        {"HTTP/1.1 0 OK\r\n", 0, "", ""},
        {"HTTP/1.1 1000 OK\r\n", 0, "", ""},
        {"HTTP/1.1 2x0 OK\r\n", 0, "", ""},
        {"HTTP/1.1 200 OK\rX", 0, "", ""},
        {"HTTP/1.1  200 OK\r\n", 0, "", ""},
    };
    LogCapture quiet(zentho::ALOG_FATAL);
    for (auto& c : cases) {
        std::string s = c.line;
        for (size_t n = 0; n <= s.size(); n++) {
            GuardedBytes g(std::string_view(s).substr(0, n));
            StatusLine sl;
            int r = parse_status_line(g.view(), sl);
            if (n < s.size() || c.status == 0) {
                EXPECT_EQ(-1, r) << s << " prefix " << n;
                continue;
            }
            ASSERT_EQ(int(s.size()), r) << s;
            EXPECT_EQ(c.status, sl.status);
            EXPECT_EQ(c.version, std::string(g.data() + sl.version_offset, sl.version_length));
            EXPECT_EQ(c.reason, std::string(g.data() + sl.reason_offset, sl.reason_length));
        }
    }
}

TEST(StartLine, RequestLineEveryPrefixBeforeAGuardPage) {
    struct Case {
        const char* line;
        Verb verb;  // UNKNOWN: invalid
        const char* target;
    } cases[] = {
        {"GET /a?b HTTP/1.1\r\n", Verb::GET, "/a?b"},
        {"PROPPATCH / HTTP/1.0\r\n", Verb::PROPPATCH, "/"},
        {"UNLINK http://h/x 1.1\r\n", Verb::UNLINK, "http://h/x"},
        {"get / HTTP/1.1\r\n", Verb::UNKNOWN, ""},
        {"FETCH / HTTP/1.1\r\n", Verb::UNKNOWN, ""},
        {"GET  HTTP/1.1\r\n", Verb::UNKNOWN, ""},
        {"GET / HTTP/1.1234\r\n", Verb::UNKNOWN, ""},
    };
    LogCapture quiet(zentho::ALOG_FATAL);
    for (auto& c : cases) {
        std::string s = c.line;
        for (size_t n = 0; n <= s.size(); n++) {
            GuardedBytes g(std::string_view(s).substr(0, n));
            RequestLine rl;
            int r = parse_request_line(g.view(), rl);
            if (n < s.size() || c.verb == Verb::UNKNOWN) {
                EXPECT_EQ(-1, r) << s << " prefix " << n;
                continue;
            }
            ASSERT_EQ(int(s.size()), r) << s;
            EXPECT_EQ(c.verb, rl.verb);
            EXPECT_EQ(c.target, std::string(g.data() + rl.target_offset, rl.target_length));
        }
    }
}

TEST(Verbs, TableRoundTrips) {
    EXPECT_EQ("UNKNOWN", verb_str(Verb::UNKNOWN));
    EXPECT_EQ("DELETE", verb_str(Verb::DELETE));
    EXPECT_EQ("UNLINK", verb_str(Verb::UNLINK));
    EXPECT_EQ(33, int(Verb::UNLINK));
    for (int i = 1; i < VERB_COUNT; i++) EXPECT_EQ(Verb(i), string_to_verb(verb_str(Verb(i))));
    EXPECT_EQ(Verb::UNKNOWN, string_to_verb("UNKNOWN"));
    EXPECT_EQ(Verb::UNKNOWN, string_to_verb("GETX"));
}

namespace {

// Receives `wire` into a response cut at the given points; the body is read back whole.
struct Received {
    int header_result;
    int status;
    std::string body;
    ssize_t read_result;
    bool close_after_use;
    int stream_closes;
};

Received receive(const std::string& wire, std::vector<size_t> cuts, Verb verb = Verb::GET, size_t cap = 16384) {
    std::vector<char> buf(cap);
    auto* s = new MemSocketStream(wire, cuts);
    Received out{};
    {
        Response resp(buf.data(), cap);
        resp.request_verb(verb);
        resp.socket_stream(s, false);
        out.header_result = resp.receive_header();
        out.status = resp.status_code();
        out.close_after_use = resp.close_after_use();
        if (out.header_result == 0) {
            std::string body(wire.size() + 1, 0);
            out.read_result = 0;
            for (;;) {
                ssize_t r = resp.read(body.data() + out.body.size(), 7);  // small reads cross every boundary
                if (r <= 0) {
                    if (r < 0) out.read_result = -1;
                    break;
                }
                out.body.append(body.data() + out.body.size(), r);
            }
        }
    }
    out.stream_closes = s->closes;
    delete s;
    return out;
}

}  // namespace

TEST(Response, HeaderAndPartOfBodyInOneRecvThenTheRest) {
    std::string body(3000, 'b');
    for (size_t i = 0; i < body.size(); i++) body[i] = 'a' + i % 26;
    std::string wire = "HTTP/1.1 200 OK\r\nContent-Length: 3000\r\n\r\n" + body;
    for (size_t cut : {size_t(0), size_t(10), size_t(43), size_t(44), size_t(1000), wire.size()}) {
        auto r = receive(wire, {cut});
        ASSERT_EQ(0, r.header_result) << cut;
        EXPECT_EQ(200, r.status);
        EXPECT_EQ(body, r.body) << cut;
    }
}

TEST(Response, ChunkedBodyCutAtEveryByteBoundary) {
    std::string wire =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nhello\r\n1;ext=1\r\n \r\n10\r\n0123456789abcdef\r\n0\r\nX-Trailer: t\r\n\r\n";
    std::string expect = "hello 0123456789abcdef";
    for (size_t a = 0; a <= wire.size(); a++) {
        for (size_t b = a; b <= wire.size(); b += 5) {
            auto r = receive(wire, {a, b});
            ASSERT_EQ(0, r.header_result) << a << "," << b;
            ASSERT_EQ(expect, r.body) << a << "," << b;
            ASSERT_EQ(0, r.read_result);
        }
    }
}

TEST(Response, ChunkedBodyRejectsBadFraming) {
    LogCapture quiet(zentho::ALOG_FATAL);
    const char* head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (const char* body : {"zz\r\nab\r\n0\r\n\r\n", "5\nhello\r\n0\r\n\r\n", "5\r\nhel", "11111111111111111\r\n"}) {
        auto r = receive(std::string(head) + body, {});
        ASSERT_EQ(0, r.header_result);
        EXPECT_EQ(-1, r.read_result) << body;
    }
}

TEST(Response, ChunkSizeLineLimitIsTheWorkingArea) {
    const char* head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    LogCapture quiet(zentho::ALOG_FATAL);
    for (size_t line : {size_t(4096), size_t(4097)}) {
        // "1;" + extension + CR LF is exactly `line` bytes
        std::string body = "1;" + std::string(line - 4, 'e') + "\r\nZ\r\n0\r\n\r\n";
        auto r = receive(std::string(head) + body, {});
        ASSERT_EQ(0, r.header_result);
        if (line == 4096) {
            EXPECT_EQ("Z", r.body);
            EXPECT_EQ(0, r.read_result);
        } else {
            EXPECT_EQ(-1, r.read_result);
        }
    }
}

TEST(Response, BodyAndResourceSizes) {
    struct Case {
        const char* headers;
        Verb verb;
        int64_t body, resource;
    } cases[] = {
        {"Content-Length: 10\r\n", Verb::GET, 10, 10},
        {"Content-Range: bytes 0-99/1000\r\n", Verb::GET, 100, 1000},
        {"Content-Range: bytes */1000\r\n", Verb::GET, 1000, 1000},
        {"Content-Range: bytes 5-9/*\r\n", Verb::GET, 5, -1},
        {"Content-Length: 100\r\nContent-Range: bytes 100-199/5000\r\n", Verb::GET, 100, 5000},
        {"Content-Length: 10\r\n", Verb::HEAD, 0, 10},
        {"", Verb::GET, 0, -1},
    };
    for (auto& c : cases) {
        std::string wire = std::string("HTTP/1.1 200 OK\r\n") + c.headers + "\r\n";
        std::vector<char> buf(8191);
        MemSocketStream s(wire);
        Response resp(buf.data(), buf.size());
        resp.request_verb(c.verb);
        resp.socket_stream(&s, false);
        ASSERT_EQ(0, resp.receive_header()) << c.headers;
        EXPECT_EQ(c.body, resp.body_size()) << c.headers;
        EXPECT_EQ(c.resource, resp.resource_size()) << c.headers;
    }
}

TEST(Response, ConnectionReuseDecision) {
    struct Case {
        const char* wire;
        bool read_body;
        bool reusable;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", true, true},
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", false, false},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", true, false},
        {"HTTP/1.1 200 OK\r\nTrailer: X\r\nContent-Length: 2\r\n\r\nok", true, false},
        {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", true, false},
        {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA", true, false},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 500\r\n\r\n", true, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", true, true},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", false, false},
    };
    for (auto& c : cases) {
        std::vector<char> buf(16384);
        auto* s = new MemSocketStream(c.wire);
        int closes = -1;
        struct Probe : MemSocketStream {
            using MemSocketStream::MemSocketStream;
            int* out;
            ~Probe() override { *out = closes; }
        };
        auto* p = new Probe(c.wire);
        p->out = &closes;
        delete s;
        {
            Response resp(buf.data(), buf.size());
            resp.socket_stream(p, true);
            ASSERT_EQ(0, resp.receive_header()) << c.wire;
            if (c.read_body) {
                char tmp[64];
                while (resp.read(tmp, sizeof(tmp)) > 0) {
                }
            }
        }
        EXPECT_EQ(c.reusable ? 0 : 1, closes) << c.wire;
    }
}

TEST(Response, PeerClosedBeforeHeaderAndBufferLimits) {
    LogCapture quiet(zentho::ALOG_FATAL);
    auto r = receive("HTTP/1.1 200 OK\r\nContent-Le", {});
    EXPECT_EQ(1, r.header_result);
    // header text that never ends fills the buffer: ENOBUFS, not an overflow
    std::string endless = "HTTP/1.1 200 OK\r\n" + std::string(20000, 'x');
    errno = 0;
    r = receive(endless, {}, Verb::GET, 8191);
    EXPECT_EQ(-1, r.header_result);
    EXPECT_EQ(ENOBUFS, errno);
    r = receive("HTTP/1.1 abc\r\n\r\n", {});
    EXPECT_EQ(-1, r.header_result);
}

TEST(Request, BuildSendAndFraming) {
    char buf[1024];
    Request req(buf, sizeof(buf), Verb::PUT, "http://h.example:8080/b/k?x=1");
    ASSERT_TRUE(req.ok());
    EXPECT_EQ("/b/k?x=1", req.target());
    EXPECT_EQ("h.example:8080", req.host());
    EXPECT_EQ(8080, req.port());
    req.headers.insert("Content-Length", "5");
    MemSocketStream s;
    ASSERT_EQ(0, req.send_header(&s));
    EXPECT_EQ(5, req.write("hello!!", 7));  // truncated to the declared size
    EXPECT_EQ(0, req.send());
    EXPECT_EQ("PUT /b/k?x=1 HTTP/1.1\r\nHost: h.example:8080\r\nContent-Length: 5\r\nConnection: keep-alive\r\n\r\nhello",
              s.out);

    MemSocketStream c;
    ASSERT_EQ(0, req.reset(Verb::POST, "https://h/x", true));
    req.keep_alive(false);
    req.headers.insert("Transfer-Encoding", "chunked");
    req.socket_stream(&c, false);
    EXPECT_EQ(3, req.write("abc", 3));
    EXPECT_EQ(0, req.write("", 0));  // an empty write must not end the body
    EXPECT_EQ(16, req.write("0123456789abcdef", 16));
    EXPECT_EQ(0, req.send());
    EXPECT_EQ("POST https://h/x HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
              "3\r\nabc\r\n10\r\n0123456789abcdef\r\n0\r\n\r\n",
              c.out);
}

TEST(Request, ShortHeaderWriteFailsAndRewindAllowsAResend) {
    LogCapture quiet(zentho::ALOG_FATAL);
    char buf[512];
    Request req(buf, sizeof(buf), Verb::GET, "http://h/x");
    MemSocketStream bad;
    bad.fail_write_after = 10;
    EXPECT_EQ(-1, req.send_header(&bad));
    req.rewind();
    MemSocketStream good;
    ASSERT_EQ(0, req.send_header(&good));
    EXPECT_EQ("GET /x HTTP/1.1\r\nHost: h\r\nConnection: keep-alive\r\n\r\n", good.out);
}

TEST(Request, UrlThatCannotFitFailsWithEnobufs) {
    LogCapture quiet(zentho::ALOG_FATAL);
    // request line 83 bytes, Host line 9, its entry 8 and 10 spare: 110 bytes
    std::string url = "http://h/" + std::string(67, 'p');
    std::vector<char> buf(110);
    Request fits(buf.data(), 110, Verb::GET, url);
    EXPECT_TRUE(fits.ok());
    Request full(buf.data(), 109, Verb::GET, url);
    EXPECT_FALSE(full.ok());
    EXPECT_EQ(ENOBUFS, errno);
}

TEST(Request, RedirectKeepsHeadersAndResolvesRelativeLocations) {
    struct Case {
        const char* from;
        const char* location;
        const char* line;
        const char* host;
    } cases[] = {
        {"http://h.example/a/b?q=1", "/other", "GET /other HTTP/1.1\r\n", "h.example"},
        {"https://h.example:8443/a/b", "c/d", "GET /a/c/d HTTP/1.1\r\n", "h.example:8443"},
        {"http://h/a", "https://far.example.com/very/long/path/name?x=y", "GET /very/long/path/name?x=y HTTP/1.1\r\n",
         "far.example.com"},
        {"http://some.long.host.name/a/b/c/d/e/f", "http://s/", "GET / HTTP/1.1\r\n", "s"},
    };
    for (auto& c : cases) {
        char buf[512];
        Request req(buf, sizeof(buf), Verb::GET, c.from);
        req.headers.insert("Authorization", "secret");
        req.headers.insert("X-Zeta", "z");
        ASSERT_EQ(0, req.redirect(Verb::GET, c.location)) << c.location;
        EXPECT_EQ(c.host, req.host());
        EXPECT_EQ("secret", req.headers["authorization"]);
        EXPECT_EQ("z", req.headers["x-zeta"]);
        MemSocketStream s;
        ASSERT_EQ(0, req.send_header(&s));
        EXPECT_EQ(std::string(c.line) + "Host: " + c.host +
                      "\r\nAuthorization: secret\r\nX-Zeta: z\r\nConnection: keep-alive\r\n\r\n",
                  s.out);
    }
    LogCapture quiet(zentho::ALOG_FATAL);
    char buf[128];
    Request req(buf, sizeof(buf), Verb::GET, "http://h/a");
    EXPECT_EQ(-1, req.redirect(Verb::GET, "http://h/" + std::string(150, 'x')));
    EXPECT_EQ(ENOBUFS, errno);
}
