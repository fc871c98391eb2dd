// Address text forms and kernel socket address conversion.
#include <arpa/inet.h>

#include <charconv>

#include "zentho/common/logger.h"
#include "zentho/net/socket.h"

namespace zentho::net {

IPAddr::IPAddr(const char* text) : IPAddr(std::string_view(text ? text : "")) {}

IPAddr::IPAddr(std::string_view text) {
    set_v4(0);
    char s[INET6_ADDRSTRLEN + 1];
    if (text.size() >= sizeof(s)) return;
    memcpy(s, text.data(), text.size());
    s[text.size()] = 0;
    if (inet_pton(AF_INET6, s, &addr) == 1) return;
    in_addr v4;
    if (inet_pton(AF_INET, s, &v4) == 1) {
        set_v4(v4.s_addr);
        return;
    }
    set_v4(0);
}

std::string IPAddr::to_string() const {
    char s[INET6_ADDRSTRLEN];
    if (is_ipv4()) {
        in_addr v4{to_nl()};
        inet_ntop(AF_INET, &v4, s, sizeof(s));
    } else {
        inet_ntop(AF_INET6, &addr, s, sizeof(s));
    }
    return s;
}

EndPoint::EndPoint(std::string_view text) {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) return;
    auto host = text.substr(0, colon);
    auto p = text.substr(colon + 1);
    unsigned v = 0;
    auto [ptr, ec] = std::from_chars(p.data(), p.data() + p.size(), v);
    if (p.empty() || ec != std::errc() || ptr != p.data() + p.size() || v > 65535) return;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.size() > 45) return;
    addr = IPAddr(host);
    port = v;
}

std::string EndPoint::to_string() const {
    if (addr.is_ipv4()) return addr.to_string() + ":" + std::to_string(port);
    return "[" + addr.to_string() + "]:" + std::to_string(port);
}

SockAddrStorage::SockAddrStorage(const EndPoint& ep) {
    if (ep.addr.is_ipv4()) {
        u.v4.sin_family = AF_INET;
        u.v4.sin_port = htons(ep.port);
        u.v4.sin_addr.s_addr = ep.addr.to_nl();
        len = sizeof(u.v4);
    } else {
        u.v6.sin6_family = AF_INET6;
        u.v6.sin6_port = htons(ep.port);
        u.v6.sin6_addr = ep.addr.addr;
        len = sizeof(u.v6);
    }
}

EndPoint SockAddrStorage::to_endpoint() const {
    if (u.addr.sa_family == AF_INET) return EndPoint(IPAddr(u.v4.sin_addr), ntohs(u.v4.sin_port));
    if (u.addr.sa_family == AF_INET6) return EndPoint(IPAddr(u.v6.sin6_addr), ntohs(u.v6.sin6_port));
    return EndPoint();
}

int fill_uds_path(sockaddr_un& name, const char* path, size_t count) {
    if (count == 0) count = strlen(path);
    if (count > UDS_PATH_MAX)
        LOG_ERROR_RETURN(ENAMETOOLONG, -1, "pathname is too long (", count, ">", UDS_PATH_MAX, ")");
    memset(&name, 0, sizeof(name));
    name.sun_family = AF_UNIX;
    memcpy(name.sun_path, path, count);
    return 0;
}

}  // namespace zentho::net
