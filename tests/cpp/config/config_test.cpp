#include "config/config.h"

#include <gtest/gtest.h>

#include "config/config_util.h"
#include "log_capture.h"

using namespace ConfigUtils;

namespace {

ConnectorConfig parse(const TempDir& dir, const std::string& json, bool* ok = nullptr) {
    ConnectorConfig c;
    std::string p = dir.write("config.json", json);
    bool r = ParseJSON(p.c_str(), c);
    if (ok) *ok = r;
    return c;
}

}  // namespace

TEST(ConfigParse, FileErrors) {
    TempDir dir;
    LogCapture log;
    ConnectorConfig c;
    errno = 0;
    EXPECT_FALSE(ParseJSON((dir.path() + "/missing.json").c_str(), c));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(log.contains("error open json file: " + dir.path() + "/missing.json errno=2("));

    struct Case {
        const char* content;
    } bad[] = {{""}, {"   "}, {"{} {}"}, {"{\"a\":1,}"}, {"{\"a\" 1}"}, {"[1, 2"}};
    for (auto& b : bad) {
        log.clear();
        bool ok = true;
        errno = 0;
        parse(dir, b.content, &ok);
        EXPECT_FALSE(ok) << b.content;
        EXPECT_EQ(errno, EINVAL) << b.content;
        EXPECT_TRUE(log.contains("error parse json: ")) << b.content;
    }
}

TEST(ConfigParse, TypeChecks) {
    TempDir dir;
    struct Case {
        const char* json;
        const char* mismatch;  // null: accepted
    } cases[] = {
        {"{}", nullptr},
        {R"({"logLevel": 9, "logPath": "", "auditPath": "x"})", nullptr},
        {R"({"logLevel": -1})", "logLevel"},
        {R"({"logLevel": 1.0})", "logLevel"},
        {R"({"logPath": 3})", "logPath"},
        {R"({"auditPath": null})", "auditPath"},
        {R"({"datasetConfig": {"prefetchMB": 0, "enableFastList": false}})", nullptr},
        {R"({"datasetConfig": {"prefetchMB": 1.5}})", "prefetchMB"},
        {R"({"datasetConfig": {"prefetchConcurrency": "4"}})", "prefetchConcurrency"},
        {R"({"datasetConfig": {"prefetchWorker": 4294967296}})", "prefetchWorker"},
        {R"({"datasetConfig": {"timeoutMs": true}})", "timeoutMs"},
        {R"({"datasetConfig": {"enableFastList": 1}})", "enableFastList"},
        {R"({"datasetConfig": {"listConcurrency": []}})", "listConcurrency"},
        {R"({"datasetConfig": {"listWorker": {}}})", "listWorker"},
        {R"({"checkpointConfig": {"uploadConcurrency": -3}})", nullptr},
        {R"({"checkpointConfig": {"prefetchIoSizeMB": "1"}})", "prefetchIoSizeMB"},
        {R"({"checkpointConfig": {"prefetchConcurrency": 1e3}})", "prefetchConcurrency"},
        {R"({"checkpointConfig": {"prefetchWorker": false}})", "prefetchWorker"},
        {R"({"checkpointConfig": {"writeIoSizeMB": 2.5}})", "writeIoSizeMB"},
        {R"({"checkpointConfig": {"uploadIoSizeMB": "16"}})", "uploadIoSizeMB"},
        {R"({"checkpointConfig": {"uploadConcurrency": 3.0}})", "uploadConcurrency"},
        {R"({"checkpointConfig": {"uploadBufferSizeMB": null}})", "uploadBufferSizeMB"},
    };
    for (auto& c : cases) {
        LogCapture log;
        bool ok = false;
        errno = 0;
        parse(dir, c.json, &ok);
        if (!c.mismatch) {
            EXPECT_TRUE(ok) << c.json << "\n" << log.text();
            continue;
        }
        EXPECT_FALSE(ok) << c.json;
        EXPECT_EQ(errno, EINVAL) << c.json;
        EXPECT_TRUE(log.contains(std::string("type mismatch for ") + c.mismatch + "\n")) << log.text();
        std::string group = std::string(c.json).find("datasetConfig") != std::string::npos
                                ? "datasetConfig"
                                : std::string(c.json).find("checkpointConfig") != std::string::npos
                                      ? "checkpointConfig"
                                      : "";
        if (!group.empty()) {
            EXPECT_TRUE(log.contains("type mismatch for " + group + "\n")) << log.text();
        }
    }
}

TEST(ConfigLookup, TypedDefaults) {
    TempDir dir;
    auto c = parse(dir, R"({"a": 5, "s": "x", "n": "5", "t": true, "f": 1, "g": {"h": 2}})");
    EXPECT_EQ(c.get_int("/a", 7), 5);
    EXPECT_EQ(c.get_int("/n", 7), 0);  // present with another type
    EXPECT_EQ(c.get_int("/missing", 7), 7);
    EXPECT_EQ(c.get_string("/s", "d"), "x");
    EXPECT_EQ(c.get_string("/a", "d"), "");
    EXPECT_EQ(c.get_string("/missing", "d"), "d");
    EXPECT_TRUE(c.is_true("/t"));
    EXPECT_FALSE(c.is_true("/f"));
    EXPECT_FALSE(c.is_true("/missing"));
    Config g = sub_config(c, "/g");
    EXPECT_EQ(g.get_int("/h", 0), 2);
    Config none = sub_config(c, "/nothing");
    EXPECT_EQ(none.get_int("/h", 9), 9);
    Config copy = c;
    EXPECT_EQ(copy.get_string("/s", ""), "x");
}

TEST(ConfigLimits, ClampedValuesAndWarnings) {
    TempDir dir;
    struct Case {
        const IntLimit* lim;
        const char* raw;  // JSON value, or null for absent
        int64_t expect;
        const char* warning;  // null: no warning
    } cases[] = {
        {&DS_PREFETCH_MB, nullptr, 32, nullptr},
        {&DS_PREFETCH_MB, "0", 32, "prefetchMB '0' is invalid, set to 32"},
        {&DS_PREFETCH_MB, "5000", 4096, "prefetchMB '5000' is too large, set to 4096"},
        {&DS_PREFETCH_MB, "4096", 4096, nullptr},
        {&DS_PREFETCH_CONCURRENCY, "-1", 24, "prefetchConcurrency '-1' is invalid, set to 24"},
        {&DS_PREFETCH_CONCURRENCY, "257", 256, "prefetchConcurrency '257' is too large, set to 256"},
        {&DS_PREFETCH_WORKER, "0", 2, "prefetchWorker '0' is invalid, set to 2"},
        {&DS_PREFETCH_WORKER, "65", 64, "prefetchWorker '65' is too large, set to 64"},
        {&DS_LIST_CONCURRENCY, "2000", 1024, "listConcurrency '2000' is too large, set to 1024"},
        {&DS_LIST_WORKER, "40", 32, "listWorker '40' is too large, set to 32"},
        {&CP_PREFETCH_IO_SIZE_MB, "9", 8, "prefetchIoSizeMB '9' is too large, set to 8"},
        {&CP_PREFETCH_CONCURRENCY, "0", 24, "prefetchConcurrency '0' is invalid, set to 24"},
        {&CP_PREFETCH_WORKER, "0", 4, "prefetchWorker '0' is invalid, set to 4"},
        {&CP_WRITE_IO_SIZE_MB, "65", 64, "writeIoSizeMB '65' is too large, set to 64"},
        {&CP_UPLOAD_IO_SIZE_MB, "5210", 5210, nullptr},
        {&CP_UPLOAD_IO_SIZE_MB, "5211", 5210, "uploadIoSizeMB '5211' is too large, set to 5210"},
        {&CP_UPLOAD_BUFFER_SIZE_MB, "0", 1024, "uploadBufferSizeMB '0' is invalid, set to 1024"},
        // present with another type reads as 0, which is below the range
        {&DS_PREFETCH_MB, "\"7\"", 32, "prefetchMB '0' is invalid, set to 32"},
    };
    for (auto& c : cases) {
        std::string json = c.raw ? std::string("{\"") + (c.lim->key + 1) + "\": " + c.raw + "}" : "{}";
        Config cfg = parse(dir, "{\"g\": " + json + "}");
        Config g = sub_config(cfg, "/g");
        LogCapture log;
        EXPECT_EQ(read_limited(g, *c.lim).value, c.expect) << json;
        if (c.warning) {
            EXPECT_TRUE(log.contains(std::string("|WARN |")) && log.contains(std::string(":") + c.warning + "\n"))
                << json << " -> " << log.text();
        } else {
            EXPECT_EQ(log.text(), "") << json;
        }
    }
}

TEST(ConfigLimits, MebibytesAndUploadConcurrency) {
    TempDir dir;
    Config g = sub_config(parse(dir, R"({"g": {"uploadBufferSizeMB": 5000, "writeIoSizeMB": 2}})"), "/g");
    {
        LogCapture log;
        EXPECT_EQ(read_mib(g, CP_UPLOAD_BUFFER_SIZE_MB), 4096ull << 20);
        EXPECT_EQ(read_mib(g, CP_WRITE_IO_SIZE_MB), 2ull << 20);
        EXPECT_EQ(read_mib(g, CP_UPLOAD_IO_SIZE_MB), 16ull << 20);
    }
    struct Case {
        const char* json;
        uint64_t expect;
        const char* warning;
    } cases[] = {
        {"{}", 64, nullptr},
        {R"({"uploadConcurrency": 0})", 64, "uploadConcurrency '0' is invalid, set to 64"},
        {R"({"uploadConcurrency": 300})", 256, "uploadConcurrency '300' is too large, set to 256"},
        {R"({"uploadConcurrency": -3})", 256,
         "uploadConcurrency '18446744073709551613' is too large, set to 256"},
        {R"({"uploadConcurrency": 1})", 1, nullptr},
    };
    for (auto& c : cases) {
        Config cp = parse(dir, c.json);
        LogCapture log;
        EXPECT_EQ(read_upload_concurrency(cp), c.expect) << c.json;
        if (c.warning) {
            EXPECT_TRUE(log.contains(c.warning)) << log.text();
        } else {
            EXPECT_EQ(log.text(), "");
        }
    }
}

TEST(ConfigLimits, LogLevel) {
    TempDir dir;
    struct Case {
        const char* json;
        uint32_t expect;
        bool warn;
    } cases[] = {{"{}", 1, false}, {R"({"logLevel": 0})", 0, false}, {R"({"logLevel": 4})", 4, false},
                 {R"({"logLevel": 9})", 1, true}};
    for (auto& c : cases) {
        Config cfg = parse(dir, c.json);
        LogCapture log;
        EXPECT_EQ(read_log_level(cfg), c.expect);
        EXPECT_EQ(log.contains("logLevel '9' is invalid, set to 1"), c.warn);
    }
}

TEST(ConfigLimits, FastListParams) {
    struct Case {
        int32_t c, w, ec, ew;
        const char* warning;
    } cases[] = {
        {16, 1, 16, 1, nullptr},
        {16, 3, 18, 3, nullptr},
        {2, 8, 8, 8, nullptr},
        {0, 4, 16, 4, "listConcurrency '0' is invalid, set to 16"},
        {2000, 1, 1024, 1, "listConcurrency '2000' is too large, set to 1024"},
        {16, 0, 16, 1, "listWorker '0' is invalid, set to 1"},
        {16, 40, 32, 32, "listWorker '40' is too large, set to 32"},
        {1024, 7, 1029, 7, nullptr},
    };
    for (auto& c : cases) {
        LogCapture log;
        int32_t cc = c.c, ww = c.w;
        check_fast_list_param(cc, ww);
        EXPECT_EQ(cc, c.ec) << c.c << "," << c.w;
        EXPECT_EQ(ww, c.ew) << c.c << "," << c.w;
        if (c.warning) {
            EXPECT_TRUE(log.contains(c.warning)) << log.text();
        }
    }
}
