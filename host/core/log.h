// The host's log: one line per call, "[+elapsed] message", to a file in the
// user's data folder (rotated at start-up) and, in console mode, to standard
// output. Callable from any thread.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "common/printf_format.h"
#include "platform/clock.h"
#include "platform/files.h"


namespace sorvane {

// Messages are cut to fit these buffers (terminator included).
inline constexpr size_t kLogMessageBuffer = 1024;
inline constexpr size_t kSessionLogBuffer = 768;
// A current log file larger than this is rotated at start-up.
inline constexpr uint64_t kLogRotateBytes = 2'097'152;
inline constexpr int kLogKeptFiles = 5;

class Logger {
public:
    // clock: the source of the elapsed time (kept for the logger's life).
    explicit Logger(platform::IClock& clock);

    // folder: where sorvane-host.log lives; empty = no file for this run.
    // Creates the folder, rotates and opens the current file.
    void open(bool echo, const std::string& folder);

    // Formats and writes one line. Control bytes, DEL and bytes that are not
    // valid UTF-8 become '?' (see scrub_text); a peer's text in the arguments
    // goes through peer_text first, so a NUL cannot cut it short.
    void write(const char* format, ...) SORVANE_PRINTF(2, 3);
    void vwrite(const char* format, va_list args) SORVANE_PRINTF(2, 0);

    // Where echoed lines go (standard output by default).
    void set_echo_sink(std::function<void(std::string_view)> sink);
    bool has_file() const;

private:
    void emit(std::string_view message);

    platform::IClock& clock_;
    std::once_flag base_once_;
    uint64_t base_us_ = 0;
    std::atomic<bool> echo_{false};
    mutable std::mutex mutex_;
    std::unique_ptr<platform::AppendFile> file_;
    std::function<void(std::string_view)> echo_sink_;
};

// Rotates <file>.1 .. <file>.5 when file is larger than kLogRotateBytes.
void rotate_log_files(const std::string& file);

// The line written for a message at an elapsed time in microseconds:
// "[+%8.3f] %s\n" with the C locale's decimal point.
std::string format_log_line(uint64_t elapsed_us, std::string_view message);

// The process-wide log.
Logger& process_log();
void open_log(bool echo, const std::string& folder);
void log(const char* format, ...) SORVANE_PRINTF(1, 2);
void session_log(uint32_t session, const char* format, ...) SORVANE_PRINTF(2, 3);

}  // namespace sorvane
