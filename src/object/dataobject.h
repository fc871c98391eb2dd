#pragma once
// What the host holds for one stored object: a file-like value with a key, a
// size and a label. A negative size is -errno of a failed object, whose label
// then carries the message. One thread uses an object at a time.

#include <cerrno>
#include <cstdint>
#include <string>

#include "object/buffer.h"

class IDataObject {
public:
    IDataObject() = default;
    IDataObject(std::string key, int64_t size, std::string label)
        : key(std::move(key)), size(size), label(std::move(label)) {}
    virtual ~IDataObject() = default;

    // whence 0, 1, 2 as for lseek; no range check
    virtual int64_t seek(int64_t offset, int whence);
    virtual int64_t tell() { return position; }
    // count of all ones means up to the end
    virtual IBuffer* read(uint64_t /*count*/) {
        errno = ENOSYS;
        return nullptr;
    }
    virtual int64_t readinto(void* /*dst*/, uint64_t /*count*/) {
        errno = ENOSYS;
        return -1;
    }
    virtual int64_t write(const void* /*src*/, uint64_t /*count*/) {
        errno = ENOSYS;
        return -1;
    }
    virtual int flush() {
        errno = ENOSYS;
        return -1;
    }
    virtual int close() {
        errno = ENOSYS;
        return -1;
    }
    virtual IDataObject* copy() { return this; }

    // Turns this object into an error object.
    void set_error(int err, std::string msg) {
        size = -int64_t(err > 0 ? err : (err < 0 ? -err : EIO));
        label = std::move(msg);
    }

    std::string key;
    int64_t size = 0;
    std::string label;
    int64_t position = 0;
};

// Read-only kinds. Constructed directly it is the error object: size -|err|,
// the message in label, and every read fails with ENOSYS.
class IDataObjectRO : public IDataObject {
public:
    using IDataObject::IDataObject;
    int64_t write(const void*, uint64_t) override {
        errno = ENOSYS;
        return -1;
    }
    int flush() override {
        errno = ENOSYS;
        return -1;
    }
};

IDataObject* new_error_dataobject(std::string key, int err, std::string msg);

// A private buffer of count bytes filled by obj.readinto; null (errno set)
// unless all count bytes arrived.
IBuffer* read_to_private_buffer(IDataObject& obj, uint64_t count);

class IDataObjectWO : public IDataObject {
public:
    using IDataObject::IDataObject;
    int64_t seek(int64_t, int) override {
        errno = ENOSYS;
        return -1;
    }
    int64_t tell() override {
        errno = ENOSYS;
        return -1;
    }
    IBuffer* read(uint64_t) override {
        errno = ENOSYS;
        return nullptr;
    }
    int64_t readinto(void*, uint64_t) override {
        errno = ENOSYS;
        return -1;
    }
    int flush() override { return 0; }
};
