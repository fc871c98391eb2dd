#include "kivfs/kiv_xml.h"

#include <gtest/gtest.h>

#include "log_capture.h"

using namespace FileSystem;

static const char* PAGE =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    "<ListBucketResult><Name>b</Name><Prefix>d/</Prefix>"
    "<Contents><Key>d/a&amp;b</Key><Size>12</Size><LastModified>2024-01-01T00:00:10.000Z</LastModified></Contents>"
    "<Contents><Key>d/</Key><Size>0</Size></Contents>"
    "<Contents><Key>d/x</Key><Size>junk</Size><LastModified>2024-01-01T00:00:00.000Z</LastModified></Contents>"
    "<CommonPrefixes><Prefix>d/sub/</Prefix></CommonPrefixes>"
    "<NextContinuationToken>tok+1</NextContinuationToken>"
    "</ListBucketResult>";

TEST(ListPage, ParsesContentsPrefixesAndToken) {
    ListPage page;
    ASSERT_EQ(parse_list_page(PAGE, page), 0);
    ASSERT_EQ(page.contents.size(), 3u);
    EXPECT_EQ(page.contents[0].key, "d/a&b");
    EXPECT_EQ(page.contents[0].size, 12);
    EXPECT_EQ(page.contents[0].mtime, 1704067210);
    EXPECT_EQ(page.contents[1].mtime, 0);
    EXPECT_EQ(page.contents[2].size, 0);  // unparsable counts as 0
    ASSERT_EQ(page.prefixes.size(), 1u);
    EXPECT_EQ(page.prefixes[0], "d/sub/");
    EXPECT_EQ(page.next_token, "tok+1");
}

TEST(ListPage, ErrorsAndEmptyPages) {
    struct Case {
        const char* body;
        int ret;
    } cases[] = {
        {"<ListBucketResult></ListBucketResult>", 0},
        {"<Other/>", 0},
        {"<ListBucketResult><Contents><Size>1</Size></Contents></ListBucketResult>", -1},
        {"<ListBucketResult><Contents><Key>k</Key></Contents></ListBucketResult>", -1},
        {"<ListBucketResult><CommonPrefixes></CommonPrefixes></ListBucketResult>", -1},
        {"<ListBucketResult><Contents>", -1},
        {"", -1},
    };
    for (auto& c : cases) {
        LogCapture log;
        ListPage page;
        page.next_token = "stale";
        EXPECT_EQ(parse_list_page(c.body, page), c.ret) << c.body;
        if (c.ret == 0) {
            EXPECT_TRUE(page.contents.empty());
            EXPECT_TRUE(page.next_token.empty() || std::string(c.body) == "<Other/>");
        }
    }
    // every truncation of a valid page fails cleanly or parses, never crashes
    std::string full = PAGE;
    for (size_t n = 0; n < full.size(); ++n) {
        LogCapture log;
        ListPage page;
        std::string cut = full.substr(0, n);
        int r = parse_list_page(cut, page);
        EXPECT_TRUE(r == 0 || r == -1);
    }
}

TEST(DeleteBody, EscapesKeysSoTheyCannotAddObjects) {
    std::vector<std::string> keys = {"plain", "a&b<c>\"'", "x</Key></Object><Object><Key>other"};
    std::string body = delete_body(keys, 0, keys.size());
    EXPECT_EQ(body,
              "<Delete><Quiet>true</Quiet><Object><Key>plain</Key></Object>"
              "<Object><Key>a&amp;b&lt;c&gt;&quot;&apos;</Key></Object>"
              "<Object><Key>x&lt;/Key&gt;&lt;/Object&gt;&lt;Object&gt;&lt;Key&gt;other</Key></Object></Delete>");
    EXPECT_EQ(delete_body(keys, 1, 2), "<Delete><Quiet>true</Quiet><Object><Key>a&amp;b&lt;c&gt;&quot;&apos;</Key></Object></Delete>");
    // RFC 1321 test vector, in Base64
    EXPECT_EQ(content_md5(""), "1B2M2Y8AsgTpgAmY7PhCfg==");
    EXPECT_EQ(content_md5("abc"), "kAFQmDzST7DWlj99KOF/cg==");
}
