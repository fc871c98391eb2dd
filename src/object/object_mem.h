#pragma once
// A read-only object whose first bytes sit in a memory buffer (a pool buffer
// or a private one); bytes past the buffer are streamed.

#include <memory>

#include "object/dataobject.h"
#include "object/object_basic.h"

class DataObjectMemRO : public IDataObjectRO {
public:
    static constexpr uint64_t PRIVATE_BUFFER_SIZE = 16ull << 20;

    // Takes ownership of buffer and streamer (either may be null). The first
    // `valid` bytes of the buffer hold the object's first bytes (all of the
    // buffer when valid is UINT64_MAX).
    DataObjectMemRO(std::string key, int64_t size, std::string label, IBuffer* buffer,
                    DataObjectBasicRO* streamer, uint64_t valid = UINT64_MAX)
        : IDataObjectRO(std::move(key), size, std::move(label)),
          m_data(buffer ? static_cast<char*>(buffer->data) : nullptr),
          m_buffer(buffer),
          m_valid(buffer ? (valid < buffer->size ? valid : buffer->size) : 0),
          m_streamer(streamer) {}
    ~DataObjectMemRO() override { release(); }

    int64_t readinto(void* dst, uint64_t count) override;
    IBuffer* read(uint64_t count) override;
    int close() override {
        release();
        return 0;
    }
    // Takes a private copy of the buffered bytes, giving a pool buffer back.
    IDataObject* copy() override;

    const IBuffer* buffer() const { return m_buffer; }

private:
    void release();
    void invalid_buffer();

    char* m_data;
    IBuffer* m_buffer;
    uint64_t m_valid;  // bytes of the buffer that hold object data
    std::unique_ptr<DataObjectBasicRO> m_streamer;
};

// size > 0: wrap a buffer that already holds the first bytes (a streamer is
// added when fs is given). size 0: load the key's first bytes through fs into
// buffer, or a private 16 MiB buffer. Null on a caller error; failed loads are
// error objects.
IDataObject* new_memory_dataobject(const std::string& key, int64_t size, const std::string& label,
                                   IBuffer* buffer, zentho::fs::IFileSystem* fs);

// One archive member loaded whole into memory: key = name, label = index in
// decimal, no streamer. member is borrowed (the caller releases it); buffer
// (null: a private one of exactly size bytes) is taken over and released on
// failure. Failures are error objects: -ERANGE when size exceeds the buffer.
// The member's name and size are passed as the member file reports them.
IDataObject* new_tarfile_dataobject(zentho::fs::IFile* member, const std::string& name, uint64_t size,
                                    IBuffer* buffer, uint64_t index);
