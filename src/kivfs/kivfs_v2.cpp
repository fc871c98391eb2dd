#include "kivfs/kivfs_v2.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tinyxml2.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "kivfs/kiv_xml.h"
#include "zentho/common/logger.h"
#include "zentho/net/http/url.h"
#include "zentho/thread/current.h"
#include "zentho/thread/thread.h"

namespace FileSystem {

using zentho::net::http::url_escape;

namespace {

constexpr int RETRY_LIMIT = 3;
constexpr uint64_t BACKOFF_US = 20000, BACKOFF_MAX_US = 200000;
constexpr int64_t XML_LIMIT = 0x1000000;
constexpr size_t DELETE_BATCH = 1000;

uint64_t now() { return zentho::update_now(); }

size_t iov_total(const struct iovec* iov, int iovcnt) {
    size_t n = 0;
    for (int i = 0; i < iovcnt; i++) n += iov[i].iov_len;
    return n;
}

// The whole body, with the Content-Length limit of XML answers.
int read_xml_body(Client::Operation* op, std::string& body) {
    int64_t len = op->resp.headers.content_length();
    if (len < 0) len = 0;
    if (len > XML_LIMIT) LOG_ERROR_RETURN(EINVAL, -1, "xml length limit excceed ", VALUE(len));
    body.resize(size_t(len));
    size_t got = 0;
    while (got < body.size()) {
        ssize_t r = op->resp.read(body.data() + got, body.size() - got);
        if (r <= 0) LOG_ERROR_RETURN(r < 0 ? 0 : EIO, -1, "body read error ", VALUE(got), VALUE(len));
        got += size_t(r);
    }
    return 0;
}

std::string read_error_body(Client::Operation* op) {
    int64_t len = op->resp.headers.content_length();
    std::string body;
    if (len <= 0 || len > XML_LIMIT) return body;
    body.resize(size_t(len));
    size_t got = 0;
    while (got < body.size()) {
        ssize_t r = op->resp.read(body.data() + got, body.size() - got);
        if (r <= 0) break;
        got += size_t(r);
    }
    body.resize(got);
    return body;
}

time_t parse_http_date(std::string_view text) {
    if (text.empty()) return 0;
    std::string s(text);
    struct tm tm = {};
    if (!strptime(s.c_str(), "%a, %d %b %Y %H:%M:%S %Z", &tm)) return 0;
    return timegm(&tm);
}

void fill_dirent(DirEntry& e, std::string_view name, unsigned char type, int64_t size, time_t mtime) {
    memset(&e.d, 0, sizeof(e.d));
    e.d.d_ino = 0;
    e.d.d_type = type;
    size_t n = std::min(name.size(), size_t(255));
    memcpy(e.d.d_name, name.data(), n);
    e.d.d_name[n] = 0;
    e.size = size;
    e.nlink = 1;
    e.mtime = e.ctime = uint32_t(mtime);
    e.key.assign(name);
}

std::atomic<uint64_t> g_last_stat_second{0};

}  // namespace

// ---- SlidingCounter ---------------------------------------------------------

void SlidingCounter::update(uint64_t sample, uint64_t now_us) {
    uint64_t start = m_start.load(std::memory_order_relaxed);
    uint64_t elapsed = now_us > start ? now_us - start : 0;
    if (elapsed > 2 * m_window) {
        m_sum.store(0, std::memory_order_relaxed);
        m_count.store(0, std::memory_order_relaxed);
        m_start.store(now_us, std::memory_order_relaxed);
    } else if (elapsed > m_window) {
        // keep (2L - elapsed) / L of each value
        uint64_t keep = 2 * m_window - elapsed;
        auto scale = [&](std::atomic<uint64_t>& v) {
            v.store(uint64_t((unsigned __int128)v.load(std::memory_order_relaxed) * keep / m_window),
                    std::memory_order_relaxed);
        };
        scale(m_sum);
        scale(m_count);
        m_start.store(now_us - m_window, std::memory_order_relaxed);
    }
    m_sum.fetch_add(sample, std::memory_order_relaxed);
    m_count.fetch_add(1, std::memory_order_relaxed);
}

uint64_t SlidingCounter::average() const {
    uint64_t c = m_count.load(std::memory_order_relaxed);
    return c ? m_sum.load(std::memory_order_relaxed) / c : 0;
}

// ---- StatDir ----------------------------------------------------------------

struct dirent* StatDir::get() {
    errno = 0;
    if (m_pos < 0 || size_t(m_pos) >= m_entries->size()) return nullptr;
    return &(*m_entries)[size_t(m_pos)].d;
}

int StatDir::next() {
    if (size_t(m_pos) < m_entries->size()) m_pos++;
    return size_t(m_pos) < m_entries->size() ? 1 : 0;
}

// ---- kivFs_v2: construction and requests ------------------------------------

kivFs_v2::kivFs_v2(std::string_view endpoint, std::string_view bucket, CredentialProvider* cred,
                   uint64_t timeout_us, bool append_mode, std::string_view url_prefix)
    : m_bucket(bucket), m_prefix(url_prefix), m_cred(cred), m_timeout_us(timeout_us),
      m_append_mode(append_mode) {
    if (endpoint.starts_with("https://")) {
        m_use_http = false;
        endpoint.remove_prefix(8);
    } else if (endpoint.starts_with("http://")) {
        endpoint.remove_prefix(7);
    }
    while (!endpoint.empty() && endpoint.back() == '/') endpoint.remove_suffix(1);
    m_endpoint.assign(endpoint);
    m_client = zentho::net::http::new_http_client(nullptr, nullptr);
    if (m_client) m_client->timeout(timeout_us);
}

kivFs_v2::~kivFs_v2() { delete m_client; }

void kivFs_v2::split(std::string_view path, std::string& bucket, std::string& key) const {
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (!m_bucket.empty()) {
        bucket = m_bucket;
        key.assign(path);
        return;
    }
    size_t slash = path.find('/');
    if (slash == std::string_view::npos) {
        bucket.assign(path);
        key.clear();
    } else {
        bucket.assign(path.substr(0, slash));
        key.assign(path.substr(slash + 1));
    }
}

int kivFs_v2::make_call(Call& c, Verb verb, std::string_view bucket, std::string_view key,
                        QueryParams query, const std::vector<std::pair<std::string, std::string>>& extra,
                        const struct iovec* body, int body_cnt, bool do_sign) {
    if (!m_client) LOG_ERROR_RETURN(ENOMEM, -1, "no http client");
    c.url.init(m_endpoint, bucket, key.empty() ? std::string_view("/") : key, m_use_http);
    // sorted by key, the first of equal keys wins
    std::stable_sort(query.begin(), query.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    query.erase(std::unique(query.begin(), query.end(),
                            [](const auto& a, const auto& b) { return a.first == b.first; }),
                query.end());
    // the signature covers the query exactly as it goes on the wire
    for (auto& q : query) {
        q.first = url_escape(q.first, true);
        q.second = url_escape(q.second, true);
    }
    c.target = m_prefix;
    c.target.append(c.url.url());
    for (size_t i = 0; i < query.size(); i++) {
        c.target += i ? '&' : '?';
        c.target += query[i].first;
        c.target += '=';
        c.target += query[i].second;
    }
    c.op = std::make_unique<Client::Operation>(verb, c.target, UINT64_MAX);
    if (!c.op->req.ok()) LOG_ERROR_RETURN(0, -1, "failed to build request ", VALUE(c.target), ERRNO());
    c.op->follow = 8;
    c.op->retry = 5;
    c.op->status_code = -1;
    for (auto& h : extra) c.op->req.headers.insert(h.first, h.second);
    if (body) {
        size_t len = iov_total(body, body_cnt);
        c.op->req.headers.insert("Content-Length", std::to_string(len));
        if (len) {
            c.op->body_writer = [body, body_cnt](zentho::net::http::Request* req) -> ssize_t {
                ssize_t r = req->writev(body, body_cnt);
                if (r < 0) LOG_ERROR("failed to write request body ", ERRNO());
                return r;
            };
        }
    }
    if (do_sign) sign_request(c.op->req, c.url, *m_cred, query);
    return 0;
}

int kivFs_v2::do_onstack_call(Call& c) {
    auto* op = c.op.get();
    int retry = RETRY_LIMIT;
    uint64_t backoff = BACKOFF_US;
    auto sleep_backoff = [&] {
        zentho::thread_usleep(zentho::Timeout(backoff));
        backoff = std::min(backoff * 2, BACKOFF_MAX_US);
    };
    for (;;) {
        int r = m_client->call(op);
        if (r < 0) {
            if (retry > 0) {
                retry--;
                LOG_ERROR("failed to call http, target: ", c.target, ", retry limit: ", retry, " , err: ", ERRNO());
                sleep_backoff();
                continue;
            }
            LOG_ERROR_RETURN(0, -1, "failed to call http after retries, target: ", c.target);
        }
        int code = op->status_code;
        if (code >= 200 && code <= 299) return 0;
        std::string rid(op->resp.headers["x-kiv-request-id"]);
        if (code == 401 || code == 403)
            LOG_ERROR_RETURN(EPERM, -1, "Authorization failed, code: ", code, ", request id: ", rid);
        if (code == 404)
            LOG_ERROR_RETURN(ENOENT, -1, "No such file or directory, code: ", code, ", request id: ", rid);
        int saved = errno;
        std::string body = code > 0 ? read_error_body(op) : std::string();
        errno = saved;
        if (code == 400)
            LOG_ERROR_RETURN(EINVAL, -1, "Invalid argument, code: ", code, ", request id: ", rid, ", body ", body);
        if (code >= 500 && code <= 599) {
            if (body.find("QpsLimitExceeded") != std::string::npos) {
                LOG_WARN("reach kiv qps limit, target: ", c.target, ", code: ", code, ", request id: ", rid);
                sleep_backoff();
                continue;
            }
            LOG_ERROR("kiv server error, target: ", c.target, ", code: ", code, ", request id: ", rid,
                      ", body: ", body);
            if (retry <= 0)
                LOG_ERROR_RETURN(EIO, -1, "failed to do http request due to kiv server error, target: ",
                                 c.target, ", code: ", code);
            retry--;
            LOG_ERROR("kiv server error, target: ", c.target, ", retry limit: ", retry);
            sleep_backoff();
            continue;
        }
        LOG_ERROR("unexpected error, target: ", c.target, ", code: ", code, ", request id: ", rid, ", body: ", body);
        if (retry <= 0) {
            // a status with no errno of its own must not read as success
            if (errno == 0) errno = EIO;
            LOG_ERROR_RETURN(0, -1, "failed to do http request due to unexpected error, target: ", c.target,
                             ", code: ", code, ", request id: ", rid);
        }
        retry--;
        LOG_ERROR("unexpected error, target: ", c.target, ", retry limit: ", retry);
        sleep_backoff();
    }
}

// ---- kivFs_v2: path operations ----------------------------------------------

int kivFs_v2::stat_key(std::string_view bucket, std::string_view key, struct ::stat* buf) {
    memset(buf, 0, sizeof(*buf));
    {
        Call c;
        if (make_call(c, Verb::HEAD, bucket, key, {{"objectMeta", ""}}) < 0) return -1;
        if (do_onstack_call(c) == 0) {
            int64_t size = c.op->resp.resource_size();
            if (size == -1) LOG_ERROR_RETURN(EIO, -1, "Unexpected http response header");
            buf->st_size = size;
            buf->st_mode = (!key.empty() && key.back() == '/') ? (S_IFDIR | 0755) : (S_IFREG | 0644);
            time_t t = parse_http_date(c.op->resp.headers["Last-Modified"]);
            buf->st_atime = buf->st_mtime = buf->st_ctime = t;
            buf->st_nlink = 1;
            return 0;
        }
    }
    // no such object: is it a prefix?
    std::vector<DirEntry> entries;
    bool prefix_object = false;
    std::string token;
    if (do_ls_dir(bucket, key, entries, &prefix_object, &token, 1, true) < 0) return -1;
    if (!entries.empty() || prefix_object || !token.empty()) {
        buf->st_size = 0;
        buf->st_mode = S_IFDIR | 0755;
        buf->st_nlink = 1;
        return 0;
    }
    LOG_DEBUG("directory ", key, " does not exist");
    errno = ENOENT;
    return -1;
}

int kivFs_v2::stat(const char* path, struct ::stat* buf) {
    if (!path || !buf) LOG_ERROR_RETURN(EINVAL, -1, "path or buf shouldn't be NULL");
    std::string bucket, key;
    split(path, bucket, key);
    return stat_key(bucket, key, buf);
}

int kivFs_v2::access(const char* path, int) {
    struct ::stat st;
    return stat(path, &st);
}

zentho::fs::IFile* kivFs_v2::open(const char* path, int flags) {
    if (!path) LOG_ERROR_RETURN(EINVAL, nullptr, "NULL is not allowed");
    if ((flags & O_CREAT) && (flags & O_EXCL)) LOG_ERROR_RETURN(EEXIST, nullptr, "File exists!");
    if ((flags & O_CREAT) && (flags & O_TRUNC)) {
        if (unlink(path) < 0 && errno != ENOENT) LOG_ERROR_RETURN(0, nullptr, "delete file failed!");
    }
    std::string bucket, key;
    split(path, bucket, key);
    auto* f = new kivFile_v2(this, bucket, key, flags);
    if ((flags & O_CREAT) && f->init() < 0) {
        int e = errno;
        delete f;
        errno = e;
        LOG_ERROR_RETURN(0, nullptr, "init empty file failed!");
    }
    return f;
}

int kivFs_v2::unlink(const char* path) {
    std::string bucket, key;
    split(path, bucket, key);
    Call c;
    if (make_call(c, Verb::DELETE, bucket, key, {}) < 0) return -1;
    return do_onstack_call(c);
}

int kivFs_v2::mkdir(const char* path, mode_t) {
    std::string p(path ? path : "");
    if (p.empty() || p.back() != '/') p.push_back('/');
    auto* f = open(p.c_str(), O_CREAT | O_WRONLY | O_DIRECTORY);
    int r = f ? f->close() : -1;
    int e = errno;
    delete f;
    errno = e;
    if (r < 0) LOG_ERROR_RETURN(0, -1, "mkdir failed ", ERRNO());
    return 0;
}

int kivFs_v2::walk(std::string_view bucket, std::string_view key, std::vector<DirEntry>& entries,
                   bool* prefix_object) {
    std::string token;
    do {
        if (do_ls_dir(bucket, key, entries, prefix_object, &token, 1000, false) < 0)
            LOG_ERROR_RETURN(EIO, -1, "dir_walker failed");
    } while (!token.empty());
    return 0;
}

int kivFs_v2::rmdir(const char* path) {
    std::string bucket, key;
    split(path ? path : "", bucket, key);
    if (key.empty()) LOG_ERROR_RETURN(EPERM, -1, "opearate bucket is forbidden");
    std::vector<DirEntry> entries;
    bool prefix_object = false;
    if (walk(bucket, key, entries, &prefix_object) < 0) return -1;
    if (prefix_object) {
        entries.emplace_back();
        fill_dirent(entries.back(), "", DT_REG, 0, 0);
    }
    if (entries.empty()) return 0;
    return delete_multiple_objects(bucket, key, entries);
}

int kivFs_v2::rename(const char* oldname, const char* newname) {
    if (!oldname || !newname) LOG_ERROR_RETURN(EINVAL, -1, "path shouldn't be NULL");
    std::string sb, sk, db, dk;
    split(oldname, sb, sk);
    split(newname, db, dk);
    struct ::stat st;
    if (stat_key(sb, sk, &st) < 0) return -1;
    auto move = [&](const std::string& from, const std::string& to) {
        Call c;
        std::string source = "/" + sb + "/" + url_escape(from, false);
        if (make_call(c, Verb::PUT, db, to, {}, {{"x-kiv-copy-source", source}, {"Content-Length", "0"}}) < 0 ||
            do_onstack_call(c) < 0)
            return -1;
        Call d;
        if (make_call(d, Verb::DELETE, sb, from, {}) < 0) return -1;
        return do_onstack_call(d);
    };
    if (S_ISREG(st.st_mode)) return move(sk, dk);
    if (sk.empty()) LOG_ERROR_RETURN(EPERM, -1, "opearate bucket is forbidden");
    std::string src = sk, dst = dk;
    if (src.back() != '/') src.push_back('/');
    if (!dst.empty() && dst.back() != '/') dst.push_back('/');
    std::vector<DirEntry> entries;
    bool prefix_object = false;
    if (walk(sb, src, entries, &prefix_object) < 0) return -1;
    for (auto& e : entries) {
        if (move(src + e.key, dst + e.key) < 0) LOG_ERROR_RETURN(0, -1, "rename file ", e.key, " failed");
    }
    if (prefix_object && move(src, dst) < 0) LOG_ERROR_RETURN(0, -1, "rename file ", src, " failed");
    if (entries.empty()) return 0;
    return delete_multiple_objects(sb, src, entries);
}

zentho::fs::DIR* kivFs_v2::opendir(const char* path) {
    std::string bucket, key;
    split(path ? path : "", bucket, key);
    auto* entries = new std::vector<DirEntry>(2);
    fill_dirent((*entries)[0], ".", DT_DIR, 0, 0);
    fill_dirent((*entries)[1], "..", DT_DIR, 0, 0);
    std::string token;
    bool prefix_object = false;
    do {
        if (do_ls_dir(bucket, key, *entries, &prefix_object, &token, 1000, true) < 0) {
            delete entries;
            LOG_ERROR_RETURN(EIO, nullptr, "opendir failed");
        }
    } while (!token.empty());
    return new StatDir(entries);
}

int kivFs_v2::statfs(const char*, struct ::statfs* buf) {
    if (!buf) LOG_ERROR_RETURN(EINVAL, -1, "buf shouldn't be NULL");
    memset(buf, 0, sizeof(*buf));
    buf->f_type = 0xE32DF01A;
    return 0;
}

int kivFs_v2::statvfs(const char*, struct ::statvfs* buf) {
    if (!buf) LOG_ERROR_RETURN(EINVAL, -1, "buf shouldn't be NULL");
    memset(buf, 0, sizeof(*buf));
    buf->f_bsize = 4096;
    buf->f_frsize = 0;
    buf->f_blocks = buf->f_bfree = buf->f_bavail = 0x180000000000ULL;
    buf->f_namemax = 255;
    return 0;
}

// ---- listing and multi-delete -----------------------------------------------

namespace {
int fetch_page(kivFs_v2* fs, std::string_view bucket, const QueryParams& q, ListPage& page) {
    kivFs_v2::Call c;
    if (fs->make_call(c, Verb::GET, bucket, "/", q) < 0) return -1;
    if (fs->do_onstack_call(c) < 0) return -1;
    std::string body;
    if (read_xml_body(c.op.get(), body) < 0) return -1;
    if (parse_list_page(body, page) < 0) LOG_ERROR_RETURN(0, -1, "failed to parse resp_body");
    return 0;
}

QueryParams list_query(std::string_view prefix, const std::string* token, int max_keys, bool delimiter,
                       std::string_view start_after) {
    QueryParams q{{"list-type", "2"},
                  {"prefix", std::string(prefix)},
                  {"max-keys", std::to_string(std::clamp(max_keys, 1, 1000))}};
    if (delimiter) q.emplace_back("delimiter", "/");
    if (token && !token->empty()) q.emplace_back("continuation-token", *token);
    if (!start_after.empty()) q.emplace_back("start-after", std::string(start_after));
    return q;
}
}  // namespace

int kivFs_v2::list_objects(std::string_view bucket, std::string_view prefix, std::string* token,
                           ListCallback cb, void* ctx, int max_keys, bool recursive,
                           std::string_view start_after) {
    ListPage page;
    if (fetch_page(this, bucket, list_query(prefix, token, max_keys, !recursive, start_after), page) < 0)
        return -1;
    for (auto& o : page.contents) {
        bool is_dir = !o.key.empty() && o.key.back() == '/';
        if (cb(ctx, o.key.size(), o.key.c_str(), o.size, o.mtime, is_dir) < 0)
            LOG_ERROR_RETURN(0, -1, "failed to do callback");
    }
    if (token) *token = page.next_token;
    return 0;
}

int kivFs_v2::do_ls_dir(std::string_view bucket, std::string_view prefix_in, std::vector<DirEntry>& entries,
                        bool* prefix_object, std::string* token, int max_keys, bool use_delimiter) {
    std::string prefix(prefix_in);
    if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
    ListPage page;
    if (fetch_page(this, bucket, list_query(prefix, token, max_keys, use_delimiter, {}), page) < 0) return -1;
    for (auto& o : page.contents) {
        if (o.key == prefix) {
            if (prefix_object) *prefix_object = true;
            continue;
        }
        entries.emplace_back();
        fill_dirent(entries.back(), std::string_view(o.key).substr(prefix.size()), DT_REG, o.size, o.mtime);
    }
    for (auto& p : page.prefixes) {
        std::string_view name(p);
        name.remove_prefix(std::min(prefix.size(), name.size()));
        if (!name.empty() && name.back() == '/') name.remove_suffix(1);
        entries.emplace_back();
        fill_dirent(entries.back(), name, DT_DIR, 0, 0);
    }
    if (token) *token = page.next_token;
    return 0;
}

int kivFs_v2::delete_multiple_objects(std::string_view bucket, std::string_view prefix,
                                      const std::vector<DirEntry>& entries) {
    std::string base(prefix);
    if (!base.empty() && base.back() != '/') base.push_back('/');
    std::vector<std::string> keys;
    keys.reserve(entries.size());
    for (auto& e : entries) keys.push_back(base + e.key);
    for (size_t begin = 0; begin < keys.size(); begin += DELETE_BATCH) {
        size_t end = std::min(keys.size(), begin + DELETE_BATCH);
        std::string body = delete_body(keys, begin, end);
        struct iovec iov{body.data(), body.size()};
        Call c;
        if (make_call(c, Verb::POST, bucket, "/", {{"delete", ""}}, {{"Content-MD5", content_md5(body)}}, &iov, 1) < 0 ||
            do_onstack_call(c) < 0)
            LOG_ERROR_RETURN(0, -1, "delete_multiple_objects failed");
    }
    return 0;
}

// ---- kivFile_v2 -------------------------------------------------------------

kivFile_v2::kivFile_v2(kivFs_v2* fs, std::string_view bucket, std::string_view key, int flags)
    : m_fs(fs), m_bucket(bucket), m_key(key), m_flags(flags), m_append_mode(fs->append_mode()) {
    if ((flags & O_ACCMODE) == O_RDONLY) m_finished = true;
}

kivFile_v2::~kivFile_v2() {
    if (!m_closed) finish();
}

int kivFile_v2::init() {
    if (multipart()) return initiate_multipart_upload();
    if (m_append_mode) {
        struct iovec none{nullptr, 0};
        return (m_flags & O_APPEND) ? int(append_writev(&none, 1)) : int(put_writev(&none, 1));
    }
    return 0;
}

int kivFile_v2::finish() {
    if (m_finished) return 0;
    int r = 0;
    struct iovec none{nullptr, 0};
    if ((m_flags & O_CREAT) && m_size == 0) {
        if (!m_upload_id.empty())
            r = complete_multipart_upload();
        else
            r = int((m_flags & O_APPEND) ? append_writev(&none, 1) : put_writev(&none, 1));
    } else if (multipart() && !m_upload_id.empty()) {
        r = m_parts.empty() ? abort_multipart_upload() : complete_multipart_upload();
    }
    if (r >= 0) m_finished = true;
    return r < 0 ? -1 : 0;
}

int kivFile_v2::close() {
    if (m_closed) LOG_ERROR_RETURN(EBADF, -1, "file has already closed");
    m_closed = true;
    return finish();
}

ssize_t kivFile_v2::preadv(const struct iovec* iov, int iovcnt, off_t offset) {
    uint64_t count = iov_total(iov, iovcnt);
    if (count == 0) return 0;
    int64_t end = offset + int64_t(count) - 1;
    if (m_size > 0 && end > m_size - 1) end = m_size - 1;
    if (end < offset) return 0;
    uint64_t start = now();
    m_fs->m_rate.update(1, start);
    kivFs_v2::Call c;
    if (m_fs->make_call(c, Verb::GET, m_bucket, m_key, {}, {{"x-kiv-range-behavior", "standard"}}) < 0) return -1;
    char range[64];
    snprintf(range, sizeof(range), "bytes=%lu-%lu", (unsigned long)offset, (unsigned long)end);
    c.op->req.headers.insert("Range", range);
    ssize_t ret = m_fs->do_onstack_call(c);
    uint64_t server_time = 0;
    if (ret < 0) {
        if (c.op->status_code == 416) ret = 0;
    } else {
        auto st = c.op->resp.headers["x-kiv-server-time"];
        server_time = strtoull(std::string(st).c_str(), nullptr, 10);
        if (server_time > 1000) {
            LOG_WARN("slow kiv read");
            auto& h = c.op->resp.headers;
            for (uint32_t i = 0; i < h.count(); i++) LOG_INFO("  ", h.key(i), ":", h.value(i));
        }
        int64_t rs = c.op->resp.resource_size();
        if (rs > 0 && rs != m_size) {
            m_size = rs;
            LOG_DEBUG("update size to ", m_size);
        }
        // the body is exactly the range: fill the vectors whole unless it ends early
        std::vector<struct iovec> v(iov, iov + iovcnt);
        size_t want = size_t(end - offset + 1), got = 0;
        for (auto& e : v) {
            size_t take = std::min(e.iov_len, want - got);
            char* p = static_cast<char*>(e.iov_base);
            size_t done = 0;
            while (done < take) {
                ssize_t r = c.op->resp.read(p + done, take - done);
                if (r < 0) {
                    ret = -1;
                    break;
                }
                if (r == 0) break;
                done += size_t(r);
            }
            got += done;
            if (ret < 0 || done < take || got == want) break;
        }
        if (ret >= 0) ret = ssize_t(got);
        if (ret >= 0 && got < want) LOG_ERROR("short read of kiv object ", VALUE(got), VALUE(want));
    }
    uint64_t fin = now();
    uint64_t elapsed = fin - start;
    m_fs->m_server_latency.update(server_time, fin);
    m_fs->m_latency.update(elapsed, fin);
    if (zentho::default_logger.m_level <= zentho::ALOG_INFO) {
        uint64_t sec = fin / 1000000, last = g_last_stat_second.load(std::memory_order_relaxed);
        if (sec != last && g_last_stat_second.compare_exchange_strong(last, sec)) {
            if (last)
                LOG_INFO("kiv:read [qps=", m_fs->m_rate.count(), "][latency=", m_fs->m_latency.average(),
                         "][server_latency=", m_fs->m_server_latency.average(), "]", " <last log", sec - last, " sec");
            else
                LOG_INFO("kiv:read [qps=", m_fs->m_rate.count(), "][latency=", m_fs->m_latency.average(),
                         "][server_latency=", m_fs->m_server_latency.average(), "]");
        }
    }
    if (elapsed >= 100000)
        LOG_AUDIT("kiv:read [url=", c.url.url(), "][offset=", int64_t(offset), "][size=", end - offset + 1,
                  "][server_time=", server_time, "][latency=", elapsed, "]");
    return ret;
}

ssize_t kivFile_v2::write(const void* buf, size_t count) {
    struct iovec v{const_cast<void*>(buf), count};
    return writev(&v, 1);
}

ssize_t kivFile_v2::writev(const struct iovec* iov, int iovcnt) {
    if (m_finished) LOG_ERROR_RETURN(EPERM, -1, "can not write RDONLY file");
    if (multipart()) return multi_upload_writev(iov, iovcnt, ++m_part);
    if (m_flags & O_APPEND) return append_writev(iov, iovcnt);
    return put_writev(iov, iovcnt);
}

ssize_t kivFile_v2::pwrite(const void* buf, size_t count, off_t offset) {
    struct iovec v{const_cast<void*>(buf), count};
    return pwritev(&v, 1, offset);
}

ssize_t kivFile_v2::pwritev(const struct iovec* iov, int iovcnt, off_t offset) {
    if (m_finished) LOG_ERROR_RETURN(EPERM, -1, "can not write RDONLY file");
    if (!multipart() && !(m_flags & O_APPEND) && offset != 0)
        LOG_ERROR_RETURN(EPERM, -1, "can not PutObject with non-zero offset ", int64_t(offset), ".");
    if (!multipart() && (m_flags & O_APPEND) && offset != m_size)
        LOG_ERROR_RETURN(EPERM, -1, "offset ", int64_t(offset), " and size ", m_size,
                         " aren't equal when doing AppendObject.");
    if (iovcnt <= 0 || (iovcnt == 1 && iov[0].iov_len == 0)) return 0;
    return writev(iov, iovcnt);
}

ssize_t kivFile_v2::put_writev(const struct iovec* iov, int iovcnt) {
    size_t len = iov_total(iov, iovcnt);
    kivFs_v2::Call c;
    if (m_fs->make_call(c, Verb::PUT, m_bucket, m_key, {}, {}, iov, iovcnt) < 0) return -1;
    if (m_fs->do_onstack_call(c) < 0) return -1;
    m_size = int64_t(len);
    return ssize_t(len);
}

ssize_t kivFile_v2::append_writev(const struct iovec* iov, int iovcnt) {
    size_t len = iov_total(iov, iovcnt);
    for (int attempt = 0; attempt < 2; attempt++) {
        kivFs_v2::Call c;
        if (m_fs->make_call(c, Verb::POST, m_bucket, m_key, {{"append", ""}, {"position", std::to_string(m_size)}}, {},
                            iov, iovcnt) < 0)
            return -1;
        if (m_fs->do_onstack_call(c) == 0) {
            m_size += int64_t(len);
            return ssize_t(len);
        }
    }
    return -1;
}

ssize_t kivFile_v2::multi_upload_writev(const struct iovec* iov, int iovcnt, int part) {
    size_t len = iov_total(iov, iovcnt);
    kivFs_v2::Call c;
    if (m_fs->make_call(c, Verb::PUT, m_bucket, m_key, {{"partNumber", std::to_string(part)}, {"uploadId", m_upload_id}},
                        {}, iov, iovcnt) < 0)
        return -1;
    if (m_fs->do_onstack_call(c) < 0) return -1;
    auto etag = c.op->resp.headers["etag"];
    if (etag.empty()) LOG_ERROR_RETURN(EIO, -1, "unexpected response, etag not found");
    m_parts.emplace(part, std::string(etag));
    LOG_DEBUG(VALUE(part), " pn ", part, " etag ", etag);
    return ssize_t(len);
}

int kivFile_v2::initiate_multipart_upload() {
    kivFs_v2::Call c;
    if (m_fs->make_call(c, Verb::POST, m_bucket, m_key, {{"uploads", ""}}) < 0) return -1;
    int r = m_fs->do_onstack_call(c);
    // a failed call leaves no body worth parsing
    if (r < 0) return -1;
    std::string body;
    if (read_xml_body(c.op.get(), body) < 0) return -1;
    tinyxml2::XMLDocument doc;
    if (doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS)
        LOG_ERROR_RETURN(EINVAL, -1, "failed to parse resp_body");
    auto* root = doc.FirstChildElement("InitiateMultipartUploadResult");
    auto* id = root ? root->FirstChildElement("UploadId") : nullptr;
    if (!id || !id->GetText()) LOG_ERROR_RETURN(EIO, -1, "invalid response");
    m_upload_id = id->GetText();
    m_part = 0;
    return 0;
}

int kivFile_v2::complete_multipart_upload() {
    std::string body = "<CompleteMultipartUpload>";
    for (auto& [pn, etag] : m_parts)
        body += "<Part><PartNumber>" + std::to_string(pn) + "</PartNumber><ETag>" + etag + "</ETag></Part>";
    body += "</CompleteMultipartUpload>";
    struct iovec iov{body.data(), body.size()};
    kivFs_v2::Call c;
    if (m_fs->make_call(c, Verb::POST, m_bucket, m_key, {{"uploadId", m_upload_id}}, {}, &iov, 1) < 0) return -1;
    if (m_fs->do_onstack_call(c) < 0) return -1;
    m_parts.clear();
    m_upload_id.clear();
    m_finished = true;
    return 0;
}

int kivFile_v2::abort_multipart_upload() {
    kivFs_v2::Call c;
    if (m_fs->make_call(c, Verb::DELETE, m_bucket, m_key, {{"uploadId", m_upload_id}}) < 0) return -1;
    if (m_fs->do_onstack_call(c) < 0) return -1;
    m_upload_id.clear();
    return 0;
}

int kivFile_v2::fstat(struct stat* buf) {
    if (!buf) LOG_ERROR_RETURN(EINVAL, -1, "buf shouldn't be NULL");
    if (m_size > 0 && !(m_flags & O_APPEND)) {
        memset(buf, 0, sizeof(*buf));
        buf->st_size = m_size;
        buf->st_mode = S_IFREG | 0644;
        buf->st_nlink = 1;
        return 0;
    }
    return m_fs->stat_key(m_bucket, m_key, buf);
}

// Gives up the open multipart upload: close then stores nothing, so a failed
// upload never leaves a truncated object behind.
static constexpr int IOCTL_ABORT_UPLOAD = 103;

int kivFile_v2::vioctl(int request, va_list args) {
    if (request == IOCTL_ABORT_UPLOAD) {
        if (m_finished || !multipart() || m_upload_id.empty()) return 0;
        // finished even when the abort fails: completing would publish the partial parts
        m_finished = true;
        m_parts.clear();
        return abort_multipart_upload();
    }
    if (request == IOCTL_SET_SIZE) {
        m_size = va_arg(args, int64_t);
        LOG_DEBUG("set size ", m_size, " ", m_key);
        return 0;
    }
    if (request != IOCTL_MULTI_PART) return 0;
    if (multipart()) return 0;
    if (m_size != 0 || (m_flags & O_APPEND))
        LOG_ERROR_RETURN(EPERM, -1, "request IOCTL_MULTI_PART not permitted with", VALUE(m_flags), VALUE(m_size));
    m_flags |= O_MULTIPART;
    if (!m_upload_id.empty() && abort_multipart_upload() < 0) return -1;
    return initiate_multipart_upload();
}

}  // namespace FileSystem
