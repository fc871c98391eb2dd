#include "object/dataobject.h"

#include "zentho/common/logger.h"

int64_t IDataObject::seek(int64_t offset, int whence) {
    switch (whence) {
        case 0: position = offset; break;
        // wrapping arithmetic: the offsets are unchecked by design
        case 1: position = int64_t(uint64_t(position) + uint64_t(offset)); break;
        case 2: position = int64_t(uint64_t(size) + uint64_t(offset)); break;
        default: LOG_ERROR_RETURN(EINVAL, -1, "invalid whence value");
    }
    return position;
}

IDataObject* new_error_dataobject(std::string key, int err, std::string msg) {
    auto* obj = new IDataObjectRO(std::move(key), 0, "");
    obj->set_error(err, std::move(msg));
    return obj;
}

IBuffer* read_to_private_buffer(IDataObject& obj, uint64_t count) {
    auto* buf = new MemBuffer(count);
    if (!buf->data) {
        delete buf;
        errno = ENOMEM;
        return nullptr;
    }
    if (obj.readinto(buf->data, count) != int64_t(count)) {
        delete buf;
        return nullptr;
    }
    return buf;
}
