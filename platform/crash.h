// Crash port: fault handlers that run on an alternate stack, and the few
// async-signal-safe primitives the crash path may use (no locks, no heap, no
// stdio): open, write, close, the clocks and the process id. The handlers
// report Windows exception codes so that the crash lines read the same on
// every platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sorvane::platform {

inline constexpr uint32_t kExceptionAccessViolation = 0xC0000005u;     // SIGSEGV
inline constexpr uint32_t kExceptionInPageError = 0xC0000006u;         // SIGBUS
inline constexpr uint32_t kExceptionIllegalInstruction = 0xC000001Du;  // SIGILL
inline constexpr uint32_t kExceptionIntDivideByZero = 0xC0000094u;     // SIGFPE
inline constexpr uint32_t kExceptionFatalAppExit = 0x40000015u;        // SIGABRT (abort)

// Called on the failing thread, on the alternate stack; it must be
// async-signal-safe. When it returns, the process ends by the fault's default
// action.
using FaultCallback = void (*)(uint32_t code, uintptr_t address);

// Installs the handlers of SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT (on
// Windows the unhandled-exception filter, the SIGABRT handler and the run-time
// library's invalid-parameter handler, which reports the code 0xE0000002),
// with an alternate stack for the calling thread. Idempotent.
bool install_fault_handlers(FaultCallback callback);

// Gives the calling thread an alternate stack of its own for the handlers
// (freed when the thread ends), so that a thread that overflows its stack
// still leaves its record. A thread that has one already keeps it. Every
// thread of the host calls it first.
bool install_thread_fault_stack();

// Handles for the crash path; -1 is "none".
int crash_open_append(const char* path);  // done in advance, outside the crash path
int crash_create_file(const char* path, int& error);  // replaces an existing file
bool crash_make_directory(const char* path);          // one level; true when it exists
bool crash_write(int handle, const char* data, size_t size);
int crash_last_error();  // the system error of the last failed call
void crash_close(int handle);
int crash_stderr_handle();

int64_t crash_wall_ms();
uint64_t crash_monotonic_us();
uint32_t crash_process_id();

// Writes a minidump of this process into handle (a normal dump): with the
// exception the fault handler is handling when called from its callback,
// else with a record of code and address over the calling thread's context.
// 1 when written, 0 when the dump failed (crash_last_error tells why), -1 on
// a platform that has no minidumps (the caller writes a record of its own).
int crash_write_minidump(int handle, uint32_t code, uintptr_t address);

// Ends the process at once as an abort does, without running the abort
// handler again.
[[noreturn]] void crash_abort_process();

}  // namespace sorvane::platform
