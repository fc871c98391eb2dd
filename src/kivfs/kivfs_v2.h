#pragma once
// The object store as a file system: a path "/bucket/key" names an object,
// directories are key prefixes, and every operation is one or more signed
// requests through one HTTP client. Many coroutines on any vCPU may use one
// kivFs_v2 at once; a kivFile_v2 is used by one coroutine at a time.

#include <dirent.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/credential_provider.h"
#include "kivfs/kiv_sign.h"
#include "zentho/fs/filesystem.h"
#include "zentho/fs/virtual-file.h"
#include "zentho/net/http/client.h"

namespace FileSystem {

using zentho::net::http::Client;
using zentho::net::http::Verb;

// Sum and count over a window that slides by scaling both down; safe to
// update from any thread (samples may race, values only feed log lines).
class SlidingCounter {
public:
    explicit SlidingCounter(uint64_t window_us) : m_window(window_us) {}
    void update(uint64_t sample, uint64_t now_us);
    uint64_t count() const { return m_count.load(std::memory_order_relaxed); }
    uint64_t average() const;

private:
    std::atomic<uint64_t> m_sum{0}, m_count{0}, m_start{0};
    uint64_t m_window;
};

// One listed entry: the dirent (name truncated to 255 bytes) plus what a stat
// needs. `key` keeps the whole relative name so that deletes and copies of a
// prefix never act on a truncated key.
struct DirEntry {
    struct dirent d;
    int64_t size;
    uint32_t nlink;
    uint32_t mtime, ctime;
    std::string key;
};

class StatDir : public zentho::fs::DIR {
public:
    explicit StatDir(std::vector<DirEntry>* entries) : m_entries(entries) {}
    ~StatDir() override { delete m_entries; }
    int closedir() override { return 0; }
    struct dirent* get() override;
    int next() override;
    void rewinddir() override { m_pos = 0; }
    void seekdir(long loc) override { m_pos = loc; }
    long telldir() override { return m_pos; }
    const std::vector<DirEntry>& entries() const { return *m_entries; }

private:
    std::vector<DirEntry>* m_entries;
    long m_pos = 0;
};

// Called per listed object; a negative return stops the listing.
using ListCallback = int (*)(void* ctx, size_t key_len, const char* key, int64_t size, time_t mtime,
                             bool is_dir);

class KIVListFs : public zentho::fs::IFileSystem {
public:
    virtual int list_objects(std::string_view bucket, std::string_view prefix, std::string* token,
                             ListCallback cb, void* ctx, int max_keys, bool recursive,
                             std::string_view start_after = {}) = 0;
};

class kivFs_v2;

class kivFile_v2 : public zentho::fs::VirtualFile {
public:
    static constexpr int O_MULTIPART = 0x40000000;
    static constexpr int IOCTL_MULTI_PART = 101;
    static constexpr int IOCTL_SET_SIZE = 102;

    kivFile_v2(kivFs_v2* fs, std::string_view bucket, std::string_view key, int flags);
    ~kivFile_v2() override;

    // At open with O_CREAT: starts the multipart upload when asked for.
    int init();

    int close() override;
    ssize_t write(const void* buf, size_t count) override;
    ssize_t writev(const struct iovec* iov, int iovcnt) override;
    ssize_t pwrite(const void* buf, size_t count, off_t offset) override;
    ssize_t preadv(const struct iovec* iov, int iovcnt, off_t offset) override;
    ssize_t pwritev(const struct iovec* iov, int iovcnt, off_t offset) override;
    int fsync() override { return finish(); }
    int fdatasync() override { return finish(); }
    int fstat(struct stat* buf) override;
    int vioctl(int request, va_list args) override;
    zentho::fs::IFileSystem* filesystem() override { ZENTHO_ENOSYS(nullptr); }
    int fchmod(mode_t) override { ZENTHO_ENOSYS(-1); }
    int fchown(uid_t, gid_t) override { ZENTHO_ENOSYS(-1); }
    int ftruncate(off_t) override { ZENTHO_ENOSYS(-1); }
    int spare_query0() override { ZENTHO_ENOSYS(-1); }

    int64_t size() const { return m_size; }
    const std::string& upload_id() const { return m_upload_id; }

private:
    bool multipart() const { return m_flags & O_MULTIPART; }
    int finish();
    ssize_t put_writev(const struct iovec* iov, int iovcnt);
    ssize_t append_writev(const struct iovec* iov, int iovcnt);
    ssize_t multi_upload_writev(const struct iovec* iov, int iovcnt, int part);
    int initiate_multipart_upload();
    int complete_multipart_upload();
    int abort_multipart_upload();

    kivFs_v2* m_fs;
    std::string m_bucket, m_key;
    int64_t m_size = 0;
    int m_flags;
    std::string m_upload_id;
    int m_part = 0;
    std::map<int, std::string> m_parts;
    bool m_append_mode;
    bool m_closed = false;
    bool m_finished = false;
};

class kivFs_v2 : public KIVListFs {
public:
    // endpoint: host[:port], optionally after "http://" or "https://" (no
    // scheme: HTTP). The provider is not owned. An empty bucket makes the
    // first path component the bucket.
    kivFs_v2(std::string_view endpoint, std::string_view bucket, CredentialProvider* cred,
             uint64_t timeout_us, bool append_mode = false, std::string_view url_prefix = {});
    kivFs_v2(std::string_view endpoint, CredentialProvider* cred, uint64_t timeout_us)
        : kivFs_v2(endpoint, {}, cred, timeout_us) {}
    ~kivFs_v2() override;
    // false when the HTTP client could not be made (errno says why)
    bool ok() const { return m_client != nullptr; }

    zentho::fs::IFile* open(const char* path, int flags) override;
    zentho::fs::IFile* open(const char* path, int flags, mode_t) override { return open(path, flags); }
    zentho::fs::IFile* creat(const char*, mode_t) override { ZENTHO_ENOSYS(nullptr); }
    int mkdir(const char* path, mode_t mode) override;
    int rmdir(const char* path) override;
    int symlink(const char*, const char*) override { ZENTHO_ENOSYS(-1); }
    ssize_t readlink(const char*, char*, size_t) override { ZENTHO_ENOSYS(-1); }
    int link(const char*, const char*) override { ZENTHO_ENOSYS(-1); }
    int rename(const char* oldname, const char* newname) override;
    int unlink(const char* path) override;
    int chmod(const char*, mode_t) override { ZENTHO_ENOSYS(-1); }
    int chown(const char*, uid_t, gid_t) override { ZENTHO_ENOSYS(-1); }
    int lchown(const char*, uid_t, gid_t) override { ZENTHO_ENOSYS(-1); }
    int statfs(const char* path, struct ::statfs* buf) override;
    int statvfs(const char* path, struct ::statvfs* buf) override;
    int stat(const char* path, struct ::stat* buf) override;
    int lstat(const char* path, struct ::stat* buf) override { return stat(path, buf); }
    int access(const char* path, int) override;
    int truncate(const char*, off_t) override { ZENTHO_ENOSYS(-1); }
    int utime(const char*, const struct utimbuf*) override { ZENTHO_ENOSYS(-1); }
    int utimes(const char*, const struct timeval[2]) override { ZENTHO_ENOSYS(-1); }
    int lutimes(const char*, const struct timeval[2]) override { ZENTHO_ENOSYS(-1); }
    int mknod(const char*, mode_t, dev_t) override { ZENTHO_ENOSYS(-1); }
    int syncfs() override { ZENTHO_ENOSYS(-1); }
    zentho::fs::DIR* opendir(const char* path) override;

    int list_objects(std::string_view bucket, std::string_view prefix, std::string* token,
                     ListCallback cb, void* ctx, int max_keys, bool recursive,
                     std::string_view start_after = {}) override;
    // One listing page appended to entries (relative names).
    int do_ls_dir(std::string_view bucket, std::string_view prefix, std::vector<DirEntry>& entries,
                  bool* prefix_object, std::string* token, int max_keys, bool use_delimiter);
    // Deletes prefix ["/"] entry.key for every entry, 1000 keys per request.
    int delete_multiple_objects(std::string_view bucket, std::string_view prefix,
                                const std::vector<DirEntry>& entries);

    // One request: built with the query (kept sorted, encoded, first of a
    // key wins) and signed. `extra` headers are signed too.
    struct Call {
        std::unique_ptr<Client::Operation> op;
        KivObjectURL url;
        std::string target;
        Call() = default;
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;
        // releasing the connection must not overwrite the errno of a failed call
        ~Call() {
            int saved = errno;
            op.reset();
            errno = saved;
        }
    };
    int make_call(Call& c, Verb verb, std::string_view bucket, std::string_view key,
                  QueryParams query, const std::vector<std::pair<std::string, std::string>>& extra = {},
                  const struct iovec* body = nullptr, int body_cnt = 0, bool sign = true);
    // Runs it with retries; 0 with the response in c.op, or -1 with errno.
    int do_onstack_call(Call& c);
    void sign(Call& c, const QueryParams& query);

    // path -> bucket, key (without leading '/')
    void split(std::string_view path, std::string& bucket, std::string& key) const;
    int stat_key(std::string_view bucket, std::string_view key, struct ::stat* buf);

    bool use_http() const { return m_use_http; }
    bool append_mode() const { return m_append_mode; }
    uint64_t timeout_us() const { return m_timeout_us; }
    std::string_view endpoint_host() const { return m_endpoint; }

    SlidingCounter m_rate{1000000}, m_latency{60000000}, m_server_latency{60000000};

private:
    int walk(std::string_view bucket, std::string_view key, std::vector<DirEntry>& entries,
             bool* prefix_object);

    std::string m_endpoint, m_bucket, m_prefix;
    CredentialProvider* m_cred;
    uint64_t m_timeout_us;
    bool m_use_http = true;
    bool m_append_mode;
    Client* m_client;
};

}  // namespace FileSystem
