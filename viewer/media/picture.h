// A decoded picture as the viewer keeps it, the frame time carried in its
// barcode, and the figures of a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace sorvane::viewer {

// 8-bit RGB, rows of width * 3 bytes without padding.
struct RgbImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;
};

// Reads the 48-bit frame time from the barcode band of a luma plane: 48 cells
// of 16 x 16 at y 16..31, cell i at x 16 + 16i, bit 47 - i set when light.
// Each cell's centre 8 x 8 is averaged against mid grey. nullopt when the
// picture is too small to hold the barcode.
std::optional<uint64_t> read_frame_time(const uint8_t* luma, size_t pitch, uint32_t width, uint32_t height);

// Converts limited-range BT.709 4:2:0 planes to RGB.
RgbImage yuv420_to_rgb(const uint8_t* y, size_t y_pitch, const uint8_t* u, size_t u_pitch, const uint8_t* v,
                       size_t v_pitch, uint32_t width, uint32_t height);

// Percentile p (0..100) by nearest rank of values (sorted in place); 0 when empty.
int64_t percentile(std::vector<int64_t>& values, double p);

// The samples of a series kept for its percentiles in bounded memory: when
// `limit` are kept, every other one goes and from then on one sample in twice
// as many is kept, so the samples stay spread evenly over the whole run.
class KeptSamples {
public:
    explicit KeptSamples(size_t limit = 1u << 20) : limit_(limit < 2 ? 2 : limit) {}
    void add(int64_t value);
    uint64_t count() const { return count_; }  // every sample added
    const std::vector<int64_t>& kept() const { return kept_; }

private:
    size_t limit_;
    uint64_t count_ = 0;
    uint64_t stride_ = 1;
    std::vector<int64_t> kept_;
};

}  // namespace sorvane::viewer
