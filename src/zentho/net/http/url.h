#pragma once
// A parsed view over a URL text. The text belongs to the caller unless the URL
// had to make an owned copy (a path without its leading '/').

#include <cstdint>
#include <string>
#include <string_view>

namespace zentho::net::http {

class URL {
public:
    URL() = default;
    explicit URL(std::string_view text) { from_string(text); }
    URL(const URL& o) { *this = o; }
    URL& operator=(const URL& o);

    void from_string(std::string_view text);

    bool secure() const { return m_secure; }
    std::string_view host() const { return sub(m_host); }
    // host plus ":port" when the port is not the scheme's default
    std::string_view host_port() const { return sub(m_host_port); }
    uint16_t port() const { return m_port; }
    std::string_view path() const { return sub(m_path); }
    std::string_view query() const { return sub(m_query); }
    // path, and '?' with the query when there is one
    std::string_view target() const { return sub(m_target); }
    std::string_view text() const { return m_text; }

private:
    struct Span {
        uint32_t off = 0, len = 0;
    };
    std::string_view sub(Span s) const { return m_text.substr(s.off, s.len); }

    std::string_view m_text;
    std::string m_copy;
    Span m_host, m_host_port, m_path, m_query, m_target;
    uint16_t m_port = 80;
    bool m_secure = false;
};

// Letters, digits and "-._~" stay, '/' stays unless escape_slash; every other
// byte becomes '%' and two upper-case hex digits.
std::string url_escape(std::string_view text, bool escape_slash = true);

}  // namespace zentho::net::http
