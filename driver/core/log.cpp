#include "driver/core/log.h"

#include <cinttypes>
#include <cstdio>

#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace sorvane::vdd {

namespace {

std::atomic<int> g_level{kLogDebug};
std::mutex g_install_mutex;  // guards g_log and serialises writes through it
DriverLog* g_log = nullptr;

}  // namespace

std::string driver_data_folder(std::string_view program_data) {
    return platform::join_path(platform::join_path(program_data, "Sorvane"), "VDD");
}

std::string driver_log_folder(std::string_view program_data) {
    return platform::join_path(driver_data_folder(program_data), "Logs");
}

std::string log_file_name(const platform::CivilTime& t) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "sv_%04" PRIu32 "-%02" PRIu32 "-%02" PRIu32 ".log", t.year, t.month, t.day);
    return buf;
}

std::string format_log_line(const platform::CivilTime& t, int level, std::string_view text) {
    char stamp[64];
    const int n = std::snprintf(stamp, sizeof stamp,
                                "%04" PRIu32 "-%02" PRIu32 "-%02" PRIu32 " %02" PRIu32 ":%02" PRIu32 ":%02" PRIu32
                                ".%03" PRIu32 " [%c] ",
                                t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                                level >= kLogDebug ? 'D' : 'I');
    std::string line;
    line.reserve(static_cast<size_t>(n) + text.size() + 2);
    line.append(stamp, static_cast<size_t>(n));
    const size_t start = line.size();
    line.append(text);
    scrub_control_in_place(line.data() + start, text.size());
    line.append("\r\n");
    return line;
}

DriverLog::DriverLog(platform::IClock& clock, std::string log_folder, uint64_t cap)
    : clock_(clock), folder_(std::move(log_folder)), cap_(cap) {}

void DriverLog::write(int level, std::string_view text) {
    try {
        // One reading of the clock names the file and stamps the line, so a
        // line written across midnight never lands in the other day's file.
        const platform::CivilTime now = clock_.local_time(clock_.wall_ms());
        const std::string line = format_log_line(now, level, text);
        const std::string path = platform::join_path(folder_, log_file_name(now));

        std::lock_guard<std::mutex> g(mutex_);
        auto file = platform::open_append(path);
        if (!file) {
            // Only the last folder is created; a missing data folder means
            // the driver was not installed and there is nowhere to log.
            platform::create_directory(folder_);
            file = platform::open_append(path);
            if (!file) return;
        }
        uint64_t size = 0;
        if (!platform::file_size(path, size).ok() || size >= cap_) return;
        file->append(line);
    } catch (...) {
        // Logging never fails its caller.
    }
}

int log_level() { return g_level.load(std::memory_order_relaxed); }

void set_log_level(int level) {
    if (level < kLogOff) level = kLogOff;
    if (level > kLogDebug) level = kLogDebug;
    g_level.store(level, std::memory_order_relaxed);
}

void install_driver_log(DriverLog* log) {
    std::lock_guard<std::mutex> g(g_install_mutex);
    g_log = log;
}

void write_log(int level, std::string_view text) {
    if (!log_enabled(level)) return;
    std::lock_guard<std::mutex> g(g_install_mutex);
    if (g_log != nullptr) g_log->write(level, text);
}

LineLogger make_line_logger(int level, std::string prefix) {
    return LineLogger([level] { return log_enabled(level); },
                      [level, prefix = std::move(prefix)](std::string_view text) {
                          std::string line;
                          line.reserve(prefix.size() + text.size());
                          line.append(prefix).append(text);
                          write_log(level, line);
                      });
}

}  // namespace sorvane::vdd
