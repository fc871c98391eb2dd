#include "kivfs/kiv_sign.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "log_capture.h"
#include "zentho/thread/current.h"

using namespace FileSystem;
using zentho::net::http::Request;
using zentho::net::http::Verb;

namespace {

class FixedCreds : public CredentialProvider {
public:
    FixedCreds(std::string id, std::string secret, std::string token)
        : m_id(std::move(id)), m_secret(std::move(secret)), m_token(std::move(token)) {}
    std::string access_key_id() override { return m_id; }
    std::string access_key_secret() override { return m_secret; }
    std::string security_token() override { return m_token; }
    int64_t expiration() override { return -1; }
    bool validate(std::string&) override { return true; }
    int reset() override { return 0; }

private:
    std::string m_id, m_secret, m_token;
};

// An independent signer: the canonical text is assembled here from the
// request's parts, and the digests are taken by Python's hashlib and hmac.
std::string python_authorization(const std::string& canonical, const std::string& id,
                                 const std::string& secret, const std::string& ts,
                                 const std::string& region, const std::string& additional) {
    static const char* script =
        "import hashlib,hmac,sys\n"
        "c,i,s,t,r,a=[bytes.fromhex(x).decode() for x in sys.argv[1:]]\n"
        "d=t[:8]\n"
        "h=lambda k,m:hmac.new(k,m.encode(),hashlib.sha256).digest()\n"
        "k=h(h(h(h(('zorvex_v4'+s).encode(),d),r),'kiv'),'zorvex_v4_request')\n"
        "sts='KIV4-HMAC-SHA256\\n'+t+'\\n'+d+'/'+r+'/kiv/zorvex_v4_request\\n'+hashlib.sha256(c.encode()).hexdigest()\n"
        "print('KIV4-HMAC-SHA256 Credential='+i+'/'+d+'/'+r+'/kiv/zorvex_v4_request,AdditionalHeaders='+a+"
        "',Signature='+hmac.new(k,sts.encode(),hashlib.sha256).hexdigest(),end='')\n";
    TempDir dir;
    std::string path = dir.write("sign.py", script);
    auto hexed = [](const std::string& v) {
        static const char* d = "0123456789abcdef";
        std::string out = " ";
        for (unsigned char ch : v) {
            out += d[ch >> 4];
            out += d[ch & 15];
        }
        return v.empty() ? std::string(" ''") : out;
    };
    std::string cmd = "python3 " + path + hexed(canonical) + hexed(id) + hexed(secret) + hexed(ts) +
                      hexed(region) + hexed(additional);
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    EXPECT_EQ(pclose(p), 0);
    return out;
}

}  // namespace

TEST(KivSign, Regions) {
    struct Case {
        const char* host;
        const char* region;
    } cases[] = {
        {"kiv-cn-east-1.example.com", "cn-east-1"},
        {"kiv-cn-east-1-internal.example.com", "cn-east-1"},
        {"kiv-local.kivstore.test:8080", "local"},
        {"cn-east-1.kiv-accelerate.zorvex.test", "cn-east-1"},
        {"cn-east-1-internal.kiv-accelerate.zorvex.test", "cn-east-1"},
        {"kiv-.x", ""},
    };
    for (auto& c : cases) EXPECT_EQ(derive_region(c.host), c.region) << c.host;
}

TEST(KivSign, UrlEncodesKeyKeepingSlashes) {
    KivObjectURL u;
    u.init("kiv-local.kivstore.test", "bkt", "dir/a b+é%&.bin", true);
    EXPECT_EQ(u.url(), "http://bkt.kiv-local.kivstore.test/dir/a%20b%2B%C3%A9%25%26.bin");
    EXPECT_EQ(u.vhost(), "bkt.kiv-local.kivstore.test");
    EXPECT_EQ(u.region(), "local");
    KivObjectURL slash;
    slash.init("kiv-local.kivstore.test", "bkt", "/k", false);
    EXPECT_EQ(slash.url(), "https://bkt.kiv-local.kivstore.test/k");
    KivObjectURL bucket_only;
    bucket_only.init("kiv-local.kivstore.test", "bkt", "", false);
    EXPECT_EQ(bucket_only.url(), "https://bkt.kiv-local.kivstore.test");
}

TEST(KivSign, MatchesAnIndependentSigner) {
    struct Case {
        Verb verb;
        const char* key;
        const char* token;
        QueryParams query;
        std::vector<std::pair<const char*, const char*>> headers;
        const char* canonical_query;
        const char* additional;
    } cases[] = {
        {Verb::GET, "dir/obj", "", {}, {}, "", "host"},
        {Verb::PUT, "a b/é", "TOKEN", {{"uploadId", "u1"}, {"partNumber", "3"}},
         {{"Content-Type", "application/octet-stream"}, {"Content-Length", "5"}},
         "partNumber=3&uploadId=u1", "content-length;host"},
        {Verb::POST, "", "", {{"delete", ""}}, {{"Content-MD5", "abc=="}}, "delete", "host"},
        {Verb::GET, "", "", {{"prefix", "p%2F"}, {"list-type", "2"}, {"max-keys", "1000"}}, {},
         "list-type=2&max-keys=1000&prefix=p%2F", "host"},
        {Verb::HEAD, "x", "", {{"objectMeta", ""}}, {{"X-Custom", "v"}}, "objectMeta", "host;x-custom"},
    };
    for (auto& c : cases) {
        KivObjectURL u;
        u.init("kiv-local.kivstore.test", "bkt", c.key, true);
        u.set_timestamp("20240501T123456Z", zentho::update_now() / 1000000);
        std::string url(u.url());
        std::unique_ptr<char[]> buf(new char[16384]);
        Request req(buf.get(), 16384, c.verb, url);
        ASSERT_TRUE(req.ok());
        for (auto& [k, v] : c.headers) ASSERT_EQ(req.headers.insert(k, v), 0);
        FixedCreds cred("AKID", "SECRET/+=", c.token);
        sign_request(req, u, cred, c.query);

        EXPECT_EQ(req.headers.contains("x-kiv-security-token"), *c.token != 0);
        EXPECT_EQ(req.headers["x-kiv-content-sha256"], "UNSIGNED-PAYLOAD");
        EXPECT_EQ(req.headers["x-kiv-date"], "20240501T123456Z");

        // canonical request, written independently of the signer
        std::string key = std::string(u.encoded_key());
        if (!key.empty() && key[0] == '/') key.erase(0, 1);
        std::string canonical = std::string(zentho::net::http::verb_str(c.verb)) + "\n/bkt/" + key +
                                "\n" + c.canonical_query + "\n";
        for (uint32_t i = 0; i < req.headers.count(); ++i) {
            std::string name(req.headers.key(i));
            if (name == "Authorization") continue;
            for (auto& ch : name) ch = char(tolower(ch));
            canonical += name + ":" +
                         (name == "host" ? std::string(u.vhost()) : std::string(req.headers.value(i))) + "\n";
        }
        canonical += "\n" + std::string(c.additional) + "\nUNSIGNED-PAYLOAD";
        // the Authorization header is not part of what was signed
        EXPECT_EQ(python_authorization(canonical, "AKID", "SECRET/+=", "20240501T123456Z", "local",
                                       c.additional),
                  req.headers["Authorization"])
            << canonical;
    }
}
