// FILETIME (100 ns units since 1601-01-01) as Unix milliseconds, for the
// ports that hand file, certificate and crash times to portable code.
#pragma once

#include <windows.h>

#include <cstdint>

namespace sorvane::platform::win32 {

inline int64_t unix_ms_of(const FILETIME& ft) {
    const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(t / 10'000) - 11'644'473'600'000LL;  // 1601 -> 1970
}

}  // namespace sorvane::platform::win32
