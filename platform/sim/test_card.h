// The picture every simulated display shows: a frame-time barcode, colour
// bars, a moving line and a full-motion region, with the marks of clicks and
// touches on top. A pure function of the size, the frame time and the marks,
// so anyone who decodes the video can check it without asking the host.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/texture.h"

namespace sorvane::sim {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
};

inline constexpr std::array<Rgb, 8> kTestCardBars = {{
    {191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
    {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {16, 16, 16},
}};
inline constexpr Rgb kMarkMagenta{255, 0, 255};  // left click, touch going down
inline constexpr Rgb kMarkCyan{0, 255, 255};     // right click
inline constexpr uint32_t kBarcodeMinWidth = 800;
inline constexpr uint32_t kBarcodeBits = 48;
inline constexpr size_t kMarksKept = 16;

// A filled 32 x 32 square centred on (x, y), display coordinates.
struct Mark {
    int32_t x = 0;
    int32_t y = 0;
    Rgb colour;
};

// The colour of the noise block (bx, by) of the full-motion region at a frame
// time: blocks are counted from the region's top-left corner.
Rgb test_card_noise(uint32_t bx, uint32_t by, uint64_t frame_time_ms);

// Left edge of the moving line, or -1 when the left half is too narrow.
int64_t test_card_line_x(uint32_t width, uint64_t frame_time_ms);

// Draws the card into w x h BGRA pixels (alpha 255) at pitch bytes per row.
void compose_test_card(uint32_t width, uint32_t height, uint64_t frame_time_ms, std::span<const Mark> marks,
                       uint8_t* bgra, size_t pitch);
// The same into a texture (allocated as BGRA when its size or format differ).
void compose_test_card(uint32_t width, uint32_t height, uint64_t frame_time_ms, std::span<const Mark> marks,
                       platform::CpuTexture& out);

// What an image last drawn by the function below holds (its size is the image's).
struct TestCardDrawn {
    bool valid = false;
    uint64_t frame_time_ms = 0;
    std::vector<Mark> marks;
};
// Draws the card into an image that holds `drawn`, as compose_test_card does,
// drawing again only what changed since (the barcode, the moving line, the
// full-motion region and the rows of old and new marks); a first image, or one
// of another size, is drawn whole. Updates `drawn`.
void compose_test_card(uint32_t width, uint32_t height, uint64_t frame_time_ms, std::span<const Mark> marks,
                       platform::CpuTexture& out, TestCardDrawn& drawn);

// Reads the frame time back from the barcode of a picture (BGRA, or any
// picture whose cell centres are clearly light or dark): each cell's centre
// 8 x 8 pixels are averaged and compared with mid grey. False for pictures
// narrower than the barcode.
bool read_test_card_barcode(const uint8_t* bgra, size_t pitch, uint32_t width, uint32_t height,
                            uint64_t& frame_time_ms);
// The same on a luma plane (decoded video).
bool read_test_card_barcode_luma(const uint8_t* luma, size_t pitch, uint32_t width, uint32_t height,
                                 uint64_t& frame_time_ms);

}  // namespace sorvane::sim
