#include "zentho/net/http/url.h"

#include <gtest/gtest.h>

using zentho::net::http::URL;
using zentho::net::http::url_escape;

TEST(URL, Splitting) {
    struct Case {
        const char* text;
        bool secure;
        const char *host, *host_port;
        uint16_t port;
        const char *path, *query, *target;
    } cases[] = {
        {"http://example.com/a/b?x=1&y=2#frag", false, "example.com", "example.com", 80, "/a/b", "x=1&y=2", "/a/b?x=1&y=2"},
        {"https://example.com", true, "example.com", "example.com", 443, "/", "", "/"},
        {"https://example.com:443/k", true, "example.com", "example.com", 443, "/k", "", "/k"},
        {"http://127.0.0.1:8080?q", false, "127.0.0.1", "127.0.0.1:8080", 8080, "/", "q", "/?q"},
        {"https://h:80/p", true, "h", "h:80", 80, "/p", "", "/p"},
        {"example.com/x", false, "example.com", "example.com", 80, "/x", "", "/x"},
    };
    for (auto& c : cases) {
        URL u(c.text);
        EXPECT_EQ(c.secure, u.secure()) << c.text;
        EXPECT_EQ(c.host, u.host()) << c.text;
        EXPECT_EQ(c.host_port, u.host_port()) << c.text;
        EXPECT_EQ(c.port, u.port()) << c.text;
        EXPECT_EQ(c.path, u.path()) << c.text;
        EXPECT_EQ(c.query, u.query()) << c.text;
        EXPECT_EQ(c.target, u.target()) << c.text;
    }
    // a copy that owns its text stays valid after the original goes
    URL* a = new URL("http://h?q");
    URL b(*a);
    delete a;
    EXPECT_EQ("/?q", b.target());
}

TEST(URL, EscapeTable) {
    struct Case {
        const char* in;
        bool slash;
        const char* out;
    } cases[] = {
        {"AZaz09-._~", true, "AZaz09-._~"},
        {"a/b c", true, "a%2Fb%20c"},
        {"a/b c", false, "a/b%20c"},
        {"+=&?%#", false, "%2B%3D%26%3F%25%23"},
        {"\xff\x01", false, "%FF%01"},
        {"", true, ""},
    };
    for (auto& c : cases) EXPECT_EQ(c.out, url_escape(c.in, c.slash)) << c.in;
    std::string all;
    for (int i = 0; i < 256; i++) all.push_back(char(i));
    std::string e = url_escape(all, true);
    EXPECT_EQ(66u + (256 - 66) * 3, e.size());  // 66 bytes stay as they are
}
