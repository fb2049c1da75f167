#include "viewer/media/picture.h"

#include <algorithm>
#include <cmath>

namespace sorvane::viewer {

namespace {
constexpr uint32_t kCells = 48;
constexpr uint32_t kCell = 16;
constexpr uint32_t kBandTop = 16;

uint8_t clamp8(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }
}  // namespace

std::optional<uint64_t> read_frame_time(const uint8_t* luma, size_t pitch, uint32_t width, uint32_t height) {
    if (luma == nullptr || width < kCell + kCells * kCell || height < kBandTop + kCell) return std::nullopt;
    uint64_t t = 0;
    for (uint32_t i = 0; i < kCells; ++i) {
        const uint32_t x0 = kCell + kCell * i + 4;
        uint32_t sum = 0;
        for (uint32_t y = kBandTop + 4; y < kBandTop + 12; ++y)
            for (uint32_t x = x0; x < x0 + 8; ++x) sum += luma[y * pitch + x];
        if (sum / 64 >= 128) t |= uint64_t{1} << (kCells - 1 - i);
    }
    return t;
}

RgbImage yuv420_to_rgb(const uint8_t* yp, size_t y_pitch, const uint8_t* up, size_t u_pitch, const uint8_t* vp,
                       size_t v_pitch, uint32_t width, uint32_t height) {
    RgbImage img;
    img.width = width;
    img.height = height;
    img.pixels.resize(size_t{width} * height * 3);
    uint8_t* out = img.pixels.data();
    for (uint32_t row = 0; row < height; ++row) {
        for (uint32_t col = 0; col < width; ++col) {
            // Fixed point (x 1024) BT.709 limited range.
            const int c = yp[row * y_pitch + col] - 16;
            const int d = up[(row / 2) * u_pitch + col / 2] - 128;
            const int e = vp[(row / 2) * v_pitch + col / 2] - 128;
            *out++ = clamp8((1192 * c + 1836 * e + 512) >> 10);
            *out++ = clamp8((1192 * c - 218 * d - 546 * e + 512) >> 10);
            *out++ = clamp8((1192 * c + 2163 * d + 512) >> 10);
        }
    }
    return img;
}

int64_t percentile(std::vector<int64_t>& values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : std::min(values.size() - 1, static_cast<size_t>(rank) - 1);
    return values[index];
}

void KeptSamples::add(int64_t value) {
    if (count_++ % stride_ != 0) return;
    kept_.push_back(value);
    if (kept_.size() < limit_) return;
    size_t out = 0;
    for (size_t i = 0; i < kept_.size(); i += 2) kept_[out++] = kept_[i];
    kept_.resize(out);
    stride_ *= 2;
}

}  // namespace sorvane::viewer
