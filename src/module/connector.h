#pragma once
// Host-side helpers shared by the bindings: error texts and argument rules.

#include <string>

#include "object/dataobject.h"

namespace connector {

// op + E + "(" + strerror(E) + ")" + ", msg=" + M, where E and M come from a
// failed object (negative size) and are 0 and empty otherwise.
std::string object_error(const char* op, const IDataObject& obj);

// "failed to get next object, key=..." for a failed iterator item.
std::string next_error(const IDataObject& obj);

// A failed object whose error number is not zero in its low 32 bits.
inline bool failed(const IDataObject& obj) { return obj.size < 0 && uint32_t(obj.size) != 0; }

// Keys of new_data_object: "kiv://" followed by anything, or a path from "/".
bool valid_kiv_key(const std::string& key);

}  // namespace connector
