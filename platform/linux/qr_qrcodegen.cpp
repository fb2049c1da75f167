#include <qrcodegen/qrcodegen.h>

#include <string>

#include "platform/qr.h"

namespace sorvane::platform {

bool qr_encode_text(std::string_view text, QrSymbol& out) {
    // Work buffers sized for the largest symbol.
    std::vector<uint8_t> qr(qrcodegen_BUFFER_LEN_MAX);
    std::vector<uint8_t> temp(qrcodegen_BUFFER_LEN_MAX);
    const std::string z(text);  // the library wants a terminated string
    if (z.size() != text.size() || z.find('\0') != std::string::npos) return false;
    if (!qrcodegen_encodeText(z.c_str(), temp.data(), qr.data(), qrcodegen_Ecc_MEDIUM, qrcodegen_VERSION_MIN,
                              qrcodegen_VERSION_MAX, qrcodegen_Mask_AUTO, true)) {
        return false;
    }
    out.size = qrcodegen_getSize(qr.data());
    out.version = (out.size - 17) / 4;
    out.modules.assign(static_cast<size_t>(out.size) * static_cast<size_t>(out.size), false);
    for (int y = 0; y < out.size; ++y) {
        for (int x = 0; x < out.size; ++x) {
            out.modules[static_cast<size_t>(y) * static_cast<size_t>(out.size) + static_cast<size_t>(x)] =
                qrcodegen_getModule(qr.data(), x, y);
        }
    }
    return true;
}

}  // namespace sorvane::platform
