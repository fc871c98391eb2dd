#pragma once
// Credentials from a JSON file, re-read shortly before they expire.

#include <string>

#include "config/config.h"
#include "config/credential_provider.h"
#include "zentho/thread/sync.h"

class JsonCredentialFile : public ConfigUtils::Config {
public:
    bool CheckTypes() override;
};

class FileCredentialProvider : public CredentialProvider {
public:
    static constexpr const char* DEFAULT_PATH = "/root/.marquelle/credentials";

    explicit FileCredentialProvider(std::string path) : m_path(std::move(path)) {}

    std::string access_key_id() override;
    std::string access_key_secret() override;
    std::string security_token() override;
    int64_t expiration() override;
    bool validate(std::string& error) override { return load(&error, false) == 0; }
    int reset() override { return 0; }

    // One reading of the file; `locked` stores the values under the write lock.
    int load(std::string* error, bool locked);

    const std::string& path() const { return m_path; }

private:
    void maybe_reload();

    std::string m_access_key_id;
    std::string m_access_key_secret;
    std::string m_security_token;
    int64_t m_expiration = 0;  // 0 before the first load, -1 for never
    zentho::RWLock m_lock;
    std::string m_path;
    uint64_t m_last_load_us = 0;
};
