// The Windows error numbers the ports carry, from the errno of the Linux call
// that failed the same way: a log line shows "WSA 10048" for a port in use on
// every platform.
#pragma once

#include <cstdint>
#include <string>

namespace sorvane::platform {

// The Winsock error (WSAE...) for a socket call's errno; an errno without a
// Winsock counterpart is kept as it is.
int wsa_error_from_errno(int e);

// The Win32 error (ERROR_...) for a file call's errno; an errno without a
// Win32 counterpart is kept as it is.
uint32_t win32_error_from_errno(int e);

// A short English text for a Winsock or Win32 error number ("address already
// in use"); "error <n>" for numbers it does not know.
std::string windows_error_text(int64_t code);

}  // namespace sorvane::platform
