// No QR library in this build: the built-in encoder makes the same symbols.
#include "platform/qr.h"

namespace sorvane::platform {

bool qr_encode_text(std::string_view text, QrSymbol& out) { return qr_encode_text_builtin(text, out); }

}  // namespace sorvane::platform
