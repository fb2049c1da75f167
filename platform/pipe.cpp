#include "platform/pipe.h"

namespace sorvane::platform {

namespace {

// Reads decimal digits at pos; false when there are none or the value exceeds max.
bool read_decimal(std::string_view t, size_t& pos, uint64_t max) {
    const size_t start = pos;
    uint64_t v = 0;
    while (pos < t.size() && t[pos] >= '0' && t[pos] <= '9') {
        v = v * 10 + static_cast<uint64_t>(t[pos] - '0');
        if (v > max || pos - start >= 20) return false;
        ++pos;
    }
    return pos > start;
}

bool read_hex_authority(std::string_view t, size_t& pos) {
    if (t.size() < pos + 2 || t[pos] != '0' || (t[pos + 1] != 'x' && t[pos + 1] != 'X')) return false;
    pos += 2;
    const size_t start = pos;
    while (pos < t.size() && ((t[pos] >= '0' && t[pos] <= '9') || (t[pos] >= 'a' && t[pos] <= 'f') ||
                              (t[pos] >= 'A' && t[pos] <= 'F'))) {
        ++pos;
    }
    return pos - start == 12;
}

}  // namespace

bool string_sid_valid(std::string_view t) {
    if (t.size() < 5 || t.substr(0, 4) != "S-1-") return false;
    size_t pos = 4;
    if (!read_hex_authority(t, pos)) {
        pos = 4;
        if (!read_decimal(t, pos, 0xFFFFFFFFFFFFull)) return false;
    }
    int subs = 0;
    while (pos < t.size()) {
        if (t[pos] != '-' || ++subs > 15) return false;
        ++pos;
        if (!read_decimal(t, pos, 0xFFFFFFFFull)) return false;
    }
    return true;
}

}  // namespace sorvane::platform
