#include "host/media/cursor_overlay.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace sorvane {
namespace {

void report_unsupported(const platform::PointerShapeInfo& info) {
    std::fprintf(stderr, "[cursor] unsupported pointer shape (type %" PRIu32 ", %" PRIu32 "x%" PRIu32 ", pitch %" PRIu32 ")\n",
                 info.type, info.width, info.height, info.pitch);
}

inline bool bit_at(const uint8_t* row, uint32_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1u; }

// dest' = src * a + dest * (1 - a) on unorm values, rounded to nearest.
inline uint8_t blend(uint32_t src, uint32_t dst, uint32_t a) {
    return static_cast<uint8_t>((src * a + dst * (255 - a) + 127) / 255);
}

}  // namespace

bool CursorOverlay::init(const platform::GpuDevice&) {
    initialised_ = true;
    return true;
}

bool CursorOverlay::set_shape(const uint8_t* buffer, size_t size, const platform::PointerShapeInfo& info) {
    has_color_ = has_invert_ = shape_loaded_ = false;
    color_.clear();
    invert_.clear();
    width_ = height_ = 0;

    const uint64_t w = info.width, h = info.height, pitch = info.pitch;
    // Sizes in 64 bits: a huge shape must fail the check, not wrap past it.
    const uint64_t needed = h * pitch;
    bool ok = buffer != nullptr && w > 0 && h > 0 && needed <= size;
    uint64_t rows = h;
    if (ok && info.type == kPointerMonochrome) {
        ok = (h % 2) == 0 && pitch >= (w + 7) / 8;
        rows = h / 2;
    } else if (ok && (info.type == kPointerColor || info.type == kPointerMaskedColor)) {
        ok = pitch >= w * 4;
    } else {
        ok = false;
    }
    if (!ok) {
        report_unsupported(info);
        return false;
    }

    width_ = info.width;
    height_ = static_cast<uint32_t>(rows);
    color_.assign(static_cast<size_t>(w * rows * 4), 0);
    invert_.assign(static_cast<size_t>(w * rows), 0);
    for (uint32_t y = 0; y < height_; ++y) {
        uint8_t* crow = color_.data() + static_cast<size_t>(y) * width_ * 4;
        uint8_t* irow = invert_.data() + static_cast<size_t>(y) * width_;
        if (info.type == kPointerMonochrome) {
            const uint8_t* and_row = buffer + static_cast<size_t>(y) * pitch;
            const uint8_t* xor_row = buffer + static_cast<size_t>(y + height_) * pitch;
            for (uint32_t x = 0; x < width_; ++x) {
                const bool a = bit_at(and_row, x), xo = bit_at(xor_row, x);
                uint8_t* px = crow + x * 4;
                if (!a) {
                    const uint8_t v = xo ? 0xFF : 0x00;
                    px[0] = px[1] = px[2] = v;
                    px[3] = 0xFF;
                    has_color_ = true;
                } else if (xo) {
                    irow[x] = 255;
                    has_invert_ = true;
                }
            }
            continue;
        }
        const uint8_t* src = buffer + static_cast<size_t>(y) * pitch;
        if (info.type == kPointerColor) {
            std::memcpy(crow, src, static_cast<size_t>(width_) * 4);
            for (uint32_t x = 0; x < width_; ++x) has_color_ |= src[x * 4 + 3] != 0;
            continue;
        }
        for (uint32_t x = 0; x < width_; ++x) {  // masked colour
            const uint8_t* s = src + x * 4;
            uint8_t* px = crow + x * 4;
            if (s[3] == 0) {
                px[0] = s[0];
                px[1] = s[1];
                px[2] = s[2];
                px[3] = 0xFF;
                has_color_ = true;
            } else if (s[3] == 0xFF && (s[0] | s[1] | s[2]) != 0) {
                irow[x] = 255;
                has_invert_ = true;
            }
        }
    }
    if (!has_color_) color_.clear();
    if (!has_invert_) invert_.clear();
    shape_loaded_ = true;
    return true;
}

void CursorOverlay::set_position(int32_t x, int32_t y, bool visible) {
    x_ = x;
    y_ = y;
    visible_ = visible;
}

bool CursorOverlay::clip(const platform::CpuTexture& target, int64_t& left, int64_t& top, int64_t& right,
                         int64_t& bottom) const {
    if (!initialised_ || !visible_ || !shape_loaded_ || (!has_color_ && !has_invert_)) return false;
    if (target.format != platform::kFormatBgra8 || target.empty()) return false;
    const int64_t W = target.width, H = target.height;
    const int64_t x0 = x_, y0 = y_;
    if (x0 >= W || y0 >= H || x0 + width_ <= 0 || y0 + height_ <= 0) return false;
    left = std::max<int64_t>(x0, 0);
    right = std::min<int64_t>(x0 + width_, W);
    top = std::max<int64_t>(y0, 0);
    bottom = std::min<int64_t>(y0 + height_, H);
    return true;
}

bool CursorOverlay::draw_saving(platform::CpuTexture& target, Saved& saved) const {
    saved.width = saved.height = 0;
    int64_t left = 0, top = 0, right = 0, bottom = 0;
    if (!clip(target, left, top, right, bottom)) return false;
    saved.left = static_cast<uint32_t>(left);
    saved.top = static_cast<uint32_t>(top);
    saved.width = static_cast<uint32_t>(right - left);
    saved.height = static_cast<uint32_t>(bottom - top);
    const size_t row_bytes = static_cast<size_t>(saved.width) * 4;
    saved.pixels.resize(row_bytes * saved.height);
    for (uint32_t y = 0; y < saved.height; ++y) {
        std::memcpy(saved.pixels.data() + y * row_bytes, target.row(saved.top + y) + saved.left * 4ull, row_bytes);
    }
    return draw(target);
}

void CursorOverlay::restore(platform::CpuTexture& target, const Saved& saved) {
    const size_t row_bytes = static_cast<size_t>(saved.width) * 4;
    for (uint32_t y = 0; y < saved.height; ++y) {
        std::memcpy(target.row(saved.top + y) + saved.left * 4ull, saved.pixels.data() + y * row_bytes, row_bytes);
    }
}

bool CursorOverlay::draw(platform::CpuTexture& target) const {
    int64_t left = 0, top = 0, right = 0, bottom = 0;
    if (!clip(target, left, top, right, bottom)) return false;
    const int64_t x0 = x_, y0 = y_;
    for (int64_t ty = top; ty < bottom; ++ty) {
        uint8_t* out = target.row(static_cast<uint32_t>(ty));
        const size_t sy = static_cast<size_t>(ty - y0);
        for (int64_t tx = left; tx < right; ++tx) {
            const size_t sx = static_cast<size_t>(tx - x0);
            uint8_t* d = out + tx * 4;
            if (has_color_) {
                const uint8_t* s = color_.data() + (sy * width_ + sx) * 4;
                const uint32_t a = s[3];
                for (int c = 0; c < 3; ++c) d[c] = blend(s[c], d[c], a);
            }
            if (has_invert_ && invert_[sy * width_ + sx] >= 128) {
                for (int c = 0; c < 3; ++c) d[c] = static_cast<uint8_t>(255 - d[c]);
            }
        }
    }
    return true;
}

}  // namespace sorvane
