#include "config/config.h"

#include <rapidjson/error/en.h>
#include <rapidjson/filereadstream.h>
#include <rapidjson/pointer.h>

#include <cstdio>

#include "zentho/common/logger.h"

namespace ConfigUtils {

static constexpr size_t POOL_CHUNK = 64 * 1024;

Config::Config()
    : m_alloc(std::make_unique<Allocator>(POOL_CHUNK)),
      m_doc(std::make_unique<Document>(m_alloc.get())) {}

Config::Config(const Config& other) : Config() { m_doc->CopyFrom(*other.m_doc, *m_alloc); }

Config& Config::operator=(const Config& other) {
    if (this != &other) {
        auto alloc = std::make_unique<Allocator>(POOL_CHUNK);
        auto doc = std::make_unique<Document>(alloc.get());
        doc->CopyFrom(*other.m_doc, *alloc);
        m_doc = std::move(doc);
        m_alloc = std::move(alloc);
    }
    return *this;
}

Config::~Config() {
    m_doc.reset();  // the document's values live in the pool: drop it first
    m_alloc.reset();
}

const Config::Value* Config::find(const char* pointer) const {
    return rapidjson::GenericPointer<Value>(pointer).Get(*m_doc);
}

int32_t Config::get_int(const char* pointer, int32_t def) const {
    auto* v = find(pointer);
    if (!v) return def;
    return v->IsInt() ? v->GetInt() : 0;
}

uint32_t Config::get_uint(const char* pointer, uint32_t def) const {
    auto* v = find(pointer);
    if (!v) return def;
    return v->IsUint() ? v->GetUint() : 0;
}

std::string Config::get_string(const char* pointer, const std::string& def) const {
    auto* v = find(pointer);
    if (!v) return def;
    return v->IsString() ? std::string(v->GetString(), v->GetStringLength()) : std::string();
}

bool Config::is_true(const char* pointer) const {
    auto* v = find(pointer);
    return v && v->IsTrue();
}

bool Config::absent_or_int(const char* p) const {
    auto* v = find(p);
    return !v || v->IsInt();
}
bool Config::absent_or_uint(const char* p) const {
    auto* v = find(p);
    return !v || v->IsUint();
}
bool Config::absent_or_string(const char* p) const {
    auto* v = find(p);
    return !v || v->IsString();
}
bool Config::absent_or_bool(const char* p) const {
    auto* v = find(p);
    return !v || v->IsBool();
}
bool Config::absent_or_object(const char* p) const {
    auto* v = find(p);
    return !v || v->IsObject();
}

Config sub_config(const Config& parent, const char* pointer) {
    Config c;
    if (auto* v = parent.find(pointer)) c.doc().CopyFrom(*v, c.doc().GetAllocator());
    return c;
}

namespace {

enum class Kind { Int, Uint, String, Bool };

struct KeyType {
    const char* pointer;
    Kind kind;
};

bool check_keys(const Config& c, const KeyType* keys, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const char* p = keys[i].pointer;
        bool ok = false;
        switch (keys[i].kind) {
            case Kind::Int: ok = c.absent_or_int(p); break;
            case Kind::Uint: ok = c.absent_or_uint(p); break;
            case Kind::String: ok = c.absent_or_string(p); break;
            case Kind::Bool: ok = c.absent_or_bool(p); break;
        }
        if (!ok) LOG_ERROR_RETURN(EINVAL, false, "type mismatch for ", p + 1);
    }
    return true;
}

template <size_t N>
bool check_keys(const Config& c, const KeyType (&keys)[N]) {
    return check_keys(c, keys, N);
}

}  // namespace

bool DataSetConfig::CheckTypes() {
    static const KeyType keys[] = {
        {"/prefetchMB", Kind::Int},     {"/prefetchConcurrency", Kind::Int},
        {"/prefetchWorker", Kind::Int}, {"/timeoutMs", Kind::Int},
        {"/enableFastList", Kind::Bool}, {"/listConcurrency", Kind::Int},
        {"/listWorker", Kind::Int},
    };
    return check_keys(*this, keys);
}

bool CheckpointConfig::CheckTypes() {
    static const KeyType keys[] = {
        {"/prefetchIoSizeMB", Kind::Int}, {"/prefetchConcurrency", Kind::Int},
        {"/prefetchWorker", Kind::Int},   {"/writeIoSizeMB", Kind::Int},
        {"/uploadIoSizeMB", Kind::Int},   {"/uploadConcurrency", Kind::Int},
        {"/uploadBufferSizeMB", Kind::Int},
    };
    return check_keys(*this, keys);
}

bool ConnectorConfig::CheckTypes() {
    static const KeyType keys[] = {
        {"/logLevel", Kind::Uint}, {"/logPath", Kind::String}, {"/auditPath", Kind::String}};
    if (!check_keys(*this, keys)) return false;
    if (find("/datasetConfig")) {
        DataSetConfig ds(sub_config(*this, "/datasetConfig"));
        if (!ds.CheckTypes()) LOG_ERROR_RETURN(EINVAL, false, "type mismatch for ", "datasetConfig");
    }
    if (find("/checkpointConfig")) {
        CheckpointConfig cp(sub_config(*this, "/checkpointConfig"));
        if (!cp.CheckTypes())
            LOG_ERROR_RETURN(EINVAL, false, "type mismatch for ", "checkpointConfig");
    }
    return true;
}

bool ParseJSON(const char* path, Config& config) {
    FILE* fp = fopen(path, "rb");
    if (!fp) LOG_ERROR_RETURN(0, false, "error open json file: ", path, ' ', ERRNO());
    std::unique_ptr<char[]> buf(new char[64 * 1024]);
    rapidjson::FileReadStream is(fp, buf.get(), 64 * 1024);
    config.doc().ParseStream(is);
    fclose(fp);
    if (config.doc().HasParseError()) {
        LOG_ERROR("error parse json: ", path, ' ', ERRNO(EINVAL), " at offset ",
                  config.doc().GetErrorOffset(), ": ",
                  rapidjson::GetParseError_En(config.doc().GetParseError()));
        errno = EINVAL;
        return false;
    }
    if (!config.CheckTypes()) {
        errno = EINVAL;
        return false;
    }
    return true;
}

}  // namespace ConfigUtils
