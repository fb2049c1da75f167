#include <unistd.h>

#include <cstdlib>

#include "platform/system.h"

namespace sorvane::platform {

bool computer_name(std::string& out) {
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return false;
    out = buf;
    return true;
}

bool get_env(const char* name, std::string& out) {
    const char* v = std::getenv(name);
    if (v == nullptr) return false;
    out = v;
    return true;
}

}  // namespace sorvane::platform
