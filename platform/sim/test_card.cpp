#include "platform/sim/test_card.h"

#include <algorithm>
#include <cstring>

namespace sorvane::sim {

namespace {

inline void put(uint8_t* p, Rgb c) {
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
    p[3] = 255;
}

void fill_row(uint8_t* row, uint32_t x0, uint32_t x1, Rgb c) {
    for (uint32_t x = x0; x < x1; ++x) put(row + x * 4, c);
}

uint64_t mix(uint64_t z) {
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

Rgb test_card_noise(uint32_t bx, uint32_t by, uint64_t frame_time_ms) {
    uint64_t v = mix(frame_time_ms * 0x100000001B3ull ^ (static_cast<uint64_t>(by) << 32) ^ bx);
    return Rgb{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
}

int64_t test_card_line_x(uint32_t width, uint64_t frame_time_ms) {
    int64_t span = static_cast<int64_t>(width / 2) - 8;
    if (span <= 0) return -1;
    return static_cast<int64_t>((frame_time_ms / 2) % static_cast<uint64_t>(span));
}

namespace {

constexpr Rgb kBlack{0, 0, 0}, kWhite{255, 255, 255}, kGrey{64, 64, 64};

// The moving line on a row of the lower third, in a colour.
void draw_line(uint32_t width, uint64_t t, Rgb colour, uint8_t* row) {
    const int64_t line = test_card_line_x(width, t);
    if (line >= 0) fill_row(row, static_cast<uint32_t>(line), static_cast<uint32_t>(line) + 8, colour);
}

// One row of the card without marks, from column x0 on (x0 is 0 or, in the
// lower third, the start of the full-motion region).
void draw_row(uint32_t width, uint32_t height, uint64_t t, uint32_t y, uint32_t x0, uint8_t* row) {
    const uint32_t band_end = std::min<uint32_t>(48, height);
    const uint32_t bars_end = std::max<uint32_t>(band_end, static_cast<uint32_t>(2ull * height / 3));
    if (y < band_end) {
        fill_row(row, 0, width, kBlack);
        if (width >= kBarcodeMinWidth && y >= 16 && y <= 31) {
            for (uint32_t i = 0; i < kBarcodeBits; ++i) {
                if ((t >> (47 - i)) & 1u) fill_row(row, 16 + 16 * i, 32 + 16 * i, kWhite);
            }
        }
        return;
    }
    if (y < bars_end) {
        for (uint32_t k = 0; k < 8; ++k) {
            fill_row(row, static_cast<uint32_t>(static_cast<uint64_t>(k) * width / 8),
                     static_cast<uint32_t>(static_cast<uint64_t>(k + 1) * width / 8), kTestCardBars[k]);
        }
        return;
    }
    const uint32_t half = width / 2;
    if (x0 < half) {
        fill_row(row, 0, half, kGrey);
        draw_line(width, t, kWhite, row);
    }
    const uint32_t by = (y - bars_end) / 8;
    for (uint32_t x = half; x < width; x += 8) {
        fill_row(row, x, std::min(width, x + 8), test_card_noise((x - half) / 8, by, t));
    }
}

// The rows [y0, y1) a mark covers.
void mark_rows(const Mark& m, uint32_t height, int64_t& y0, int64_t& y1) {
    y0 = std::max<int64_t>(0, m.y - 16);
    y1 = std::min<int64_t>(height, m.y + 16);
}

// Marks over everything, oldest first so the newest is on top.
void draw_marks(uint32_t width, uint32_t height, std::span<const Mark> marks, uint8_t* bgra, size_t pitch) {
    for (const Mark& m : marks) {
        const int64_t x0 = std::max<int64_t>(0, m.x - 16), x1 = std::min<int64_t>(width, m.x + 16);
        int64_t y0 = 0, y1 = 0;
        mark_rows(m, height, y0, y1);
        for (int64_t y = y0; y < y1 && x0 < x1; ++y) {
            fill_row(bgra + static_cast<size_t>(y) * pitch, static_cast<uint32_t>(x0), static_cast<uint32_t>(x1), m.colour);
        }
    }
}

}  // namespace

void compose_test_card(uint32_t width, uint32_t height, uint64_t t, std::span<const Mark> marks, uint8_t* bgra,
                       size_t pitch) {
    const uint32_t band_end = std::min<uint32_t>(48, height);
    const uint32_t bars_end = std::max<uint32_t>(band_end, static_cast<uint32_t>(2ull * height / 3));
    const uint32_t half = width / 2;
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = bgra + y * pitch;
        if (y > band_end && y < bars_end) {
            std::memcpy(row, bgra + band_end * pitch, width * 4ull);  // the bars: one row drawn, then copied
        } else if (y > bars_end) {
            std::memcpy(row, bgra + bars_end * pitch, half * 4ull);  // grey with the line
            draw_row(width, height, t, y, half, row);
        } else {
            draw_row(width, height, t, y, 0, row);
        }
    }
    draw_marks(width, height, marks, bgra, pitch);
}

void compose_test_card(uint32_t width, uint32_t height, uint64_t t, std::span<const Mark> marks,
                       platform::CpuTexture& out, TestCardDrawn& drawn) {
    if (!drawn.valid || out.format != platform::kFormatBgra8 || out.width != width || out.height != height) {
        compose_test_card(width, height, t, marks, out);
    } else {
        // Only the barcode band, the moving line and the full-motion half of
        // the lower third and the rows of every old and new mark change.
        std::vector<bool> whole(height, false);
        const uint32_t band_end = std::min<uint32_t>(48, height);
        const uint32_t bars_end = std::max<uint32_t>(band_end, static_cast<uint32_t>(2ull * height / 3));
        for (uint32_t y = 0; y < band_end; ++y) whole[y] = true;
        for (std::span<const Mark> list : {std::span<const Mark>(drawn.marks), marks}) {
            for (const Mark& m : list) {
                int64_t y0 = 0, y1 = 0;
                mark_rows(m, height, y0, y1);
                for (int64_t y = y0; y < y1; ++y) whole[static_cast<size_t>(y)] = true;
            }
        }
        for (uint32_t y = 0; y < height; ++y) {
            if (whole[y]) {
                draw_row(width, height, t, y, 0, out.row(y));
            } else if (y >= bars_end) {
                draw_line(width, drawn.frame_time_ms, kGrey, out.row(y));
                draw_row(width, height, t, y, width / 2, out.row(y));
                draw_line(width, t, kWhite, out.row(y));
            }
        }
        draw_marks(width, height, marks, out.data.data(), out.pitch);
    }
    drawn.valid = true;
    drawn.frame_time_ms = t;
    drawn.marks.assign(marks.begin(), marks.end());
}

void compose_test_card(uint32_t width, uint32_t height, uint64_t t, std::span<const Mark> marks,
                       platform::CpuTexture& out) {
    if (out.format != platform::kFormatBgra8 || out.width != width || out.height != height) {
        out.allocate(width, height, platform::kFormatBgra8);
    }
    compose_test_card(width, height, t, marks, out.data.data(), out.pitch);
}

namespace {

template <typename Sample>
bool read_barcode(uint32_t width, uint32_t height, uint64_t& t, Sample sample) {
    if (width < kBarcodeMinWidth || height < 32) return false;
    uint64_t v = 0;
    for (uint32_t i = 0; i < kBarcodeBits; ++i) {
        uint32_t sum = 0;
        for (uint32_t y = 20; y < 28; ++y) {
            for (uint32_t x = 20 + 16 * i; x < 28 + 16 * i; ++x) sum += sample(x, y);
        }
        v = (v << 1) | (sum / 64 >= 128 ? 1u : 0u);
    }
    t = v;
    return true;
}

}  // namespace

bool read_test_card_barcode(const uint8_t* bgra, size_t pitch, uint32_t width, uint32_t height, uint64_t& t) {
    return read_barcode(width, height, t, [&](uint32_t x, uint32_t y) {
        const uint8_t* p = bgra + y * pitch + x * 4;
        return static_cast<uint32_t>((p[0] + p[1] + p[2]) / 3);
    });
}

bool read_test_card_barcode_luma(const uint8_t* luma, size_t pitch, uint32_t width, uint32_t height, uint64_t& t) {
    return read_barcode(width, height, t, [&](uint32_t x, uint32_t y) { return static_cast<uint32_t>(luma[y * pitch + x]); });
}

}  // namespace sorvane::sim
