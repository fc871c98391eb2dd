#include "zentho/net/http/url.h"

#include "zentho/common/logger.h"

namespace zentho::net::http {

URL& URL::operator=(const URL& o) {
    if (this == &o) return *this;
    m_copy = o.m_copy;
    m_text = o.m_copy.empty() ? o.m_text : std::string_view(m_copy);
    m_host = o.m_host;
    m_host_port = o.m_host_port;
    m_path = o.m_path;
    m_query = o.m_query;
    m_target = o.m_target;
    m_port = o.m_port;
    m_secure = o.m_secure;
    return *this;
}

void URL::from_string(std::string_view text) {
    m_copy.clear();
    auto hash = text.find('#');
    if (hash != std::string_view::npos) text = text.substr(0, hash);
    m_secure = text.substr(0, 8) == "https://";
    m_port = m_secure ? 443 : 80;
    size_t p = 0;
    auto scheme = text.find("://");
    if (scheme != std::string_view::npos) p = scheme + 3;
    size_t host_end = text.find_first_of(":/?", p);
    if (host_end == std::string_view::npos) host_end = text.size();
    size_t hp_end = host_end;
    bool default_port = true;
    if (host_end < text.size() && text[host_end] == ':') {
        size_t q = host_end + 1;
        uint32_t port = 0;
        while (q < text.size() && text[q] >= '0' && text[q] <= '9') {
            port = port * 10 + (text[q] - '0');
            if (port > 65535) port = 65536;
            q++;
        }
        if (port <= 65535 && q > host_end + 1) {
            default_port = port == m_port;
            m_port = port;
        }
        hp_end = q;
    }
    size_t path_begin = hp_end;
    m_host = {uint32_t(p), uint32_t(host_end - p)};
    m_host_port = {uint32_t(p), uint32_t((default_port ? host_end : hp_end) - p)};
    if (path_begin >= text.size() || text[path_begin] != '/') {
        // a path that lacks its '/' gets one, in an owned copy
        m_copy.reserve(text.size() + 1);
        m_copy.append(text.substr(0, path_begin));
        m_copy.push_back('/');
        m_copy.append(text.substr(path_begin));
        m_text = m_copy;
    } else {
        m_text = text;
    }
    size_t len = m_text.size();
    size_t qm = m_text.find('?', path_begin);
    size_t path_end = qm == std::string_view::npos ? len : qm;
    m_path = {uint32_t(path_begin), uint32_t(path_end - path_begin)};
    if (qm == std::string_view::npos)
        m_query = {uint32_t(len), 0};
    else
        m_query = {uint32_t(qm + 1), uint32_t(len - qm - 1)};
    m_target = {uint32_t(path_begin), uint32_t(len - path_begin)};
    LOG_DEBUG("url parsed ", VALUE(m_text), VALUE(host()), VALUE(m_port), VALUE(path()));
}

std::string url_escape(std::string_view text, bool escape_slash) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
            c == '_' || c == '~' || (c == '/' && !escape_slash)) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

}  // namespace zentho::net::http
