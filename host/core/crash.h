// Crash handling: a fault, an uncaught C++ exception or std::terminate logs a
// line and leaves one crash record named after the UTC time and the process
// id in the crash folder, then the process ends. The crash path takes no lock
// and allocates nothing: the folder name and the log's descriptor are set up
// in advance, and every line is written with one write to that descriptor, so
// a crash while another thread (or this one) holds the log's lock still
// leaves its record and its line.
#pragma once

#include <cstdint>
#include <string>

namespace sorvane {

// Exception codes of the failures that are not processor exceptions.
inline constexpr uint32_t kCrashCodeTerminate = 0xE0000001u;
inline constexpr uint32_t kCrashCodeInvalidParameter = 0xE0000002u;

// "<local app data>/Sorvane/crash"; empty when the folder is unknown.
std::string default_crash_folder();

// Installs the terminate handler and the fault handlers, first thing in
// main. crash_folder is created (with its parents) only when a record is
// written, so that installing touches no folder of the user's; empty means
// no record can be written. Safe to call again (the folder is replaced).
bool install_crash_handlers(const std::string& crash_folder);

// Opens the log file for the crash lines (appending). Call after the log is
// open; until then crash lines go to standard error only.
bool set_crash_log_file(const std::string& path);

// "sorvane-host-%04u%02u%02u-%02u%02u%02u-%u.dmp" for a UTC wall time and pid.
std::string crash_file_name(int64_t wall_ms, uint32_t pid);

// Writes a crash record for an exception code and address and logs the
// outcome ("[crash] minidump yazildi: ..." or the failure). Async-signal-safe.
void write_crash_record(uint32_t code, uintptr_t address);

}  // namespace sorvane
