// The "[tls]" lines: written straight to standard output (no time stamp, not
// in the log file), one line each, cut to 511 bytes. A channel made quiet
// writes none.
#pragma once

#include <cstdarg>
#include <functional>
#include <string_view>

#include "common/printf_format.h"

namespace sorvane {

void tls_log(const char* format, ...) SORVANE_PRINTF(1, 2);
void vtls_log(const char* format, va_list args) SORVANE_PRINTF(1, 0);

// Where the lines go instead of standard output (the line without its
// newline); an empty function restores standard output. For tests. The sink
// runs under the writer's lock and must not write "[tls]" lines itself.
void set_tls_log_sink(std::function<void(std::string_view)> sink);

}  // namespace sorvane
