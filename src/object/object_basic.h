#pragma once
// The lazily opened read-only object: no I/O until the first read, then
// positional reads of at most 32 MiB each against the opened file.

#include <memory>

#include "object/dataobject.h"
#include "zentho/fs/filesystem.h"

class DataObjectBasicRO : public IDataObjectRO {
public:
    static constexpr uint64_t MAX_CHUNK = 32ull << 20;
    static constexpr int ATTEMPTS = 4;

    // size 0: taken from stat at the first read. fs is not owned; it may be
    // null for objects that only describe a key.
    DataObjectBasicRO(std::string key, int64_t size, std::string label, zentho::fs::IFileSystem* fs)
        : IDataObjectRO(std::move(key), size, std::move(label)), m_fs(fs) {}

    int init();
    int64_t readinto(void* dst, uint64_t count) override;
    IBuffer* read(uint64_t count) override;
    int close() override;

    zentho::fs::IFileSystem* filesystem() const { return m_fs; }

private:
    std::unique_ptr<zentho::fs::IFile> m_file;
    zentho::fs::IFileSystem* m_fs;
};
