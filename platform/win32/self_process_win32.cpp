// This program's own process: GetModuleFileNameW, and CreateProcessW with
// the program's own command line.
#include <windows.h>

#include "platform/process.h"
#include "platform/self_process.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

bool module_path(std::wstring& out) {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return false;
        if (n < buf.size()) {
            buf.resize(n);
            out = std::move(buf);
            return true;
        }
        if (buf.size() >= 32768) return false;
        buf.resize(buf.size() * 2);
    }
}

}  // namespace

bool module_file_name(std::string& out) {
    std::wstring path;
    if (!module_path(path)) return false;
    out = win32::narrow(path);
    return !out.empty();
}

uint32_t start_self_again(const std::vector<std::string>& extra_args) {
    std::wstring program;
    if (!module_path(program)) return GetLastError();
    std::wstring cmd = GetCommandLineW();
    for (const std::string& a : extra_args) cmd += L" " + win32::widen(quote_argument(a));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(program.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return GetLastError();
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

}  // namespace sorvane::platform
