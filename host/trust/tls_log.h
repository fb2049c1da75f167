// The "[tls]" lines: written straight to standard output (no time stamp, not
// in the log file), one line each, cut to 511 bytes. A thread can switch its
// own lines off while it runs handshakes whose lines are not wanted.
#pragma once

#include <functional>
#include <string_view>

#if defined(__GNUC__)
#define SORVANE_TLS_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define SORVANE_TLS_PRINTF(fmt_index, first_arg)
#endif

namespace sorvane {

void tls_log(const char* format, ...) SORVANE_TLS_PRINTF(1, 2);

// The calling thread's switch; off by default.
void set_tls_quiet(bool on);
bool tls_quiet();

// Where the lines go instead of standard output (the line without its
// newline); an empty function restores standard output. For tests. The sink
// runs under the writer's lock and must not write "[tls]" lines itself.
void set_tls_log_sink(std::function<void(std::string_view)> sink);

}  // namespace sorvane
