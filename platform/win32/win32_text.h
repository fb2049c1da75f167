// The one place where text crosses the Windows boundary: UTF-8 inside the
// system, UTF-16 for the wide Windows functions. Also the system's own text for
// an error number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvane::platform::win32 {

// UTF-8 to UTF-16. Invalid sequences become U+FFFD.
std::wstring widen(std::string_view utf8);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view utf16);

// The system's message for a Win32 or WSA error number, without the trailing
// line break; "unknown error" when it has none.
std::string error_text(uint32_t code);

}  // namespace sorvane::platform::win32
