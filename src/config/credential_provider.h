#pragma once
// Supplies the keys every object store request is signed with. Accessors may be
// called from any thread and each returns a consistent copy.

#include <cstdint>
#include <string>

#include "zentho/thread/sync.h"

class CredentialProvider {
public:
    virtual ~CredentialProvider() = default;
    virtual std::string access_key_id() = 0;
    virtual std::string access_key_secret() = 0;
    virtual std::string security_token() = 0;  // empty when none
    virtual int64_t expiration() = 0;          // seconds since the epoch
    // Loads the credentials now; on failure `error` says why.
    virtual bool validate(std::string& error) = 0;
    // After fork, in the child.
    virtual int reset() = 0;
};

// A copy of a provider's field taken under its read lock (on a thread without
// the runtime the lock cannot be taken; the copy is then unlocked).
template <typename T>
T read_locked(zentho::RWLock& lock, const T& field) {
    bool held = lock.lock(zentho::RLOCK) == 0;
    T v = field;
    if (held) lock.unlock();
    return v;
}
