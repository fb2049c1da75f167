// Draws the mouse pointer onto the encoder's input image. Desktop duplication
// delivers the desktop without the pointer and the pointer's shape and
// position separately; the overlay converts each new shape into a colour
// image (BGRA, blended source-alpha-over) and an invert mask (pixels that
// become 1 - destination), and draws both per frame with the blend maths of
// the graphics pipeline (8-bit unorm, rounded to nearest), clipped to the
// target. Colour channels only: the target's alpha is left as it is.
// Used by one frame thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/duplication.h"
#include "platform/texture.h"

namespace sorvane {

inline constexpr uint32_t kPointerMonochrome = 1;
inline constexpr uint32_t kPointerColor = 2;
inline constexpr uint32_t kPointerMaskedColor = 4;

class CursorOverlay {
public:
    // Ready to draw on textures of the device (nothing to compile on the CPU).
    bool init(const platform::GpuDevice& device);

    // Converts a pointer shape; an unsupported type or a shape that does not
    // fit its buffer writes "[cursor] unsupported pointer shape ..." to
    // standard error and draws nothing until the next shape. False then.
    bool set_shape(const uint8_t* buffer, size_t size, const platform::PointerShapeInfo& info);
    // The shape's top-left on the monitor, and whether the pointer shows.
    void set_position(int32_t x, int32_t y, bool visible);

    // Draws the pointer on a BGRA target; true when something was drawn.
    bool draw(platform::CpuTexture& target) const;

    // The pixels under a drawn pointer, to put an image back as it was.
    struct Saved {
        uint32_t left = 0, top = 0, width = 0, height = 0;
        std::vector<uint8_t> pixels;
    };
    // Draws like draw, first saving the pixels it covers; restore puts them
    // back (nothing when nothing was drawn).
    bool draw_saving(platform::CpuTexture& target, Saved& saved) const;
    static void restore(platform::CpuTexture& target, const Saved& saved);

    bool shape_loaded() const { return shape_loaded_; }
    uint32_t shape_width() const { return width_; }
    uint32_t shape_height() const { return height_; }

private:
    // The part of the target the pointer covers; false when none.
    bool clip(const platform::CpuTexture& target, int64_t& left, int64_t& top, int64_t& right, int64_t& bottom) const;

    bool initialised_ = false;
    uint32_t width_ = 0, height_ = 0;
    std::vector<uint8_t> color_;   // width x height BGRA
    std::vector<uint8_t> invert_;  // width x height, 255 = invert
    bool has_color_ = false, has_invert_ = false, shape_loaded_ = false;
    int32_t x_ = 0, y_ = 0;
    bool visible_ = false;
};

}  // namespace sorvane
