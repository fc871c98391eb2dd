#pragma once
// The dataset's JSON configuration: parsed and type-checked once, then read
// key by key (JSON pointers) where each value is used.

#include <rapidjson/document.h>

#include <cstdint>
#include <memory>
#include <string>

namespace ConfigUtils {

class Config {
public:
    using Allocator = rapidjson::MemoryPoolAllocator<>;
    using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, Allocator>;
    using Value = Document::ValueType;

    Config();
    Config(const Config& other);
    Config& operator=(const Config& other);
    virtual ~Config();

    // The base accepts any document.
    virtual bool CheckTypes() { return true; }

    Document& doc() { return *m_doc; }
    const Document& doc() const { return *m_doc; }

    // The value at a JSON pointer, or null when absent.
    const Value* find(const char* pointer) const;

    // Typed look-ups: the value when present with the right type, 0 / "" when
    // present with another type, the default when absent.
    int32_t get_int(const char* pointer, int32_t def) const;
    uint32_t get_uint(const char* pointer, uint32_t def) const;
    std::string get_string(const char* pointer, const std::string& def) const;
    // True only for a present literal true.
    bool is_true(const char* pointer) const;

    // Type tests for CheckTypes: true when absent or of the type.
    bool absent_or_int(const char* pointer) const;
    bool absent_or_uint(const char* pointer) const;
    bool absent_or_string(const char* pointer) const;
    bool absent_or_bool(const char* pointer) const;
    bool absent_or_object(const char* pointer) const;

protected:
    std::unique_ptr<Allocator> m_alloc;
    std::unique_ptr<Document> m_doc;
};

// A copy of the value at pointer (an empty config when absent).
Config sub_config(const Config& parent, const char* pointer);

class DataSetConfig : public Config {
public:
    DataSetConfig() = default;
    explicit DataSetConfig(const Config& c) : Config(c) {}
    bool CheckTypes() override;
};

class CheckpointConfig : public Config {
public:
    CheckpointConfig() = default;
    explicit CheckpointConfig(const Config& c) : Config(c) {}
    bool CheckTypes() override;
};

class ConnectorConfig : public Config {
public:
    bool CheckTypes() override;
};

// Opens, parses (64 KiB buffered reads) and type-checks path into config.
// false with errno set on failure (EINVAL for parse and type errors).
bool ParseJSON(const char* path, Config& config);

}  // namespace ConfigUtils
