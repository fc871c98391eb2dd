#include "config/file_credential.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "log_capture.h"
#include "zentho/thread/thread.h"

namespace {
// the provider's lock is a runtime lock: accessors run on runtime threads
struct Runtime : ::testing::Environment {
    void SetUp() override { ASSERT_EQ(0, zentho::init()); }
    void TearDown() override { zentho::fini(); }
};
const auto* runtime_env = ::testing::AddGlobalTestEnvironment(new Runtime);
}  // namespace

TEST(FileCredential, ValidateErrors) {
    TempDir dir;
    struct Case {
        const char* content;  // null: no file
        const char* error;
    } cases[] = {
        {nullptr, "credential file not found: "},
        {"not json", "failed to parse cred file: "},
        {R"({"AccessKeyId": 5, "AccessKeySecret": "s"})", "failed to parse cred file: "},
        {R"({"AccessKeySecret": "s"})", "'AccessKeyId' can't be empty"},
        {R"({"AccessKeyId": "", "AccessKeySecret": "s"})", "'AccessKeyId' can't be empty"},
        {R"({"AccessKeyId": "id"})", "'AccessKeySecret' can't be empty"},
        {R"({"AccessKeyId": "id", "AccessKeySecret": "s", "Expiration": "tomorrow"})",
         "failed to parse Expiration: tomorrow"},
        {R"({"AccessKeyId": "id", "AccessKeySecret": "s", "Expiration": "2024-01-01T00:00:00Zjunk"})",
         "failed to parse Expiration: "},
    };
    for (auto& c : cases) {
        std::string path = dir.path() + "/cred";
        unlink(path.c_str());
        if (c.content) dir.write("cred", c.content);
        FileCredentialProvider p(path);
        std::string err;
        LogCapture log;
        EXPECT_FALSE(p.validate(err)) << (c.content ? c.content : "(none)");
        EXPECT_EQ(err.rfind(c.error, 0), 0u) << err;
        EXPECT_TRUE(log.contains(c.error)) << log.text();
    }
}

TEST(FileCredential, LoadsValuesAndExpiryInUtc) {
    TempDir dir;
    const char* old_tz = getenv("TZ");
    std::string saved = old_tz ? old_tz : "";
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    std::string path = dir.write("cred", R"({"AccessKeyId": "AK", "AccessKeySecret": "SK",
        "SecurityToken": "TOK", "Expiration": "2024-01-01T00:00:00Z"})");
    FileCredentialProvider p(path);
    std::string err;
    LogCapture log(zentho::ALOG_INFO);
    ASSERT_TRUE(p.validate(err)) << err;
    EXPECT_TRUE(log.contains("update cred, accessKeyID: AK, expire timestamp: 1704067200"));
    if (old_tz) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
    tzset();
    // far past expiry: every access may reload, but at most every 0.1 s
    EXPECT_EQ(p.access_key_id(), "AK");
    EXPECT_EQ(p.access_key_secret(), "SK");
    EXPECT_EQ(p.security_token(), "TOK");
    EXPECT_EQ(p.expiration(), 1704067200);
}

TEST(FileCredential, NoExpirationIsReadOnce) {
    TempDir dir;
    std::string path = dir.write("cred", R"({"AccessKeyId": "A1", "AccessKeySecret": "S1"})");
    FileCredentialProvider p(path);
    EXPECT_EQ(p.access_key_id(), "A1");  // first access loads
    EXPECT_EQ(p.expiration(), -1);
    dir.write("cred", R"({"AccessKeyId": "A2", "AccessKeySecret": "S2"})");
    usleep(150000);
    EXPECT_EQ(p.access_key_id(), "A1");
}

TEST(FileCredential, NearExpiryReloadsAndFailedReloadKeepsValues) {
    TempDir dir;
    auto stamp = [](int64_t t) {
        char buf[32];
        time_t tt = time_t(t);
        struct tm tm;
        gmtime_r(&tt, &tm);
        strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
        return std::string(buf);
    };
    int64_t soon = time(nullptr) + 10;
    std::string path = dir.write("cred", R"({"AccessKeyId": "A1", "AccessKeySecret": "S1", "Expiration": ")" +
                                             stamp(soon) + "\"}");
    FileCredentialProvider p(path);
    std::string err;
    ASSERT_TRUE(p.validate(err));
    dir.write("cred", R"({"AccessKeyId": "A2", "AccessKeySecret": "S2", "Expiration": ")" +
                          stamp(soon) + "\"}");
    EXPECT_EQ(p.access_key_id(), "A2");  // within 30 s of expiry: re-read
    dir.write("cred", R"({"AccessKeyId": "A3", "AccessKeySecret": "S3", "Expiration": ")" +
                          stamp(soon + 3600) + "\"}");
    EXPECT_EQ(p.access_key_id(), "A2");  // re-read at most every 0.1 s
    usleep(150000);
    EXPECT_EQ(p.access_key_id(), "A3");
    EXPECT_EQ(p.expiration(), soon + 3600);
    // far from expiry now: no more reads even when the file changes
    dir.write("cred", "broken");
    usleep(150000);
    EXPECT_EQ(p.access_key_id(), "A3");
}

TEST(FileCredential, FailedReloadKeepsOldValues) {
    TempDir dir;
    std::string path = dir.write("cred", R"({"AccessKeyId": "A1", "AccessKeySecret": "S1", "Expiration": "2020-01-01T00:00:00Z"})");
    FileCredentialProvider p(path);
    std::string err;
    ASSERT_TRUE(p.validate(err));
    dir.write("cred", "{");
    usleep(150000);
    LogCapture log;
    EXPECT_EQ(p.access_key_id(), "A1");
    EXPECT_TRUE(log.contains("failed to parse cred file: "));
}
