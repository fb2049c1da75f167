// Small value types the driver's components share: adapter LUIDs, display
// modes and the text forms the control protocol writes them in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorvane::vdd {

// An adapter LUID as two 32-bit words, high part first. All zero means "no adapter".
struct Luid {
    uint32_t high = 0;
    uint32_t low = 0;
    bool zero() const { return high == 0 && low == 0; }
    bool operator==(const Luid&) const = default;
};

// One display mode: active size in pixels and refresh in Hz.
struct Mode {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    bool operator==(const Mode&) const = default;
};
using ModeList = std::vector<Mode>;

// "0x" and eight lowercase hex digits ("0x%08x").
std::string hex32(uint32_t value);
// "0x" and lowercase hex without leading zeros, as log lines write statuses.
std::string hex_short(uint32_t value);
// "%08x:%08x", high part first.
std::string luid_text(const Luid& luid);
// luid_text, or "none" for the zero LUID.
std::string luid_or_none(const Luid& luid);
// "<width>x<height>@<refresh>".
std::string mode_text(const Mode& mode);

}  // namespace sorvane::vdd
