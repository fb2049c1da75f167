#include "viewer/window/picture_converter.h"

#include <SDL.h>

#include <cstring>

namespace sorvane::viewer {

bool PictureConverter::convert(const YuvPlanes& in, Picture& out) {
    if (in.width == 0 || in.height == 0 || in.y == nullptr || in.u == nullptr || in.v == nullptr) {
        error_ = "a picture without planes";
        return false;
    }
    // SDL reads IYUV as Y rows of `width` bytes, then U, then V rows of half that.
    const size_t w = in.width, h = in.height, cw = (w + 1) / 2, ch = (h + 1) / 2;
    packed_.resize(w * h + 2 * cw * ch);
    uint8_t* dst = packed_.data();
    for (size_t row = 0; row < h; ++row, dst += w) std::memcpy(dst, in.y + row * in.y_pitch, w);
    for (size_t row = 0; row < ch; ++row, dst += cw) std::memcpy(dst, in.u + row * in.u_pitch, cw);
    for (size_t row = 0; row < ch; ++row, dst += cw) std::memcpy(dst, in.v + row * in.v_pitch, cw);

    // Full range exists in SDL only with BT.601 weights; it is the nearer match.
    const int mode = in.full_range ? SDL_YUV_CONVERSION_JPEG : in.bt601 ? SDL_YUV_CONVERSION_BT601 : SDL_YUV_CONVERSION_BT709;
    if (mode != mode_) {
        SDL_SetYUVConversionMode(static_cast<SDL_YUV_CONVERSION_MODE>(mode));
        mode_ = mode;
    }
    out.width = in.width;
    out.height = in.height;
    out.pitch = in.width * 4;
    out.pixels.resize(size_t{out.pitch} * h);
    if (SDL_ConvertPixels(static_cast<int>(w), static_cast<int>(h), SDL_PIXELFORMAT_IYUV, packed_.data(),
                          static_cast<int>(w), format_, out.pixels.data(), static_cast<int>(out.pitch)) != 0) {
        error_ = std::string("SDL_ConvertPixels: ") + SDL_GetError();
        return false;
    }
    return true;
}

}  // namespace sorvane::viewer
