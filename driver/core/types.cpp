#include "driver/core/types.h"

namespace sorvane::vdd {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

void append_hex8(std::string& out, uint32_t value) {
    for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kHexDigits[(value >> shift) & 0xF]);
}

}  // namespace

std::string hex32(uint32_t value) {
    std::string out = "0x";
    append_hex8(out, value);
    return out;
}

std::string hex_short(uint32_t value) {
    std::string out = "0x";
    int shift = 28;
    while (shift > 0 && ((value >> shift) & 0xF) == 0) shift -= 4;
    for (; shift >= 0; shift -= 4) out.push_back(kHexDigits[(value >> shift) & 0xF]);
    return out;
}

std::string luid_text(const Luid& luid) {
    std::string out;
    out.reserve(17);
    append_hex8(out, luid.high);
    out.push_back(':');
    append_hex8(out, luid.low);
    return out;
}

std::string luid_or_none(const Luid& luid) { return luid.zero() ? std::string("none") : luid_text(luid); }

std::string mode_text(const Mode& mode) {
    return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "@" + std::to_string(mode.refresh);
}

}  // namespace sorvane::vdd
