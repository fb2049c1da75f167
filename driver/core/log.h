// The driver's own log: one plain-text file per local day in the driver's
// data folder, opened and closed for every line so that it can be read or
// deleted while the driver runs. A process-wide level (0 off, 1 info,
// 2 debug) decides what is written; callers test it before building text.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "platform/clock.h"

namespace sorvane::vdd {

inline constexpr int kLogOff = 0;
inline constexpr int kLogInfo = 1;
inline constexpr int kLogDebug = 2;

// A day's file stops growing once it has reached this size; later lines of
// that day are dropped, the file is never truncated.
inline constexpr uint64_t kLogFileCap = 8'388'608;

// "<program data>/Sorvane/VDD" and its "Logs" folder.
std::string driver_data_folder(std::string_view program_data);
std::string driver_log_folder(std::string_view program_data);
// "sv_YYYY-MM-DD.log" of a local date.
std::string log_file_name(const platform::CivilTime& local);
// "YYYY-MM-DD hh:mm:ss.mmm [I] text\r\n" ("D" for debug). Control bytes in
// text become '?' so a line can never be split or forged.
std::string format_log_line(const platform::CivilTime& local, int level, std::string_view text);

// Writes lines into the day files of one folder.
class DriverLog {
public:
    DriverLog(platform::IClock& clock, std::string log_folder, uint64_t cap = kLogFileCap);

    // Writes one line at level 1 (info) or 2 (debug) whatever the process
    // level is. Never fails its caller: a line that cannot be written is dropped.
    void write(int level, std::string_view text);

    const std::string& folder() const { return folder_; }

private:
    platform::IClock& clock_;
    std::string folder_;
    uint64_t cap_;
    std::mutex mutex_;
};

// The process-wide level; 2 (debug) at load.
int log_level();
void set_log_level(int level);
inline bool log_enabled(int level) { return level >= kLogInfo && log_level() >= level; }

// Makes log the destination of write_log (null stops writing). The caller
// keeps it alive until it is uninstalled.
void install_driver_log(DriverLog* log);
// Writes through the installed log when the level admits the line.
void write_log(int level, std::string_view text);

// A component's way into the log: it tells whether a line would be written
// and writes it. Components hold one instead of calling write_log, so tests
// can capture their lines. An empty logger discards everything.
class LineLogger {
public:
    using Enabled = std::function<bool()>;
    using Write = std::function<void(std::string_view)>;

    LineLogger() = default;
    // Always enabled.
    explicit LineLogger(Write write) : write_(std::move(write)) {}
    LineLogger(Enabled enabled, Write write) : enabled_(std::move(enabled)), write_(std::move(write)) {}

    bool enabled() const { return write_ && (!enabled_ || enabled_()); }
    void write(std::string_view text) const {
        if (enabled()) write_(text);
    }
    // Runs build (returning the text) only when the line would be written.
    template <class Build>
    void log(Build&& build) const {
        if (enabled()) write_(std::forward<Build>(build)());
    }

private:
    Enabled enabled_;
    Write write_;
};

// A logger into write_log at level with prefix put before every line
// ("[ctl] ", "[pipe] ").
LineLogger make_line_logger(int level, std::string prefix);

}  // namespace sorvane::vdd
