#pragma once
// The in-memory loader of the prefetching iterators: reads an object's first
// bytes into a (pool) buffer and wraps them as a memory object. Runs on a
// runtime thread; may block the calling coroutine.

#include <string>

#include "object/dataobject.h"
#include "zentho/fs/filesystem.h"

// key is the object path "/bucket/key"; size 0 means unknown. The buffer is
// taken over: it ends in the returned memory object, or is released (a pool
// buffer goes home, a private one is deleted) when an error object is
// returned. The key is read through lister_fs; bytes past the buffer are
// streamed through object_fs, which must outlive the object.
IDataObject* new_dataobject_wrap(zentho::fs::IFileSystem* lister_fs, zentho::fs::IFileSystem* object_fs,
                                 IBuffer* buffer, const std::string& key, const std::string& label,
                                 int64_t size);
