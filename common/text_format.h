// printf-style formatting into a std::string (C locale numbers), for
// error texts and log lines.
#pragma once

#include <cstdarg>
#include <string>

#include "common/printf_format.h"

namespace sorvane {

std::string format_text(const char* fmt, ...) SORVANE_PRINTF(1, 2);

}  // namespace sorvane
