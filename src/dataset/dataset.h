#pragma once
// A dataset binds one object store endpoint, one credential provider and one
// configuration document, and owns the machinery its operations share.
// Created and destroyed on a host thread.

#include <cstdint>
#include <memory>
#include <string>

#include "config/config.h"
#include "config/credential_provider.h"
#include "kivfs/kivfs_v2.h"
#include "iterator/iterator.h"
#include "object/dataobject.h"
#include "zentho/fs/exec_fs.h"
#include "zentho/fs/filesystem.h"
#include "zentho/io/reset_handle.h"

class DataSet : public ResetHandle {
public:
    static constexpr const char* DEFAULT_CONFIG_PATH = "/etc/kiv-connector/config.json";
    static constexpr const char* RUN_DIR = "/var/run/kiv-connector/";
    static constexpr const char* LOG_DIR = "/var/log/kiv-connector/";

    // Unbound: no file system, no configuration; only for the host's DataSet().
    DataSet();
    // Takes ownership of fs and provider; raw_fs is the file system behind fs.
    DataSet(const ConfigUtils::Config& config, zentho::fs::IExecForwardFS* fs,
            FileSystem::kivFs_v2* raw_fs, std::string uuid, int32_t id, int32_t total,
            CredentialProvider* provider);
    ~DataSet() override;

    // After fork, in the child.
    int reset() override;

    // Operations; every result is owned by the caller and must not outlive the
    // dataset. open_ro never fails: failures are error objects.
    IDataObjectIterator* list(const std::string& bucket, const std::string& prefix);
    IDataObject* open_ro(const std::string& bucket, const std::string& key, uint64_t size,
                         int32_t type, const std::string& label);
    IDataObject* open_wo(const std::string& bucket, const std::string& key);

    // made by new_kiv_dataset (not the host's own DataSet())
    bool bound() const { return m_provider != nullptr; }
    const ConfigUtils::Config& config() const { return m_config; }
    int32_t id() const { return m_id; }
    int32_t total() const { return m_total; }
    const std::string& uuid() const { return m_uuid; }
    CredentialProvider* credential_provider() const { return m_provider.get(); }
    // The forwarding file system usable from any thread, and the object store
    // file system itself for code on runtime threads.
    zentho::fs::IExecForwardFS* fs() const { return m_fs.get(); }
    FileSystem::kivFs_v2* raw_fs() const { return m_raw_fs; }

private:
    ConfigUtils::Config m_config;
    std::unique_ptr<zentho::fs::IExecForwardFS> m_fs;
    FileSystem::kivFs_v2* m_raw_fs = nullptr;
    int32_t m_id = 0;
    int32_t m_total = 1;
    std::string m_uuid;
    std::unique_ptr<CredentialProvider> m_provider;
};

// Builds a dataset; on null, `error` says why (when a text was produced) and
// errno is set. On success the dataset owns the provider.
DataSet* new_kiv_dataset(const std::string& endpoint, CredentialProvider* provider,
                         const std::string& config_path, int32_t id, const std::string& uuid,
                         int32_t total, std::string& error);

// The per-worker file path for a log or audit file, its directory created;
// empty with `error` set on failure.
std::string prepare_log_file_path(const std::string& path, int32_t id, const char* default_name,
                                  std::string& error);

// Creates every missing directory of a path ending in "/" (mode for each);
// existing directories are fine.
int mkdir_recursive(const std::string& dir, mode_t mode);
