// LUIDs as the ports carry them (high part in the upper 32 bits) and the GDI
// name of a display source, shared by the display configuration, GPU and
// duplication ports.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace sorvane::platform::win32 {

LUID luid_of(uint64_t v);
uint64_t luid_value(const LUID& l);

// DisplayConfigGetDeviceInfo(GET_SOURCE_NAME): "\\.\DISPLAY1"; the Win32 result.
int32_t source_gdi_name(const LUID& adapter, uint32_t source_id, std::string& out);

}  // namespace sorvane::platform::win32
