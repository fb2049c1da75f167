// The crash port on Windows: the unhandled-exception filter, the SIGABRT
// handler and the run-time library's invalid-parameter handler call the
// callback on the failing thread; the minidump is written by DbgHelp with the
// exception being handled. Handles cross the port as the 32-bit values
// Windows guarantees kernel handles fit in. Nothing here takes a lock or
// allocates: paths are converted into stack buffers.
#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <csignal>
#include <cstdlib>

#include "platform/crash.h"
#include "platform/win32/file_time.h"

namespace sorvane::platform {

namespace {

std::atomic<FaultCallback> g_callback{nullptr};
std::atomic<bool> g_installed{false};
std::atomic<int> g_in_handler{0};
// The exception the filter is handling, for the minidump of its callback.
std::atomic<EXCEPTION_POINTERS*> g_exception{nullptr};
std::atomic<DWORD> g_exception_thread{0};

constexpr uint32_t kInvalidParameterCode = 0xE0000002u;
constexpr UINT kCrashExitCode = 3;

int to_int(HANDLE h) { return h == nullptr ? -1 : static_cast<int>(HandleToLong(h)); }
HANDLE to_handle(int h) { return LongToHandle(h); }

// UTF-8 to UTF-16 into a fixed buffer; false when it does not fit.
bool wide_path(const char* path, wchar_t (&out)[1024]) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, out, 1024);
    return n > 0;
}

// Runs the callback once per process; a fault inside it ends the process.
void report(uint32_t code, uintptr_t address) {
    if (g_in_handler.fetch_add(1) != 0) return;
    if (FaultCallback cb = g_callback.load()) cb(code, address);
}

LONG WINAPI on_unhandled(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* rec = info != nullptr ? info->ExceptionRecord : nullptr;
    g_exception.store(info);
    g_exception_thread.store(GetCurrentThreadId());
    report(rec != nullptr ? rec->ExceptionCode : 0,
           rec != nullptr ? reinterpret_cast<uintptr_t>(rec->ExceptionAddress) : 0);
    g_exception.store(nullptr);
    return EXCEPTION_EXECUTE_HANDLER;
}

void on_abort(int) {
    report(kExceptionFatalAppExit, 0);
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
}

void on_invalid_parameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {
    report(kInvalidParameterCode, 0);
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
}

}  // namespace

bool install_fault_handlers(FaultCallback callback) {
    g_callback.store(callback);
    install_thread_fault_stack();
    if (g_installed.exchange(true)) return true;
    SetUnhandledExceptionFilter(on_unhandled);
    _set_invalid_parameter_handler(on_invalid_parameter);
    // No message box, no error reporting dialog: the process just ends.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    return std::signal(SIGABRT, on_abort) != SIG_ERR;
}

bool install_thread_fault_stack() {
    ULONG reserve = 64 * 1024;
    return SetThreadStackGuarantee(&reserve) != 0;
}

int crash_open_append(const char* path) {
    wchar_t w[1024];
    if (!wide_path(path, w)) return -1;
    HANDLE h = CreateFileW(w, FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? -1 : to_int(h);
}

int crash_create_file(const char* path, int& error) {
    wchar_t w[1024];
    if (!wide_path(path, w)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return -1;
    }
    HANDLE h = CreateFileW(w, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    error = h == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
    return h == INVALID_HANDLE_VALUE ? -1 : to_int(h);
}

bool crash_make_directory(const char* path) {
    wchar_t w[1024];
    if (!wide_path(path, w)) return false;
    // "C:" alone names a drive's current folder, not one to create.
    if (w[0] != 0 && w[1] == L':' && w[2] == 0) return true;
    return CreateDirectoryW(w, nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool crash_write(int handle, const char* data, size_t size) {
    if (handle == -1) return false;
    while (size > 0) {
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(to_handle(handle), data, chunk, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

int crash_last_error() { return static_cast<int>(GetLastError()); }

void crash_close(int handle) {
    if (handle != -1) CloseHandle(to_handle(handle));
}

int crash_stderr_handle() {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    return h == INVALID_HANDLE_VALUE ? -1 : to_int(h);
}

int64_t crash_wall_ms() {
    FILETIME ft{};
    GetSystemTimePreciseAsFileTime(&ft);
    return win32::unix_ms_of(ft);
}

uint64_t crash_monotonic_us() {
    LARGE_INTEGER f{}, c{};
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    const uint64_t freq = static_cast<uint64_t>(f.QuadPart);
    const uint64_t count = static_cast<uint64_t>(c.QuadPart);
    return count / freq * 1'000'000 + count % freq * 1'000'000 / freq;
}

uint32_t crash_process_id() { return GetCurrentProcessId(); }

int crash_write_minidump(int handle, uint32_t code, uintptr_t address) {
    if (handle == -1) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    EXCEPTION_POINTERS* pointers = nullptr;
    if (g_exception_thread.load() == GetCurrentThreadId()) pointers = g_exception.load();
    // No exception is being handled (the terminate handler, an invalid
    // parameter): a record of code and address over this thread's context.
    CONTEXT context{};
    EXCEPTION_RECORD record{};
    EXCEPTION_POINTERS made{};
    if (pointers == nullptr) {
        RtlCaptureContext(&context);
        record.ExceptionCode = code;
        record.ExceptionAddress = reinterpret_cast<void*>(address);
        made.ExceptionRecord = &record;
        made.ContextRecord = &context;
        pointers = &made;
    }
    MINIDUMP_EXCEPTION_INFORMATION info{};
    info.ThreadId = GetCurrentThreadId();
    info.ExceptionPointers = pointers;
    info.ClientPointers = FALSE;
    return MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), to_handle(handle), MiniDumpNormal, &info,
                             nullptr, nullptr)
               ? 1
               : 0;
}

void crash_abort_process() { TerminateProcess(GetCurrentProcess(), kCrashExitCode); __builtin_unreachable(); }

}  // namespace sorvane::platform
