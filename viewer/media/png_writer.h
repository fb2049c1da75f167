// Writes RGB pictures as PNG files: stored (uncompressed) deflate blocks,
// so no compression library is needed; the file is larger, nothing more.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "viewer/media/picture.h"

namespace sorvane::viewer {

std::vector<uint8_t> encode_png(const RgbImage& image);
// False with error when the picture is empty or the file cannot be written.
bool write_png(const std::string& path, const RgbImage& image, std::string& error);

}  // namespace sorvane::viewer
