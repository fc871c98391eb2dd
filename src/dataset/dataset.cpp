#include "dataset/dataset.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "config/config_util.h"
#include "iterator/kiv_list_iterator.h"
#include "kivfs/kivfs_v2.h"
#include "object/object_basic.h"
#include "object/object_mem.h"
#include "object/object_write.h"
#include "zentho/common/logger.h"
#include "zentho/fs/localfs.h"
#include "zentho/thread/executor.h"
#include "zentho/thread/thread.h"

using namespace zentho;

static std::string errno_text(int e) {
    char buf[128];
    return strerror_r(e, buf, sizeof(buf));
}

int mkdir_recursive(const std::string& dir, mode_t mode) {
    static zentho::fs::IFileSystem* local = zentho::fs::new_local_file_system();
    return zentho::fs::mkdir_parents(local, dir.c_str(), mode);
}

std::string prepare_log_file_path(const std::string& given, int32_t id, const char* default_name,
                                  std::string& error) {
    std::string path = given;
    if (!path.empty() && path.back() == '/') path += default_name;
    if (path.empty() || path[0] != '/') {
        char cwd[4096];
        if (!getcwd(cwd, sizeof(cwd))) {
            error = "failed to get cwd for path '" + path + "': " + errno_text(errno);
            return "";
        }
        LOG_INFO(VALUE(cwd));
        path = std::string(cwd) + "/" + path;
    }
    path.append("_").append(std::to_string(id));
    size_t end = path.find_last_not_of('/');
    size_t slash = path.rfind('/', end);
    std::string dir = path.substr(0, slash + 1);
    if (mkdir_recursive(dir, 0755) < 0) {
        error = "failed to mkdir '" + dir + "' for path '" + path + "': " + errno_text(errno);
        return "";
    }
    return path;
}


static bool g_reset_handler_registered = false;

static DataSet* fail(std::string& error, std::string text) {
    int e = errno;
    LOG_ERROR(text);
    error = std::move(text);
    errno = e;
    return nullptr;
}

DataSet* new_kiv_dataset(const std::string& endpoint, CredentialProvider* provider,
                         const std::string& config_path_arg, int32_t id, const std::string& uuid,
                         int32_t total, std::string& error) {
    mallopt(M_TRIM_THRESHOLD, 1 << 20);
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    LOG_INFO("new kiv dataset, uuid: ", uuid, " id: ", id, ", total: ", total,
             ", pid: ", getpid(), ", endpoint: ", endpoint);
    if (!provider) LOG_ERROR_RETURN(EINVAL, nullptr, "invalid credential provider");

    std::string text;
    if (!provider->validate(text)) {
        if (!errno) errno = EINVAL;
        return fail(error, "failed to validate credential provider: " + text);
    }

    std::string path = config_path_arg.empty() ? DataSet::DEFAULT_CONFIG_PATH : config_path_arg;
    ConfigUtils::ConnectorConfig config;
    if (!ConfigUtils::ParseJSON(path.c_str(), config))
        return fail(error, "failed to parse config file '" + path + "': " + errno_text(errno));
    const std::string& config_path = path;
    LOG_INFO(VALUE(config_path));

    if (mkdir_recursive(DataSet::RUN_DIR, 0755) < 0)
        return fail(error, std::string("failed to mkdir '") + DataSet::RUN_DIR +
                               "': " + errno_text(errno));

    uint32_t level = ConfigUtils::read_log_level(config);
    LOG_INFO("set log level: ", level);
    set_log_level(level);

    static constexpr uint64_t ROTATION_SIZE = 100ull << 20;
    std::string log_path =
        config.get_string("/logPath", std::string(DataSet::LOG_DIR) + "connector.log");
    if (log_path.empty()) {
        LOG_WARN("'logPath' is empty or is not string, output log to stdout.");
    } else {
        std::string final_path = prepare_log_file_path(log_path, id, "connector.log", text);
        if (final_path.empty()) return fail(error, text);
        LOG_INFO("set log path: ", final_path);
        log_output_file(final_path.c_str(), ROTATION_SIZE, 3, UINT64_MAX);
    }

    std::string audit_path =
        config.get_string("/auditPath", std::string(DataSet::LOG_DIR) + "audit.log");
    if (audit_path.empty()) {
        LOG_WARN("'auditPath' is empty or is not string, audit log is disabled.");
    } else {
        std::string final_path = prepare_log_file_path(audit_path, id, "audit.log", text);
        if (final_path.empty()) return fail(error, text);
        LOG_INFO("set audit path: ", final_path);
        ILogOutput* out = new_log_output_file(final_path.c_str(), ROTATION_SIZE, 3, UINT64_MAX);
        // a file that cannot be opened leaves audit lines discarded
        default_audit_logger.m_output = out ? out : log_output_null();
    }

    ZenthoOptions opts;
    opts.aio_queue_depth = 32;
    opts.pooled_stacks = false;
    opts.bypass_pool = true;
    auto* executor = new Executor(INIT_EVENT_EPOLL, INIT_IO_NONE, opts);
    FileSystem::kivFs_v2* raw_fs = executor->run_and_wait([&]() -> FileSystem::kivFs_v2* {
        pthread_setname_np(pthread_self(), "kiv-ds-executor");
        ConfigUtils::Config ds = ConfigUtils::sub_config(config, "/datasetConfig");
        uint64_t timeout_us = ds.find("/timeoutMs") ? uint64_t(int64_t(ds.get_int("/timeoutMs", 0)) * 1000)
                                                    : 10000000;
        auto* kfs = new FileSystem::kivFs_v2(endpoint, provider, timeout_us);
        if (!kfs->ok()) {
            int e = errno ? errno : ENOMEM;
            delete kfs;
            LOG_ERROR_RETURN(e, nullptr, "failed to new kiv fs ", ERRNO(e));
        }
        return kfs;
    });
    if (!raw_fs) {
        delete executor;
        return fail(error, "failed to new kivfs: " + errno_text(errno));
    }
    zentho::fs::IExecForwardFS* fs = zentho::fs::new_exec_forward_fs(raw_fs, executor, true);

    if (!g_reset_handler_registered) {
        pthread_atfork(nullptr, nullptr, &::reset_all_handle);
        LOG_INFO("reset_all_handle registed ", VALUE(getpid()));
        g_reset_handler_registered = true;
    }
    return new DataSet(config, fs, raw_fs, uuid, id, total, provider);
}

DataSet::DataSet() = default;

DataSet::DataSet(const ConfigUtils::Config& config, zentho::fs::IExecForwardFS* fs,
                 FileSystem::kivFs_v2* raw_fs, std::string uuid, int32_t id, int32_t total,
                 CredentialProvider* provider)
    : m_config(config),
      m_fs(fs),
      m_raw_fs(raw_fs),
      m_id(id),
      m_total(total),
      m_uuid(std::move(uuid)),
      m_provider(provider) {
    // host threads wait on runtime objects (queues, executors); an already
    // initialised thread makes this a no-op
    ZenthoOptions opts;
    opts.aio_queue_depth = 32;
    opts.pooled_stacks = false;
    opts.bypass_pool = false;
    zentho::init(INIT_EVENT_EPOLL, INIT_IO_NONE, opts);
    LOG_INFO("construct dataset, id: ", id, ", total: ", total, ", pid: ", getpid());
}

DataSet::~DataSet() {
    if (!m_provider && !m_fs) return;  // unbound
    LOG_INFO("destruct dataset, pid: ", getpid());
    m_fs.reset();
    m_provider.reset();
    LOG_INFO("destruct dataset done, pid: ", getpid());
}

int DataSet::reset() {
    if (m_provider) m_provider->reset();
    return 0;
}

// ---- operations ---------------------------------------------------------------

static std::string object_path(const std::string& bucket, const std::string& key) {
    return "/" + bucket + "/" + key;
}

IDataObjectIterator* DataSet::list(const std::string& bucket, const std::string& prefix) {
    LOG_INFO("new kiv list iterator");
    ConfigUtils::Config ds = ConfigUtils::sub_config(m_config, "/datasetConfig");
    bool fast = ds.is_true("/enableFastList");
    int32_t lcon = 16, lworker = 1;
    if (fast) {
        lcon = ds.get_int(ConfigUtils::DS_LIST_CONCURRENCY.key, ConfigUtils::DS_LIST_CONCURRENCY.def);
        lworker = ds.get_int(ConfigUtils::DS_LIST_WORKER.key, ConfigUtils::DS_LIST_WORKER.def);
        ConfigUtils::check_fast_list_param(lcon, lworker);
        LOG_INFO("enable fast list ", VALUE(lcon), VALUE(lworker));
    }
    return new_kiv_iterator(m_raw_fs, m_fs.get(), bucket, prefix, fast, lcon, lworker);
}

IDataObject* DataSet::open_ro(const std::string& bucket, const std::string& key, uint64_t size,
                              int32_t type, const std::string& label) {
    LOG_DEBUG("open_ro ", VALUE(bucket), VALUE(key), VALUE(size), VALUE(type), VALUE(label));
    std::string path = object_path(bucket, key);
    switch (type) {
        case 1:
        case 3:
            // mapped objects and tar members are not built into this version
            return new_error_dataobject(path, ENOSYS, "open_ro type " + std::to_string(type) +
                                                          " is not supported yet");
        case 2: {
            IDataObject* obj = new_memory_dataobject(path, int64_t(size), label, nullptr, m_fs.get());
            // a size without a buffer to fill is a caller error; the host expects an object
            if (!obj) return new_error_dataobject(path, errno ? errno : EINVAL, "invalid memory object arguments");
            return obj;
        }
        default:
            return new DataObjectBasicRO(path, int64_t(size), label, m_fs.get());
    }
}

IDataObject* DataSet::open_wo(const std::string& bucket, const std::string& key) {
    LOG_DEBUG("open_wo", VALUE(bucket), VALUE(key));
    std::string path = object_path(bucket, key);
    ConfigUtils::Config cp = ConfigUtils::sub_config(m_config, "/checkpointConfig");
    uint64_t write_io_size = ConfigUtils::read_mib(cp, ConfigUtils::CP_WRITE_IO_SIZE_MB);
    uint64_t upload_io_size = ConfigUtils::read_mib(cp, ConfigUtils::CP_UPLOAD_IO_SIZE_MB);
    uint64_t buffer_size = ConfigUtils::read_mib(cp, ConfigUtils::CP_UPLOAD_BUFFER_SIZE_MB);
    uint64_t upload_concurrency = ConfigUtils::read_upload_concurrency(cp);
    LOG_INFO("new kiv writable dataobject ", VALUE(write_io_size), VALUE(upload_io_size),
             VALUE(buffer_size), VALUE(upload_concurrency));
    return new DataObjectWrite(path, m_raw_fs, write_io_size, upload_io_size, upload_concurrency,
                               buffer_size);
}
