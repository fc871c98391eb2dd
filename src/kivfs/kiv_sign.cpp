#include "kivfs/kiv_sign.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <time.h>

#include <algorithm>

#include "zentho/common/logger.h"
#include "zentho/net/http/url.h"
#include "zentho/thread/thread.h"

namespace FileSystem {

using zentho::net::http::Request;
using zentho::net::http::verb_str;

static constexpr std::string_view ALGORITHM = "KIV4-HMAC-SHA256";
static constexpr std::string_view SCOPE_TAIL = "/kiv/zorvex_v4_request";

std::string derive_region(std::string_view host) {
    std::string_view label = host.substr(0, host.find('.'));
    constexpr std::string_view internal = "-internal";
    bool accelerated = host.size() >= ACCELERATED_SUFFIX.size() &&
                       host.substr(host.size() - ACCELERATED_SUFFIX.size()) == ACCELERATED_SUFFIX;
    if (accelerated) {
        if (label.size() > internal.size() && label.ends_with(internal))
            label.remove_suffix(internal.size());
        return std::string(label);
    }
    label = label.size() > 4 ? label.substr(4) : std::string_view();
    if (label.ends_with(internal)) label.remove_suffix(internal.size());
    return std::string(label);
}

int KivObjectURL::init(std::string_view endpoint_host, std::string_view bucket, std::string_view key,
                       bool use_http) {
    std::string_view scheme = use_http ? "http://" : "https://";
    m_url.assign(scheme);
    m_scheme = {0, uint32_t(scheme.size())};
    m_bucket = {uint32_t(m_url.size()), uint32_t(bucket.size())};
    m_url.append(bucket).append(".").append(endpoint_host);
    // the signed host carries no port
    size_t colon = endpoint_host.rfind(':');
    size_t host_len = (colon == std::string_view::npos || endpoint_host.find(']', colon) != std::string_view::npos)
                          ? endpoint_host.size() : colon;
    m_vhost = {m_bucket.off, uint32_t(m_url.size() - endpoint_host.size() + host_len - m_bucket.off)};
    if (!key.empty()) {
        if (key.front() != '/') m_url.push_back('/');
        std::string escaped = zentho::net::http::url_escape(key, false);
        m_key = {uint32_t(m_url.size()), uint32_t(escaped.size())};
        m_url.append(escaped);
    } else {
        m_key = {uint32_t(m_url.size()), 0};
    }
    m_region = derive_region(endpoint_host);
    m_date_made = false;
    LOG_DEBUG("kiv region ", VALUE(m_region));
    return 0;
}

std::string_view KivObjectURL::timestamp() {
    uint64_t now = zentho::now_us.load(std::memory_order_relaxed) / 1000000;
    if (!m_date_made || now - m_date_second > 60) {
        time_t t = time_t(now);
        struct tm tm;
        gmtime_r(&t, &tm);
        strftime(m_date, sizeof(m_date), "%Y%m%dT%H%M%SZ", &tm);
        m_date_second = now;
        m_date_made = true;
    }
    return m_date;
}

void KivObjectURL::set_timestamp(std::string_view text, uint64_t second) {
    size_t n = std::min(text.size(), sizeof(m_date) - 1);
    memcpy(m_date, text.data(), n);
    m_date[n] = 0;
    m_date_second = second;
    m_date_made = true;
}

static std::string lower(std::string_view s) {
    std::string out(s);
    for (auto& c : out) c = char(tolower(static_cast<unsigned char>(c)));
    return out;
}

static bool signed_as_additional(std::string_view lname) {
    return !lname.starts_with("x-kiv-") && lname != "content-type" && lname != "content-md5";
}

std::string canonical_request(const Request& req, const KivObjectURL& url, const QueryParams& query,
                              std::string* additional) {
    std::string c;
    c.reserve(512);
    c.append(verb_str(req.verb())).push_back('\n');
    c.append("/").append(url.bucket()).append("/");
    std::string_view key = url.encoded_key();
    if (!key.empty() && key.front() == '/') key.remove_prefix(1);
    c.append(key).push_back('\n');

    std::vector<const std::pair<std::string, std::string>*> sorted;
    for (auto& q : query) sorted.push_back(&q);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](auto* a, auto* b) { return a->first < b->first; });
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (i) c.push_back('&');
        c.append(sorted[i]->first);
        if (!sorted[i]->second.empty()) c.append("=").append(sorted[i]->second);
    }
    c.push_back('\n');

    std::string names;
    for (uint32_t i = 0; i < req.headers.count(); ++i) {
        std::string lname = lower(req.headers.key(i));
        c.append(lname).push_back(':');
        if (lname == "host")
            c.append(url.vhost());
        else
            c.append(req.headers.value(i));
        c.push_back('\n');
        if (signed_as_additional(lname)) {
            if (!names.empty()) names.push_back(';');
            names.append(lname);
        }
    }
    c.push_back('\n');
    c.append(names).push_back('\n');
    c.append("UNSIGNED-PAYLOAD");
    if (additional) *additional = std::move(names);
    return c;
}

static std::string hex(const unsigned char* d, unsigned n) {
    static const char* digits = "0123456789abcdef";
    std::string s(n * 2, '0');
    for (unsigned i = 0; i < n; ++i) {
        s[2 * i] = digits[d[i] >> 4];
        s[2 * i + 1] = digits[d[i] & 15];
    }
    return s;
}

namespace {
struct Mac {
    unsigned char d[EVP_MAX_MD_SIZE];
    unsigned n = 0;
};
Mac hmac(const void* key, size_t key_len, std::string_view data) {
    Mac m;
    HMAC(EVP_sha256(), key, int(key_len), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), m.d, &m.n);
    return m;
}
Mac hmac(const Mac& key, std::string_view data) { return hmac(key.d, key.n, data); }
}  // namespace

std::string authorization(std::string_view id, std::string_view secret, std::string_view timestamp,
                          std::string_view region, std::string_view canonical,
                          std::string_view additional) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned dn = 0;
    EVP_Digest(canonical.data(), canonical.size(), digest, &dn, EVP_sha256(), nullptr);
    std::string_view date8 = timestamp.substr(0, 8);
    std::string scope = std::string(date8) + "/" + std::string(region) + std::string(SCOPE_TAIL);
    std::string to_sign = std::string(ALGORITHM) + "\n" + std::string(timestamp) + "\n" + scope +
                          "\n" + hex(digest, dn);
    LOG_DEBUG("StringToSign", ' ', to_sign);
    std::string k0 = "zorvex_v4" + std::string(secret);
    Mac k1 = hmac(k0.data(), k0.size(), date8);
    Mac k2 = hmac(k1, region);
    Mac k3 = hmac(k2, "kiv");
    Mac k4 = hmac(k3, "zorvex_v4_request");
    Mac sig = hmac(k4, to_sign);
    return std::string(ALGORITHM) + " Credential=" + std::string(id) + "/" + scope +
           ",AdditionalHeaders=" + std::string(additional) + ",Signature=" + hex(sig.d, sig.n);
}

void sign_request(Request& req, KivObjectURL& url, CredentialProvider& cred, const QueryParams& query) {
    std::string token = cred.security_token();
    if (!token.empty()) req.headers.insert("x-kiv-security-token", token);
    req.headers.insert("x-kiv-content-sha256", "UNSIGNED-PAYLOAD");
    std::string ts(url.timestamp());
    req.headers.insert("x-kiv-date", ts);
    std::string additional;
    std::string canonical = canonical_request(req, url, query, &additional);
    LOG_DEBUG("CanonicalRequest", ' ', canonical);
    req.headers.insert("Authorization", authorization(cred.access_key_id(), cred.access_key_secret(),
                                                      ts, url.region(), canonical, additional));
}

}  // namespace FileSystem
