#pragma once
// Host-name resolution with a per-name cache of addresses. Blocking lookups
// run on short-lived OS threads, never on a vCPU. Use a resolver on the vCPU
// that created it.

#include <functional>
#include <string>

#include "zentho/common/expire_cache.h"
#include "zentho/common/intrusive_list.h"
#include "zentho/net/socket.h"

namespace zentho::net {

class Resolver : public Object {
public:
    // The undefined address when the name cannot be resolved.
    virtual IPAddr resolve(const char* host) = 0;
    void resolve(const char* host, const std::function<void(IPAddr)>& cb) { cb(resolve(host)); }
    // Forgets one address of host (the undefined address: the whole entry).
    virtual void discard_cache(const char* host, IPAddr ip = IPAddr()) = 0;
};

// getaddrinfo for host, any family; cb gets each address (IPv4 mapped) and
// stops the walk by returning < 0. Returns the count delivered, or -1.
int _gethostbyname(const char* host, const std::function<int(IPAddr)>& cb);

class DefaultResolver : public Resolver {
public:
    struct IPAddrNode : intrusive_list_node<IPAddrNode> {
        IPAddr addr;
        explicit IPAddrNode(IPAddr a) : addr(a) {}
    };
    // A circular list; head moves on at every resolution.
    struct AddrList {
        IPAddrNode* head = nullptr;
        ~AddrList();
        void push(IPAddr a);
        bool remove(IPAddr a);
    };

    // resolve_timeout_us UINT64_MAX: wait as long as the lookup takes
    DefaultResolver(uint64_t cache_ttl_us, uint64_t resolve_timeout_us);
    IPAddr resolve(const char* host) override;
    void discard_cache(const char* host, IPAddr ip = IPAddr()) override;
    using Resolver::resolve;

protected:
    using LookupFn = int (*)(const char* host, const std::function<int(IPAddr)>& cb);
    // The blocking lookup, run on its own OS thread (which may outlive the resolver).
    LookupFn m_lookup = &_gethostbyname;

private:
    AddrList* create(const std::string& host);

    uint64_t m_resolve_timeout;
    ObjectCache<std::string, AddrList*> m_cache;
};

Resolver* new_default_resolver(uint64_t cache_ttl_us = 3600ull * 1000000, uint64_t resolve_timeout_us = UINT64_MAX);

}  // namespace zentho::net
