#pragma once
// Version-4 request signatures ("KIV4-HMAC-SHA256"). The payload is never
// hashed: every request declares "UNSIGNED-PAYLOAD".

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/credential_provider.h"
#include "zentho/net/http/message.h"

namespace FileSystem {

using QueryParams = std::vector<std::pair<std::string, std::string>>;

// The service's accelerated-endpoint domain suffix (26 characters).
inline constexpr std::string_view ACCELERATED_SUFFIX = "kiv-accelerate.zorvex.test";

// The region of an endpoint host: its first label without the service prefix
// "kiv-" (accelerated endpoints: the whole first label), and without a
// trailing "-internal".
std::string derive_region(std::string_view endpoint_host);

// One request target: scheme, virtual host (bucket + "." + endpoint host) and
// the percent-encoded key, with a per-minute cache of the signing timestamp.
// Used by one vCPU at a time.
class KivObjectURL {
public:
    int init(std::string_view endpoint_host, std::string_view bucket, std::string_view key,
             bool use_http);

    std::string_view url() const { return m_url; }
    std::string_view bucket() const { return sub(m_bucket); }
    // bucket "." endpoint host, without a port
    std::string_view vhost() const { return sub(m_vhost); }
    std::string_view encoded_key() const { return sub(m_key); }
    std::string_view region() const { return m_region; }

    // "%Y%m%dT%H%M%SZ", re-made when more than 60 s old.
    std::string_view timestamp();
    // Pins the timestamp text (requests signed for a given instant).
    void set_timestamp(std::string_view text, uint64_t second);

private:
    struct Span {
        uint32_t off = 0, len = 0;
    };
    std::string_view sub(Span s) const { return std::string_view(m_url).substr(s.off, s.len); }

    std::string m_url;
    Span m_scheme, m_bucket, m_vhost, m_key;
    std::string m_region;
    char m_date[32] = {};
    uint64_t m_date_second = 0;
    bool m_date_made = false;
};

// Adds "x-kiv-security-token" (when there is one), "x-kiv-content-sha256",
// "x-kiv-date" and "Authorization" to a request whose other headers are final.
void sign_request(zentho::net::http::Request& req, KivObjectURL& url, CredentialProvider& cred,
                  const QueryParams& query);

// The canonical request text the signature covers (for logs and tests).
std::string canonical_request(const zentho::net::http::Request& req, const KivObjectURL& url,
                              const QueryParams& query, std::string* additional_headers);

std::string authorization(std::string_view access_key_id, std::string_view secret,
                          std::string_view timestamp, std::string_view region,
                          std::string_view canonical, std::string_view additional_headers);

}  // namespace FileSystem
