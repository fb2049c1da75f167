#include "host/core/log.h"

#include <cinttypes>
#include <cstdio>

#include "common/text.h"
#include "platform/paths.h"

namespace sorvane {

namespace {

const char kLogFileName[] = "sorvane-host.log";

// vsnprintf into a fixed buffer; a message that is cut ends on a UTF-8 boundary.
SORVANE_PRINTF(2, 0) std::string format_cut(size_t buffer, const char* format, va_list args) {
    std::string out(buffer, '\0');
    const int n = std::vsnprintf(out.data(), buffer, format, args);
    if (n < 0) return {};
    const size_t len = static_cast<size_t>(n) < buffer ? static_cast<size_t>(n) : buffer - 1;
    out.resize(len);
    if (static_cast<size_t>(n) >= buffer) out.resize(utf8_complete_length(out));
    return out;
}

}  // namespace

std::string format_log_line(uint64_t elapsed_us, std::string_view message) {
    const uint64_t ms = (elapsed_us + 500) / 1000;
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "[+%4" PRIu64 ".%03u] ", ms / 1000, static_cast<unsigned>(ms % 1000));
    std::string line(prefix);
    line.append(message);
    line.push_back('\n');
    return line;
}

void rotate_log_files(const std::string& file) {
    uint64_t size = 0;
    if (!platform::file_size(file, size).ok() || size <= kLogRotateBytes) return;
    platform::remove_file(file + "." + std::to_string(kLogKeptFiles));
    for (int i = kLogKeptFiles - 1; i >= 1; --i) {
        platform::rename_file(file + "." + std::to_string(i), file + "." + std::to_string(i + 1));
    }
    platform::rename_file(file, file + ".1");
}

Logger::Logger(platform::IClock& clock) : clock_(clock) {}

void Logger::open(bool echo, const std::string& folder) {
    echo_.store(echo);
    if (folder.empty()) return;
    if (!platform::create_directories(folder).ok()) return;
    const std::string file = platform::join_path(folder, kLogFileName);
    rotate_log_files(file);
    auto f = platform::open_append(file);
    std::lock_guard<std::mutex> g(mutex_);
    file_ = std::move(f);
}

void Logger::set_echo_sink(std::function<void(std::string_view)> sink) {
    std::lock_guard<std::mutex> g(mutex_);
    echo_sink_ = std::move(sink);
}

bool Logger::has_file() const {
    std::lock_guard<std::mutex> g(mutex_);
    return file_ != nullptr;
}

void Logger::write(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite(format, args);
    va_end(args);
}

void Logger::vwrite(const char* format, va_list args) {
    std::call_once(base_once_, [this] { base_us_ = clock_.now_us(); });
    emit(scrub_text(format_cut(kLogMessageBuffer, format, args)));
}

void Logger::emit(std::string_view message) {
    std::lock_guard<std::mutex> g(mutex_);
    const uint64_t now = clock_.now_us();
    const std::string line = format_log_line(now >= base_us_ ? now - base_us_ : 0, message);
    if (echo_.load()) {
        if (echo_sink_) {
            echo_sink_(line);
        } else {
            std::fwrite(line.data(), 1, line.size(), stdout);
            std::fflush(stdout);
        }
    }
    if (file_) file_->append(line);
}

Logger& process_log() {
    static std::unique_ptr<platform::IClock> clock = platform::make_system_clock();
    static Logger logger(*clock);
    return logger;
}

void open_log(bool echo, const std::string& folder) { process_log().open(echo, folder); }

void log(const char* format, ...) {
    va_list args;
    va_start(args, format);
    process_log().vwrite(format, args);
    va_end(args);
}

void session_log(uint32_t session, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string message = format_cut(kSessionLogBuffer, format, args);
    va_end(args);
    log("[session %u] %s", static_cast<unsigned>(session), message.c_str());
}

}  // namespace sorvane
