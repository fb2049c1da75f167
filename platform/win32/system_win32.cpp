#include <windows.h>

#include "platform/system.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

bool computer_name(std::string& out) {
    wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(buf, &n) || n == 0) return false;
    out = win32::narrow(std::wstring_view(buf, n));
    return !out.empty();
}

bool get_env(const char* name, std::string& out) {
    const std::wstring wname = win32::widen(name);
    if (wname.empty()) return false;
    SetLastError(ERROR_SUCCESS);
    const DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
    if (n == 0) {
        // Set but empty reports 0 with no error.
        if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return false;
        out.clear();
        return true;
    }
    std::wstring value(n, L'\0');
    const DWORD got = GetEnvironmentVariableW(wname.c_str(), value.data(), n);
    if (got >= n) return false;
    value.resize(got);
    out = win32::narrow(value);
    return true;
}

}  // namespace sorvane::platform
