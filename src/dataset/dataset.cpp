#include "dataset/dataset.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "config/config_util.h"
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
    path += "_" + std::to_string(id);
    size_t end = path.find_last_not_of('/');
    size_t slash = path.rfind('/', end);
    std::string dir = path.substr(0, slash + 1);
    if (mkdir_recursive(dir, 0755) < 0) {
        error = "failed to mkdir '" + dir + "' for path '" + path + "': " + errno_text(errno);
        return "";
    }
    return path;
}

namespace {

// Stands where the object store file system goes until that client exists:
// every call fails with ENOSYS, so nothing pretends to reach the store.
class PendingObjectStoreFS : public zentho::fs::IFileSystem {
public:
    using IFile = zentho::fs::IFile;
    IFile* open(const char*, int) override { return nosys<IFile*>(nullptr); }
    IFile* open(const char*, int, mode_t) override { return nosys<IFile*>(nullptr); }
    IFile* creat(const char*, mode_t) override { return nosys<IFile*>(nullptr); }
    int mkdir(const char*, mode_t) override { return nosys(-1); }
    int rmdir(const char*) override { return nosys(-1); }
    int symlink(const char*, const char*) override { return nosys(-1); }
    ssize_t readlink(const char*, char*, size_t) override { return nosys<ssize_t>(-1); }
    int link(const char*, const char*) override { return nosys(-1); }
    int rename(const char*, const char*) override { return nosys(-1); }
    int unlink(const char*) override { return nosys(-1); }
    int chmod(const char*, mode_t) override { return nosys(-1); }
    int chown(const char*, uid_t, gid_t) override { return nosys(-1); }
    int lchown(const char*, uid_t, gid_t) override { return nosys(-1); }
    int statfs(const char*, struct ::statfs*) override { return nosys(-1); }
    int statvfs(const char*, struct ::statvfs*) override { return nosys(-1); }
    int stat(const char*, struct ::stat*) override { return nosys(-1); }
    int lstat(const char*, struct ::stat*) override { return nosys(-1); }
    int access(const char*, int) override { return nosys(-1); }
    int truncate(const char*, off_t) override { return nosys(-1); }
    int utime(const char*, const struct utimbuf*) override { return nosys(-1); }
    int utimes(const char*, const struct timeval[2]) override { return nosys(-1); }
    int lutimes(const char*, const struct timeval[2]) override { return nosys(-1); }
    int mknod(const char*, mode_t, dev_t) override { return nosys(-1); }
    int syncfs() override { return nosys(-1); }
    zentho::fs::DIR* opendir(const char*) override { return nosys<zentho::fs::DIR*>(nullptr); }

private:
    template <typename T = int>
    static T nosys(T r) {
        errno = ENOSYS;
        return r;
    }
};

}  // namespace

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
    zentho::fs::IFileSystem* raw_fs = executor->run_and_wait([&]() -> zentho::fs::IFileSystem* {
        pthread_setname_np(pthread_self(), "kiv-ds-executor");
        ConfigUtils::Config ds = ConfigUtils::sub_config(config, "/datasetConfig");
        uint64_t timeout_us = ds.find("/timeoutMs") ? uint64_t(int64_t(ds.get_int("/timeoutMs", 0)) * 1000)
                                                    : 10000000;
        (void)timeout_us;  // for the object store file system
        return new PendingObjectStoreFS();
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
                 zentho::fs::IFileSystem* raw_fs, std::string uuid, int32_t id, int32_t total,
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
