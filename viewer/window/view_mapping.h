// Where the stream's picture lies in the window, and the way back from a
// point of the window to the stream's pixels. The picture is drawn as large
// as the window allows with its aspect kept and centred; what is left over on
// two sides stays black (letterboxing).
#pragma once

#include <cstdint>
#include <optional>

namespace sorvane::viewer {

struct ViewRect {
    int32_t x = 0;
    int32_t y = 0;
    int32_t w = 0;
    int32_t h = 0;
    friend bool operator==(const ViewRect&, const ViewRect&) = default;
};

// The picture's rectangle in an area of area_w x area_h for a stream of
// stream_w x stream_h; empty when either has no size.
ViewRect letterbox(uint32_t area_w, uint32_t area_h, uint32_t stream_w, uint32_t stream_h);

struct StreamPixel {
    int32_t x = 0;
    int32_t y = 0;
    friend bool operator==(const StreamPixel&, const StreamPixel&) = default;
};

class ViewMapping {
public:
    ViewMapping() = default;
    ViewMapping(uint32_t area_w, uint32_t area_h, uint32_t stream_w, uint32_t stream_h);

    // The stream pixel under the area's point (x, y), in continuous
    // coordinates (a pixel's centre is at +0.5); nullopt on the bars or
    // without a stream.
    std::optional<StreamPixel> pixel_at(double x, double y) const;
    // The same, moved onto the picture's nearest pixel from outside it;
    // nullopt only without a stream.
    std::optional<StreamPixel> nearest_pixel(double x, double y) const;

    // A stream pixel as the host's touch injection reads a normalised
    // position: it takes left + trunc((width - 1) * n + 0.5), so pixel / (size - 1)
    // comes back as that very pixel.
    float normalised_x(int32_t px) const;
    float normalised_y(int32_t py) const;

    const ViewRect& picture() const { return picture_; }
    uint32_t area_width() const { return area_w_; }
    uint32_t area_height() const { return area_h_; }
    uint32_t stream_width() const { return stream_w_; }
    uint32_t stream_height() const { return stream_h_; }
    bool has_stream() const { return picture_.w > 0 && picture_.h > 0; }

private:
    StreamPixel scale(double x, double y) const;

    ViewRect picture_;
    uint32_t area_w_ = 0;
    uint32_t area_h_ = 0;
    uint32_t stream_w_ = 0;
    uint32_t stream_h_ = 0;
};

}  // namespace sorvane::viewer
