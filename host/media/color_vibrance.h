// Colour vibrance: moves each pixel away from its BT.709 luma by a factor
// before encoding, so that duller phone and tablet screens show livelier
// colours. The level is a user setting ("color_vibrance" in settings.txt),
// process-wide and read by every pipeline before each frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/texture.h"

namespace sorvane {

enum class VibranceLevel : uint32_t { off = 0, light = 1, medium = 2, high = 3 };

// The process-wide level, loaded from the settings store on first use (a
// missing or unknown value is off).
VibranceLevel current_vibrance_level();
// Stores the level (above 3 counts as off) and writes "color_vibrance" with
// its name, or removes the key for off.
void set_vibrance_level(uint32_t level);
// "off", "light", "medium", "high", compared exactly.
std::optional<VibranceLevel> parse_vibrance_level(std::string_view text);
const char* vibrance_level_name(VibranceLevel level);
float vibrance_level_factor(VibranceLevel level);

// Per pixel on unorm values c (B, G, R; alpha kept):
//   y = dot(c, (0.2126, 0.7152, 0.0722)); c' = saturate(y + s (c - y)),
// stored rounded to nearest. The vector form gives the same bytes as the scalar.
void vibrance_scalar(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, float s, uint8_t* dst,
                     size_t dst_pitch);
void vibrance(const uint8_t* src, size_t src_pitch, uint32_t w, uint32_t h, float s, uint8_t* dst, size_t dst_pitch);
bool vibrance_vectorised();

// The pass of one pipeline: an output image of the monitor's size.
class VibrancePass {
public:
    bool init(const platform::GpuDevice& device, uint32_t width, uint32_t height);
    // Applies factor to a BGRA source of the configured size; the result is output().
    bool apply(const platform::CpuTexture& source, float factor);
    const platform::CpuTexture& output() const { return output_; }
    platform::CpuTexture& output() { return output_; }

private:
    platform::CpuTexture output_;
};

}  // namespace sorvane
