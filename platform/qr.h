// QR code encoding: text to a symbol of dark and light modules (byte data,
// error correction medium, versions 1 to 40, automatic mask, boosted
// correction level).
#pragma once

#include <string_view>
#include <vector>

namespace sorvane::platform {

struct QrSymbol {
    int version = 0;
    int size = 0;               // modules per side
    std::vector<bool> modules;  // row-major, size * size; true = dark
    bool dark(int x, int y) const { return modules[static_cast<size_t>(y) * static_cast<size_t>(size) + static_cast<size_t>(x)]; }
};

// False when the text does not fit version 40.
bool qr_encode_text(std::string_view text, QrSymbol& out);

// The same symbol computed without the QR library (the Windows build has none).
bool qr_encode_text_builtin(std::string_view text, QrSymbol& out);

}  // namespace sorvane::platform
