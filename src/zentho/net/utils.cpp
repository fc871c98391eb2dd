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
    std::string s = "[";
    return s.append(addr.to_string()).append("]:").append(std::to_string(port));
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

// ---- name resolution ------------------------------------------------------------

#include <netdb.h>

#include <atomic>
#include <thread>
#include <vector>

#include "zentho/net/utils.h"

namespace zentho::net {

int _gethostbyname(const char* host, const std::function<int(IPAddr)>& cb) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_V4MAPPED | AI_ALL;
    addrinfo* res = nullptr;
    int r = getaddrinfo(host, nullptr, &hints, &res);
    if (r != 0) LOG_ERROR_RETURN(ENOENT, -1, "Fail to getaddrinfo: ", VALUE(r), " ", gai_strerror(r));
    int n = 0;
    for (auto* p = res; p; p = p->ai_next) {
        IPAddr a;
        if (p->ai_family == AF_INET6) {
            a = IPAddr(reinterpret_cast<sockaddr_in6*>(p->ai_addr)->sin6_addr);
        } else if (p->ai_family == AF_INET) {
            a = IPAddr(reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr);
        } else {
            LOG_DEBUG("skip unsupported address family ", p->ai_family);
            continue;
        }
        n++;
        if (cb(a) < 0) break;
    }
    freeaddrinfo(res);
    return n;
}

DefaultResolver::AddrList::~AddrList() {
    while (head) {
        IPAddrNode* next = head->remove_from_list();
        delete head;
        head = next;
    }
}

void DefaultResolver::AddrList::push(IPAddr a) {
    auto* n = new IPAddrNode(a);
    if (!head)
        head = n;
    else
        head->insert_before(n);
}

bool DefaultResolver::AddrList::remove(IPAddr a) {
    if (!head) return false;
    IPAddrNode* n = head;
    do {
        if (n->addr == a) {
            IPAddrNode* next = n->remove_from_list();
            if (n == head) head = next;
            delete n;
            return true;
        }
        n = n->next;
    } while (n != head);
    return false;
}

DefaultResolver::DefaultResolver(uint64_t cache_ttl_us, uint64_t resolve_timeout_us)
    : m_resolve_timeout(resolve_timeout_us), m_cache(cache_ttl_us, cache_ttl_us / 16) {}

namespace {
// Shared by the waiting coroutine and the lookup thread; the last one frees it.
struct Lookup {
    std::atomic<int> refs{2};
    std::vector<IPAddr> addrs;
    Semaphore done{0};
    void unref() {
        if (refs.fetch_sub(1) == 1) delete this;
    }
};
}  // namespace

DefaultResolver::AddrList* DefaultResolver::create(const std::string& host) {
    auto* list = new AddrList;
    auto* lk = new Lookup;
    uint64_t limit = m_resolve_timeout;
    try {
        std::thread([fn = m_lookup, lk, host, limit] {
            uint64_t t0 = update_now();
            std::vector<IPAddr> got;
            fn(host.c_str(), [&](IPAddr a) {
                got.push_back(a);
                return 0;
            });
            if (update_now() - t0 > limit) {
                LOG_ERROR("resolve timeout ", VALUE(host));
            } else {
                lk->addrs = std::move(got);
            }
            lk->done.signal(1);
            lk->unref();
        }).detach();
    } catch (...) {
        delete lk;
        LOG_ERROR("failed to start a lookup thread ", VALUE(host));
        return list;
    }
    Timeout deadline = limit == UINT64_MAX ? Timeout() : Timeout(limit);
    if (lk->done.wait(1, deadline) == 0)
        for (auto& a : lk->addrs) list->push(a);
    lk->unref();
    return list;
}

IPAddr DefaultResolver::resolve(const char* host) {
    std::string key(host);
    AddrList* list = m_cache.borrow(key, [&] { return create(key); });
    IPAddr result;
    if (list && list->head) {
        result = list->head->addr;
        list->head = list->head->next;
        m_cache.release(key);
        return result;
    }
    LOG_ERROR("Domain resolution for '", host, "' failed");
    // a failed lookup is not kept: the next resolution asks again
    if (list) m_cache.release(key, true);
    return result;
}

void DefaultResolver::discard_cache(const char* host, IPAddr ip) {
    std::string key(host);
    AddrList* list = m_cache.borrow(key, []() -> AddrList* { return nullptr; });
    if (!list) return;
    bool drop = ip.undefined() || (list->remove(ip) && !list->head) || !list->head;
    m_cache.release(key, drop);
}

Resolver* new_default_resolver(uint64_t cache_ttl_us, uint64_t resolve_timeout_us) {
    return new DefaultResolver(cache_ttl_us, resolve_timeout_us);
}

}  // namespace zentho::net
