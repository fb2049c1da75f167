#include "host/trust/tls_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace sorvane {

namespace {

thread_local bool t_quiet = false;

std::mutex& sink_mutex() {
    static std::mutex m;
    return m;
}

std::function<void(std::string_view)>& sink() {
    static std::function<void(std::string_view)> s;
    return s;
}

}  // namespace

void tls_log(const char* format, ...) {
    if (t_quiet) return;
    char buf[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0) return;
    const size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
    std::lock_guard<std::mutex> lock(sink_mutex());
    if (sink()) {
        sink()(std::string_view(buf, len));
        return;
    }
    std::fwrite(buf, 1, len, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void set_tls_quiet(bool on) { t_quiet = on; }

bool tls_quiet() { return t_quiet; }

void set_tls_log_sink(std::function<void(std::string_view)> s) {
    std::lock_guard<std::mutex> lock(sink_mutex());
    sink() = std::move(s);
}

}  // namespace sorvane
