#include "driver/core/edid.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace sorvane::vdd {

namespace {

uint32_t vertical_sync_for_aspect(uint64_t w, uint64_t h) {
    if (w * 3 == h * 4) return 4;
    if (w * 9 == h * 16) return 5;
    if (w * 10 == h * 16) return 6;
    if (w * 4 == h * 5 || w * 9 == h * 15) return 7;
    return 10;
}

uint32_t clamp_u32(uint64_t v, uint32_t lo, uint32_t hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return static_cast<uint32_t>(v);
}

// Ceiling of a / b for b > 0.
uint64_t ceil_div(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// An 18-byte display descriptor with a 13-byte text field: the text, a line
// feed when it is shorter than the field, then spaces.
void put_text_descriptor(uint8_t* d, uint8_t tag, std::string_view text) {
    d[3] = tag;
    size_t i = 0;
    for (; i < text.size() && i < 13; ++i) d[5 + i] = static_cast<uint8_t>(text[i]);
    if (i < 13) d[5 + i++] = 0x0A;
    for (; i < 13; ++i) d[5 + i] = 0x20;
}

void put_checksum(uint8_t* block) {
    unsigned sum = 0;
    for (size_t i = 0; i < kEdidBlockSize - 1; ++i) sum += block[i];
    block[kEdidBlockSize - 1] = static_cast<uint8_t>((256 - sum % 256) % 256);
}

// The CTA-861 extension: HDR static metadata (SDR, ST 2084, HLG), BT.2020
// colorimetry and two vendor-specific blocks; no detailed timings.
constexpr uint8_t kExtension[] = {
    0x02, 0x03, 0x20, 0x40,                          // tag, revision 3, DTD offset 32, flags
    0xE6, 0x06, 0x0D, 0x01, 0xA2, 0xA2, 0x10,        // HDR static metadata
    0xE3, 0x05, 0xD8, 0x00,                          // colorimetry
    0x67, 0xD8, 0x5D, 0xC4, 0x01, 0x6E, 0x80, 0x00,  // vendor block, OUI C4-5D-D8
    0x68, 0x03, 0x0C, 0x00, 0x00, 0x00, 0x30, 0x00, 0x0B,  // vendor block, OUI 00-0C-03
};

}  // namespace

bool compute_timing(uint32_t width, uint32_t height, uint32_t refresh, Timing& out) {
    if (width == 0 || height == 0 || refresh == 0 || width > 4095 || height > 4095) return false;
    const uint32_t v_sync = vertical_sync_for_aspect(width, height);
    const double line_us = (1000000.0 / refresh - 460.0) / height;
    if (!(line_us > 0.0)) return false;
    // Tested in floating point first: for tiny line periods the quotient is
    // far beyond any integer type.
    const double lines = std::floor(460.0 / line_us) + 1.0;
    if (lines > 4095.0) return false;
    const uint32_t v_blank = std::max(static_cast<uint32_t>(lines), v_sync + 9);
    if (v_blank > 4095) return false;
    const uint64_t g = (static_cast<uint64_t>(width) + 160) * (static_cast<uint64_t>(height) + v_blank) * refresh / 250000;
    if (g == 0 || g >= 2622) return false;

    out = Timing{};
    out.h_active = width;
    out.v_active = height;
    out.refresh = refresh;
    out.v_blank = v_blank;
    out.v_sync = v_sync;
    out.pixel_clock_khz = static_cast<uint32_t>(g * 250);
    return true;
}

ModeList build_mode_list(uint32_t width, uint32_t height, uint32_t refresh) {
    ModeList list{{width, height, refresh}};
    if (width == 0 || height == 0) return list;
    for (const double scale : {1.0, 0.75, 0.5}) {
        uint32_t w = width;
        uint32_t h = height;
        if (scale != 1.0) {
            const double sw = std::round(width * scale / 8.0) * 8.0;
            w = sw == 0.0 ? 8 : static_cast<uint32_t>(sw);
            const double sh = std::round(static_cast<double>(w) * height / width / 2.0) * 2.0;
            h = sh == 0.0 ? 2 : static_cast<uint32_t>(sh);
        }
        if (w < kMinSide || h < kMinSide) continue;
        for (const uint32_t rate : {refresh, refresh / 2}) {
            if (rate < 12) continue;
            const Mode m{w, h, rate};
            if (std::find(list.begin(), list.end(), m) == list.end()) list.push_back(m);
        }
    }
    return list;
}

uint32_t default_size_mm(uint32_t pixels) {
    return clamp_u32(static_cast<uint64_t>(std::round(pixels * 25.4 / 110.0)), 1, 4095);
}

std::vector<uint8_t> build_edid(const EdidInput& in, std::string& detail) {
    detail.clear();
    if (in.maker.size() != 3 ||
        !std::all_of(in.maker.begin(), in.maker.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
        detail = "mfr";
        return {};
    }
    if (in.name.empty() || in.name.size() > 13 ||
        !std::all_of(in.name.begin(), in.name.end(), [](char c) { return c >= 0x20 && c <= 0x7E; })) {
        detail = "name";
        return {};
    }
    if ((in.width_mm == 0) != (in.height_mm == 0) || in.width_mm > kMaxSizeMm || in.height_mm > kMaxSizeMm) {
        detail = "size_mm";
        return {};
    }
    Timing t;
    if (!compute_timing(in.width, in.height, in.refresh, t)) {
        detail = "timing";
        return {};
    }
    const uint32_t wmm = in.width_mm != 0 ? in.width_mm : default_size_mm(in.width);
    const uint32_t hmm = in.height_mm != 0 ? in.height_mm : default_size_mm(in.height);

    std::vector<uint8_t> e(kEdidSize, 0);
    uint8_t* b = e.data();
    const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(std::begin(header), std::end(header), b);
    const uint16_t maker = static_cast<uint16_t>(((in.maker[0] & 0x1F) << 10) | ((in.maker[1] & 0x1F) << 5) |
                                                 (in.maker[2] & 0x1F));
    b[8] = static_cast<uint8_t>(maker >> 8);
    b[9] = static_cast<uint8_t>(maker);
    b[10] = static_cast<uint8_t>(in.product);
    b[11] = static_cast<uint8_t>(in.product >> 8);
    for (int i = 0; i < 4; ++i) b[12 + i] = static_cast<uint8_t>(in.serial >> (8 * i));
    b[16] = 0x01;  // week
    b[17] = 0x24;  // 1990 + 36
    b[18] = 0x01;  // version 1.3
    b[19] = 0x03;
    b[20] = 0x80;  // digital input
    b[21] = static_cast<uint8_t>(clamp_u32((wmm + 5) / 10, 1, 255));
    b[22] = static_cast<uint8_t>(clamp_u32((hmm + 5) / 10, 1, 255));
    b[23] = 0x78;  // gamma 2.2
    b[24] = 0x07;  // sRGB, preferred timing in descriptor 1, continuous frequency
    const uint8_t chroma[10] = {0xEE, 0x95, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54};
    std::copy(std::begin(chroma), std::end(chroma), b + 25);
    for (int i = 38; i < 54; ++i) b[i] = 0x01;  // no standard timings

    // Detailed timing descriptor.
    uint8_t* d = b + 54;
    const uint32_t clock10k = t.pixel_clock_khz / 10;
    d[0] = static_cast<uint8_t>(clock10k);
    d[1] = static_cast<uint8_t>(clock10k >> 8);
    d[2] = static_cast<uint8_t>(t.h_active);
    d[3] = static_cast<uint8_t>(t.h_blank);
    d[4] = static_cast<uint8_t>(((t.h_active >> 8) << 4) | (t.h_blank >> 8));
    d[5] = static_cast<uint8_t>(t.v_active);
    d[6] = static_cast<uint8_t>(t.v_blank);
    d[7] = static_cast<uint8_t>(((t.v_active >> 8) << 4) | (t.v_blank >> 8));
    d[8] = static_cast<uint8_t>(t.h_front_porch);
    d[9] = static_cast<uint8_t>(t.h_sync);
    d[10] = static_cast<uint8_t>(((t.v_front_porch & 0x0F) << 4) | (t.v_sync & 0x0F));
    d[11] = static_cast<uint8_t>((((t.h_front_porch >> 8) & 3) << 6) | (((t.h_sync >> 8) & 3) << 4) |
                                 (((t.v_front_porch >> 4) & 3) << 2) | ((t.v_sync >> 4) & 3));
    d[12] = static_cast<uint8_t>(wmm);
    d[13] = static_cast<uint8_t>(hmm);
    d[14] = static_cast<uint8_t>(((wmm >> 8) << 4) | ((hmm >> 8) & 0x0F));
    d[17] = 0x1A;  // digital separate sync, H+ V-

    // Range limits.
    uint8_t* r = b + 72;
    r[3] = 0xFD;
    r[5] = 0x0A;
    r[6] = static_cast<uint8_t>(clamp_u32(in.refresh, 1, 255));
    r[7] = 0x0F;
    const uint64_t lines_per_s = static_cast<uint64_t>(t.v_active + t.v_blank) * in.refresh;
    r[8] = static_cast<uint8_t>(clamp_u32(ceil_div(lines_per_s, 1000) + 1, 16, 255));
    r[9] = static_cast<uint8_t>(clamp_u32(ceil_div(t.pixel_clock_khz, 10000), 1, 255));
    r[10] = 0x01;
    r[11] = 0x0A;
    for (int i = 12; i < 18; ++i) r[i] = 0x20;

    char serial_text[16];
    constexpr char kUpperHex[] = "0123456789ABCDEF";
    serial_text[0] = 'S';
    serial_text[1] = 'V';
    for (int i = 0; i < 8; ++i) serial_text[2 + i] = kUpperHex[(in.serial >> (28 - 4 * i)) & 0xF];
    put_text_descriptor(b + 90, 0xFF, std::string_view(serial_text, 10));
    put_text_descriptor(b + 108, 0xFC, in.name);
    b[126] = 0x01;  // one extension
    put_checksum(b);

    std::copy(std::begin(kExtension), std::end(kExtension), b + 128);
    put_checksum(b + 128);
    return e;
}

bool monitor_signal_fits(uint32_t height, uint32_t refresh) {
    const uint64_t total = static_cast<uint64_t>(height) + 4;
    return total * total * refresh + 1000 <= std::numeric_limits<uint32_t>::max();
}

ModeList modes_from_description(const uint8_t* data, size_t size, const ModeLookup& lookup,
                                const LineLogger& logger) {
    if (data == nullptr || size < kEdidBlockSize) return {};
    const uint32_t serial = static_cast<uint32_t>(data[12]) | static_cast<uint32_t>(data[13]) << 8 |
                            static_cast<uint32_t>(data[14]) << 16 | static_cast<uint32_t>(data[15]) << 24;
    ModeList modes;
    if (lookup && lookup(serial, modes)) return modes;

    logger.log([&] {
        return "ParseMonitorDescription: no registered monitor for EDID serial " + hex_short(serial) +
               "; using the EDID's detailed timing";
    });
    const uint64_t clock10k = static_cast<uint64_t>(data[54]) | static_cast<uint64_t>(data[55]) << 8;
    const uint32_t h_active = static_cast<uint32_t>(data[58] >> 4) << 8 | data[56];
    const uint32_t h_blank = static_cast<uint32_t>(data[58] & 0x0F) << 8 | data[57];
    const uint32_t v_active = static_cast<uint32_t>(data[61] >> 4) << 8 | data[59];
    const uint32_t v_blank = static_cast<uint32_t>(data[61] & 0x0F) << 8 | data[60];
    const uint64_t total = static_cast<uint64_t>(h_active + h_blank) * (v_active + v_blank);
    if (clock10k == 0 || h_active == 0 || v_active == 0 || total == 0) return {};
    const uint64_t refresh = (clock10k * 10000 + total / 2) / total;
    // A slow clock over a large frame rounds to 0 Hz, and a fast clock over a
    // tiny one to a rate no signal description can carry: neither is a mode.
    if (refresh == 0 || refresh > std::numeric_limits<uint32_t>::max() ||
        !monitor_signal_fits(v_active, static_cast<uint32_t>(refresh))) {
        return {};
    }
    return {{h_active, v_active, static_cast<uint32_t>(refresh)}};
}

VideoSignalInfo monitor_signal_info(uint32_t width, uint32_t height, uint32_t refresh) {
    VideoSignalInfo s;
    const uint32_t total_h = height + 4;
    // Unsigned 32-bit arithmetic as the description's rationals hold it;
    // modes_from_description never hands out a mode that wraps here.
    const uint32_t n = total_h * total_h * refresh + 1000;
    s.pixel_rate = n;
    s.h_sync_freq = {n, total_h};
    s.v_sync_freq = {n, total_h * total_h};
    s.active_width = width;
    s.active_height = height;
    s.total_width = width + 4;
    s.total_height = total_h;
    s.video_standard = kVideoStandardOther;
    s.vsync_freq_divider = 0;
    s.scanline_ordering = kScanlineProgressive;
    return s;
}

VideoSignalInfo target_signal_info(uint32_t width, uint32_t height, uint32_t refresh) {
    VideoSignalInfo s;
    s.pixel_rate = static_cast<uint64_t>(width) * height * refresh;
    s.h_sync_freq = {refresh * height, 1};
    s.v_sync_freq = {refresh, 1};
    s.active_width = width;
    s.active_height = height;
    s.total_width = width;
    s.total_height = height;
    s.video_standard = kVideoStandardOther;
    s.vsync_freq_divider = 1;
    s.scanline_ordering = kScanlineProgressive;
    return s;
}

const char* check_mode_shape(uint32_t width, uint32_t height, uint32_t refresh) {
    if (width < kMinSide || width > kMaxSide || height < kMinSide || height > kMaxSide || width % 2 != 0 ||
        height % 2 != 0) {
        return "size";
    }
    if (refresh < kMinRefresh || refresh > kMaxRefresh) return "fps";
    if (static_cast<uint64_t>(width) * height > kMaxArea) return "area";
    return nullptr;
}

const char* check_pixel_clock(uint32_t width, uint32_t height, uint32_t refresh) {
    Timing t;
    if (!compute_timing(width, height, refresh, t) || t.pixel_clock_khz > kMaxPixelClockKhz) return "pixel_clock";
    return nullptr;
}

const char* check_size_mm(uint32_t width_mm, uint32_t height_mm) {
    if (width_mm < 1 || width_mm > kMaxSizeMm || height_mm < 1 || height_mm > kMaxSizeMm) return "size_mm";
    return nullptr;
}

}  // namespace sorvane::vdd
