// The desktop that receives input, shared by the input and display ports.
#pragma once

#include <cstdint>
#include <string>

namespace sorvane::platform::win32 {

// OpenInputDesktop and its name ("Default", "Winlogon"); false with the
// Win32 error when it cannot be opened or named.
bool input_desktop_name(std::string& out, uint32_t& error);

}  // namespace sorvane::platform::win32
