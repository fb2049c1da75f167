#include "host/trust/tls_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace sorvane {

namespace {

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
    va_list args;
    va_start(args, format);
    vtls_log(format, args);
    va_end(args);
}

void vtls_log(const char* format, va_list args) {
    char buf[512];
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
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

void set_tls_log_sink(std::function<void(std::string_view)> s) {
    std::lock_guard<std::mutex> lock(sink_mutex());
    sink() = std::move(s);
}

}  // namespace sorvane
