// The "[tls]" lines: written straight to standard output (no time stamp, not
// in the log file), one line each, cut to 511 bytes. A thread can switch its
// own lines off while it runs handshakes whose lines are not wanted.
#pragma once

#include <functional>
#include <string_view>

#include "common/printf_format.h"

namespace sorvane {

void tls_log(const char* format, ...) SORVANE_PRINTF(1, 2);

// The calling thread's switch; off by default.
void set_tls_quiet(bool on);
bool tls_quiet();

// Where the lines go instead of standard output (the line without its
// newline); an empty function restores standard output. For tests. The sink
// runs under the writer's lock and must not write "[tls]" lines itself.
void set_tls_log_sink(std::function<void(std::string_view)> sink);

}  // namespace sorvane
