// Display timing, mode lists and the EDID every virtual monitor is described
// by: a 256-byte EDID 1.3 with one CTA-861 extension, whose detailed timing
// uses the reduced-blanking method so that large modes stay within the
// clock a monitor description can carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/core/log.h"
#include "driver/core/types.h"

namespace sorvane::vdd {

// Reduced-blanking timing of one mode. Horizontal blank, front porch and sync
// and the vertical front porch are fixed; the rest follow from the mode.
struct Timing {
    uint32_t h_active = 0;
    uint32_t v_active = 0;
    uint32_t refresh = 0;
    uint32_t h_blank = 160;
    uint32_t h_front_porch = 48;
    uint32_t h_sync = 32;
    uint32_t v_blank = 0;
    uint32_t v_front_porch = 3;
    uint32_t v_sync = 0;
    uint32_t pixel_clock_khz = 0;
};

// The largest pixel clock a monitor may ask for (the detailed timing field's
// limit in 10 kHz units).
inline constexpr uint32_t kMaxPixelClockKhz = 655'350;

// False when the mode has no timing: a zero value, a side above 4095, a
// refresh too high for the height, or a clock of 655500 kHz or more.
bool compute_timing(uint32_t width, uint32_t height, uint32_t refresh, Timing& out);

// The requested mode first (preferred), then the 1.0, 0.75 and 0.5 scales of
// it at the full and the halved refresh, without duplicates and without
// sides below 320 pixels or rates below 12 Hz.
ModeList build_mode_list(uint32_t width, uint32_t height, uint32_t refresh);

struct EdidInput {
    std::string maker;      // three letters A..Z
    uint16_t product = 0;
    uint32_t serial = 0;
    std::string name;       // 1 to 13 printable characters
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    uint32_t width_mm = 0;  // 0 with height_mm 0: derived from 110 pixels per inch
    uint32_t height_mm = 0;
};

inline constexpr size_t kEdidSize = 256;
inline constexpr size_t kEdidBlockSize = 128;
// Largest physical side a request may give, in millimetres.
inline constexpr uint32_t kMaxSizeMm = 2550;

// The monitor's EDID, or an empty result with detail set to "mfr", "name",
// "size_mm" or "timing".
std::vector<uint8_t> build_edid(const EdidInput& input, std::string& detail);

// The physical side used when none is given: pixels at 110 per inch, rounded,
// limited to 1..4095 millimetres.
uint32_t default_size_mm(uint32_t pixels);

// Finds the modes of a registered monitor by its EDID serial; false when no
// monitor has that serial.
using ModeLookup = std::function<bool(uint32_t serial, ModeList& out)>;

// The modes of the monitor an EDID describes: the registered monitor's list
// when its serial is known, otherwise the one mode of the EDID's first
// detailed timing. Empty when the data is short or describes no usable mode.
ModeList modes_from_description(const uint8_t* data, size_t size, const ModeLookup& lookup,
                                const LineLogger& logger);

// The display system's description of a video signal.
struct Rational {
    uint32_t numerator = 0;
    uint32_t denominator = 0;
    bool operator==(const Rational&) const = default;
};

inline constexpr uint32_t kVideoStandardOther = 255;
inline constexpr uint32_t kScanlineProgressive = 1;

struct VideoSignalInfo {
    uint64_t pixel_rate = 0;
    Rational h_sync_freq;
    Rational v_sync_freq;
    uint32_t active_width = 0;
    uint32_t active_height = 0;
    uint32_t total_width = 0;
    uint32_t total_height = 0;
    uint32_t video_standard = kVideoStandardOther;
    uint32_t vsync_freq_divider = 0;
    uint32_t scanline_ordering = kScanlineProgressive;
};

// Signal of a monitor mode: a 4-pixel margin around the active area and a
// rate of (h + 4)^2 * r + 1000, so the vertical rate sits just above nominal.
VideoSignalInfo monitor_signal_info(uint32_t width, uint32_t height, uint32_t refresh);
// Signal of a target mode: no blanking, rate w * h * r.
VideoSignalInfo target_signal_info(uint32_t width, uint32_t height, uint32_t refresh);
// Whether monitor_signal_info of a mode fits its 32-bit rationals.
bool monitor_signal_fits(uint32_t height, uint32_t refresh);

// Limits of a requested monitor, in the order a request is checked. Each
// returns the detail word of the first failed rule, or null.
inline constexpr uint32_t kMinSide = 320;
inline constexpr uint32_t kMaxSide = 4094;
inline constexpr uint32_t kMinRefresh = 24;
inline constexpr uint32_t kMaxRefresh = 240;
inline constexpr uint64_t kMaxArea = 4096ull * 2160ull;
// "size", "fps" or "area".
const char* check_mode_shape(uint32_t width, uint32_t height, uint32_t refresh);
// "pixel_clock" when the mode has no timing or needs too high a clock.
const char* check_pixel_clock(uint32_t width, uint32_t height, uint32_t refresh);
// "size_mm" unless both given sides are in 1..2550 (a request that gives no
// size at all does not call it).
const char* check_size_mm(uint32_t width_mm, uint32_t height_mm);

}  // namespace sorvane::vdd
