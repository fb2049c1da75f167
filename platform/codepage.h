// Console code pages: what a Windows console program writes is in the OEM
// code page (437 in the US, 857 in Turkey, ...). Text read from a child's
// output is converted to UTF-8 before it is searched or logged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sorvane::platform {

// Bytes in code page cp to UTF-8. Known: the OEM code pages 437, 850, 857,
// the ANSI code pages 1252, 1254 and 65001 (UTF-8, passed through); other
// code pages are read as 437.
std::string oem_to_utf8(std::string_view bytes, uint32_t cp);
// UTF-8 to code page cp; characters the code page lacks become '?'.
std::string utf8_to_oem(std::string_view text, uint32_t cp);

}  // namespace sorvane::platform
