#pragma once
// Credentials asked of a host object (its get_credentials()) at start and
// every 30 seconds after. Built into the host module only: it needs the
// interpreter.

#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "config/credential_provider.h"
#include "zentho/thread/executor.h"
#include "zentho/thread/sync.h"
#include "zentho/thread/thread.h"

class PythonCredentialProvider : public CredentialProvider {
public:
    static constexpr uint64_t REFRESH_US = 30000000;

    // Starts the refresh thread at once. Call with the interpreter lock held.
    explicit PythonCredentialProvider(pybind11::object host);
    // Call with the interpreter lock held; it is given up while the refresh
    // thread stops, so a refresh in progress can finish.
    ~PythonCredentialProvider() override;

    std::string access_key_id() override;
    std::string access_key_secret() override;
    std::string security_token() override;
    int64_t expiration() override;
    bool validate(std::string&) override { return update(false) == 0; }
    int reset() override;

    // One call of get_credentials(); the caller holds the interpreter lock.
    int update(bool locked);

private:
    static void* refresh_loop(void* self);

    pybind11::object m_host;
    std::string m_access_key_id;
    std::string m_access_key_secret;
    std::string m_security_token;
    int64_t m_expiration = 0;
    zentho::RWLock m_lock;
    zentho::Executor* m_executor = nullptr;
    zentho::Thread* m_thread = nullptr;
    bool m_stop = false;
};
