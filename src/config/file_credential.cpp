#include "config/file_credential.h"

#include <time.h>
#include <unistd.h>

#include "zentho/common/logger.h"
#include "zentho/thread/current.h"

bool JsonCredentialFile::CheckTypes() {
    for (const char* key : {"/AccessKeyId", "/AccessKeySecret", "/SecurityToken", "/Expiration"})
        if (!absent_or_string(key)) LOG_ERROR_RETURN(EINVAL, false, "type mismatch for ", key + 1);
    return true;
}

static int fail(std::string* error, std::string msg, int err) {
    if (err) errno = err;
    LOG_ERROR(msg, ' ', ERRNO());
    if (error) *error = std::move(msg);
    return -1;
}

int FileCredentialProvider::load(std::string* error, bool locked) {
    if (access(m_path.c_str(), F_OK) != 0)
        return fail(error, "credential file not found: " + m_path, ENOENT);
    JsonCredentialFile file;
    if (!ConfigUtils::ParseJSON(m_path.c_str(), file))
        return fail(error, "failed to parse cred file: " + m_path, 0);
    std::string id = file.get_string("/AccessKeyId", "");
    std::string secret = file.get_string("/AccessKeySecret", "");
    if (id.empty()) return fail(error, "'AccessKeyId' can't be empty", EINVAL);
    if (secret.empty()) return fail(error, "'AccessKeySecret' can't be empty", EINVAL);
    std::string token = file.get_string("/SecurityToken", "");
    std::string exp = file.get_string("/Expiration", "");
    int64_t expiration = -1;
    if (!exp.empty()) {
        struct tm tm = {};
        const char* end = strptime(exp.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm);
        if (!end || *end) return fail(error, "failed to parse Expiration: " + exp, EINVAL);
        expiration = timegm(&tm);
    }
    bool held = locked && m_lock.lock(zentho::WLOCK) == 0;
    m_access_key_id = id;
    m_access_key_secret = std::move(secret);
    m_security_token = std::move(token);
    m_expiration = expiration;
    if (held) m_lock.unlock();
    LOG_INFO("update cred, accessKeyID: ", id, ", expire timestamp: ", expiration);
    return 0;
}

void FileCredentialProvider::maybe_reload() {
    int64_t exp = read_locked(m_lock, m_expiration);
    uint64_t now_us = zentho::update_now();
    bool reload;
    if (exp == 0) {
        reload = true;
    } else {
        // compared unsigned, so -1 (never expires) never triggers
        uint64_t now = now_us / 1000000;
        reload = now > uint64_t(exp) - 30 && now_us - m_last_load_us > 100000;
    }
    if (reload && load(nullptr, true) == 0) m_last_load_us = now_us;
}

std::string FileCredentialProvider::access_key_id() {
    maybe_reload();
    return read_locked(m_lock, m_access_key_id);
}

std::string FileCredentialProvider::access_key_secret() {
    maybe_reload();
    return read_locked(m_lock, m_access_key_secret);
}

std::string FileCredentialProvider::security_token() {
    maybe_reload();
    return read_locked(m_lock, m_security_token);
}

int64_t FileCredentialProvider::expiration() {
    maybe_reload();
    return read_locked(m_lock, m_expiration);
}
