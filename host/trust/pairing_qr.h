// The pairing URI as a QR code: path data the panel draws, and a whole SVG
// file for the console.
#pragma once

#include <string>
#include <string_view>

namespace sorvane {

struct QrPathResult {
    int total_size = 0;  // symbol size + 2 * border, in modules
    std::string path;    // "M<x>,<y>h1v1h-1z" per dark module
    bool ok = false;
};

QrPathResult qr_path(std::string_view text, int border);

// Writes the SVG of text to path (replacing it); true when written completely.
bool qr_svg_file(std::string_view text, const std::string& path, int scale, int border);

// The code drawn for a terminal with Unicode half blocks, two module rows per
// line, light modules drawn (terminals show light text on a dark ground) and
// the quiet zone included. Empty when the text does not encode.
std::string qr_terminal_text(std::string_view text, int border);

// The SVG document qr_svg_file writes; empty when the text does not encode.
std::string qr_svg_text(std::string_view text, int scale, int border);

}  // namespace sorvane
