#include "viewer/window/view_mapping.h"

#include <algorithm>
#include <cmath>

namespace sorvane::viewer {

ViewRect letterbox(uint32_t area_w, uint32_t area_h, uint32_t stream_w, uint32_t stream_h) {
    if (area_w == 0 || area_h == 0 || stream_w == 0 || stream_h == 0) return {};
    const uint64_t aw = area_w, ah = area_h, sw = stream_w, sh = stream_h;
    uint64_t w = aw, h = ah;
    if (aw * sh <= ah * sw) {
        h = std::max<uint64_t>(1, (sh * aw + sw / 2) / sw);  // the width limits: bars above and below
    } else {
        w = std::max<uint64_t>(1, (sw * ah + sh / 2) / sh);  // the height limits: bars left and right
    }
    return {static_cast<int32_t>((aw - w) / 2), static_cast<int32_t>((ah - h) / 2), static_cast<int32_t>(w),
            static_cast<int32_t>(h)};
}

ViewMapping::ViewMapping(uint32_t area_w, uint32_t area_h, uint32_t stream_w, uint32_t stream_h)
    : picture_(letterbox(area_w, area_h, stream_w, stream_h)),
      area_w_(area_w),
      area_h_(area_h),
      stream_w_(stream_w),
      stream_h_(stream_h) {}

StreamPixel ViewMapping::scale(double x, double y) const {
    const double sx = (x - picture_.x) * stream_w_ / picture_.w;
    const double sy = (y - picture_.y) * stream_h_ / picture_.h;
    auto pixel = [](double v, uint32_t size) {
        return static_cast<int32_t>(std::clamp(std::floor(v), 0.0, static_cast<double>(size) - 1));
    };
    return {pixel(sx, stream_w_), pixel(sy, stream_h_)};
}

std::optional<StreamPixel> ViewMapping::pixel_at(double x, double y) const {
    if (!has_stream() || !std::isfinite(x) || !std::isfinite(y)) return std::nullopt;
    if (x < picture_.x || y < picture_.y || x >= picture_.x + picture_.w || y >= picture_.y + picture_.h)
        return std::nullopt;
    return scale(x, y);
}

std::optional<StreamPixel> ViewMapping::nearest_pixel(double x, double y) const {
    if (!has_stream()) return std::nullopt;
    if (!std::isfinite(x)) x = picture_.x;
    if (!std::isfinite(y)) y = picture_.y;
    return scale(x, y);
}

float ViewMapping::normalised_x(int32_t px) const {
    return stream_w_ > 1 ? static_cast<float>(static_cast<double>(px) / (stream_w_ - 1)) : 0.0f;
}

float ViewMapping::normalised_y(int32_t py) const {
    return stream_h_ > 1 ? static_cast<float>(static_cast<double>(py) / (stream_h_ - 1)) : 0.0f;
}

}  // namespace sorvane::viewer
