// Converts decoded 4:2:0 pictures to the window's pixel format with SDL's
// converter (vectorised where the processor allows), honouring the colours
// the stream declares: BT.709 or BT.601, limited or full range.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "viewer/media/h264_decoder.h"
#include "viewer/window/picture_mailbox.h"

namespace sorvane::viewer {

class PictureConverter {
public:
    // format: an SDL pixel format of 4 bytes per pixel.
    explicit PictureConverter(uint32_t format) : format_(format) {}

    // False with last_error when the picture has no size or SDL refuses.
    bool convert(const YuvPlanes& in, Picture& out);
    const std::string& last_error() const { return error_; }

private:
    uint32_t format_;
    int mode_ = -1;                // SDL's conversion mode last set
    std::vector<uint8_t> packed_;  // the three planes one after the other, as SDL reads them
    std::string error_;
};

}  // namespace sorvane::viewer
