// Decodes H.264 access units one at a time with libavcodec (the slices of a
// picture on threads of their own, no picture held back; no reordering delay
// expected from the host's encoder).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "viewer/media/picture.h"

namespace sorvane::viewer {

struct DecodedPicture {
    uint32_t width = 0;
    uint32_t height = 0;
    std::optional<uint64_t> frame_time_ms;  // from the barcode, when it can be read
};

// The planes of a decoded 8-bit 4:2:0 picture, valid until the next decode.
struct YuvPlanes {
    const uint8_t* y = nullptr;
    const uint8_t* u = nullptr;
    const uint8_t* v = nullptr;
    size_t y_pitch = 0, u_pitch = 0, v_pitch = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    bool full_range = false;  // else limited (16..235)
    bool bt601 = false;       // the stream says BT.601 colours; else BT.709
};

class H264Decoder {
public:
    H264Decoder();
    ~H264Decoder();
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // False with last_error when libavcodec has no H.264 decoder.
    bool open();
    // Decodes one access unit; true when a picture came out of it.
    bool decode(const uint8_t* data, size_t size, DecodedPicture& picture);
    // The last picture that came out, as RGB (empty before the first one).
    RgbImage last_picture_rgb() const;
    // Its planes; false before the first picture.
    bool last_planes(YuvPlanes& out) const;
    const std::string& last_error() const { return error_; }

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string error_;
};

}  // namespace sorvane::viewer
