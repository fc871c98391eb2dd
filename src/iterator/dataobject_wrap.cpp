#include "iterator/dataobject_wrap.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <memory>

#include "object/object_mem.h"
#include "zentho/common/logger.h"

using namespace zentho;

static constexpr int IOCTL_SET_SIZE_HINT = 102;
static constexpr int READ_ATTEMPTS = 4;

IDataObject* new_dataobject_wrap(fs::IFileSystem* lister_fs, fs::IFileSystem* object_fs, IBuffer* buffer,
                                 const std::string& key, const std::string& label, int64_t object_size) {
    std::unique_ptr<fs::IFile> file;
    auto fail = [&] {
        int e = errno > 0 ? errno : EIO;
        LOG_ERROR("failed to read object ", key, " ", ERRNO(e));
        release_buffer(buffer);
        if (file) file->close();
        errno = e;
        return new_error_dataobject(key, e, "failed to read object");
    };
    if (!buffer || !lister_fs) {
        errno = EINVAL;
        return fail();
    }
    file.reset(lister_fs->open(key.c_str(), O_RDONLY));
    if (!file) return fail();
    if (object_size > 0) file->ioctl(IOCTL_SET_SIZE_HINT, uint64_t(object_size));
    uint64_t size = buffer->size;
    if (object_size > 0 && uint64_t(object_size) < size) size = uint64_t(object_size);
    ssize_t res = -1;
    for (int attempt = 1; attempt <= READ_ATTEMPTS; ++attempt) {
        res = file->pread(buffer->data, size, 0);
        // with a known size a short read means missing bytes, not the end
        if (res >= 0 && (object_size <= 0 || uint64_t(res) == size)) break;
        if (res >= 0) errno = EIO;
        if (attempt == READ_ATTEMPTS) return fail();
        LOG_WARN("failed to pread, retry ", VALUE(size), VALUE(res), " ", ERRNO());
    }
    struct stat st;
    if (file->fstat(&st) < 0) return fail();
    file->close();
    file.reset();
    int64_t real_size = st.st_size;
    uint64_t valid = uint64_t(res) < uint64_t(real_size) ? uint64_t(res) : uint64_t(real_size);
    // whatever the buffer does not hold is streamed, never served from stale pool bytes
    DataObjectBasicRO* streamer =
        uint64_t(real_size) > valid ? new DataObjectBasicRO(key, real_size, label, object_fs) : nullptr;
    return new DataObjectMemRO(key, real_size, label, buffer, streamer, valid);
}
