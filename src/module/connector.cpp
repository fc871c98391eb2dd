#include "module/connector.h"

#include <cstring>

namespace connector {

static std::string errno_text(int e) {
    char buf[128];
    return strerror_r(e, buf, sizeof(buf));
}

std::string object_error(const char* op, const IDataObject& obj) {
    int e = obj.size < 0 ? int(-obj.size) : 0;
    std::string msg = obj.size < 0 ? obj.label : std::string();
    return op + std::to_string(e) + "(" + errno_text(e) + ")" + ", msg=" + msg;
}

std::string next_error(const IDataObject& obj) {
    int e = int(-obj.size);
    return "failed to get next object, key=" + obj.key + ", errno=" + std::to_string(e) + "(" +
           errno_text(e) + ")" + ", msg=" + obj.label;
}

bool valid_kiv_key(const std::string& key) {
    if (key.empty()) return false;
    if (key.size() > 5 && key.compare(0, 6, "kiv://") == 0) return true;
    return key[0] == '/';
}

}  // namespace connector
