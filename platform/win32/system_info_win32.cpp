// The facts the installer tools decide on, from the process token, the
// process list of the console session and the system's own functions.
#include <windows.h>
#include <tlhelp32.h>

#include "common/text.h"
#include "platform/system.h"
#include "platform/system_info.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);

class Win32SystemInfo final : public ISystemInfo {
public:
    bool token_elevated() override {
        win32::Handle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        return GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
               elevation.TokenIsElevated != 0;
    }

    bool token_user_sid(std::string& sid) override {
        win32::Handle token;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return false;
        return win32::token_user_sid(token.get(), sid);
    }

    bool console_user_sid(std::string& sid) override {
        const DWORD console = WTSGetActiveConsoleSessionId();
        if (console == 0xFFFFFFFF) return false;
        win32::Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        if (!snapshot.valid()) return false;
        PROCESSENTRY32W entry{};
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
            if (!iequals_ascii(win32::narrow(entry.szExeFile), "explorer.exe")) continue;
            DWORD session = 0;
            if (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session != console) continue;
            // The first one of the console session decides, readable or not.
            win32::Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
            if (!process.valid()) return false;
            win32::Handle token;
            if (!OpenProcessToken(process.get(), TOKEN_QUERY, token.out())) return false;
            return win32::token_user_sid(token.get(), sid);
        }
        return false;
    }

    std::string native_architecture() override {
        // IsWow64Process2 tells the machine under an emulated x64 process too
        // (an ARM64 machine); older systems only have GetNativeSystemInfo.
        auto fn = reinterpret_cast<IsWow64Process2Fn>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
        USHORT process_machine = 0;
        USHORT native_machine = 0;
        if (fn != nullptr && fn(GetCurrentProcess(), &process_machine, &native_machine)) {
            switch (native_machine) {
                case IMAGE_FILE_MACHINE_AMD64: return "x64";
                case 0xAA64: return "arm64";  // IMAGE_FILE_MACHINE_ARM64
                case IMAGE_FILE_MACHINE_I386: return "x86";
                default: break;
            }
        }
        SYSTEM_INFO si{};
        GetNativeSystemInfo(&si);
        switch (si.wProcessorArchitecture) {
            case PROCESSOR_ARCHITECTURE_AMD64: return "x64";
            case 12: return "arm64";  // PROCESSOR_ARCHITECTURE_ARM64
            case PROCESSOR_ARCHITECTURE_INTEL: return "x86";
            default: return "unknown";
        }
    }

    bool computer_name(std::string& out) override { return platform::computer_name(out); }

    uint32_t oem_code_page() override { return GetOEMCP(); }

    std::string display_language() override {
        wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
        const LCID lcid = MAKELCID(GetUserDefaultUILanguage(), SORT_DEFAULT);
        const int n = LCIDToLocaleName(lcid, name, LOCALE_NAME_MAX_LENGTH, 0);
        if (n <= 1) return "en-US";
        return win32::narrow(std::wstring_view(name, static_cast<size_t>(n - 1)));
    }

    std::string system_directory() override {
        wchar_t buf[MAX_PATH] = {};
        const UINT n = GetSystemDirectoryW(buf, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return "C:\\Windows\\System32";
        return win32::narrow(std::wstring_view(buf, n));
    }

    std::string format_message(uint32_t code) override {
        wchar_t* buf = nullptr;
        const DWORD n = FormatMessageW(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
            code, 0, reinterpret_cast<wchar_t*>(&buf), 0, nullptr);
        std::string text;
        if (n > 0 && buf != nullptr) text = win32::narrow(std::wstring_view(buf, n));
        if (buf != nullptr) LocalFree(buf);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' ||
                                 text.back() == '\t'))
            text.pop_back();
        return text;
    }

    bool user_name(std::string& out) override {
        wchar_t buf[257] = {};
        DWORD n = 257;
        if (!GetUserNameW(buf, &n) || n == 0) return false;
        out = win32::narrow(std::wstring_view(buf, n - 1));
        return true;
    }

    bool user_profile(std::string& out) override {
        wchar_t buf[MAX_PATH] = {};
        const DWORD n = GetEnvironmentVariableW(L"USERPROFILE", buf, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return false;
        out = win32::narrow(std::wstring_view(buf, n));
        return true;
    }

    bool os_version(uint32_t& major, uint32_t& build) override {
        // GetVersionEx lies to programs without a manifest; ntdll's does not.
        using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr) return false;
        auto fn = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof info;
        if (fn == nullptr || fn(&info) != 0) return false;
        major = info.dwMajorVersion;
        build = info.dwBuildNumber;
        return true;
    }

    uint32_t logical_processors() override { return GetActiveProcessorCount(ALL_PROCESSOR_GROUPS); }

    uint64_t physical_memory_bytes() override {
        MEMORYSTATUSEX status{};
        status.dwLength = sizeof status;
        return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
    }
};

}  // namespace

std::unique_ptr<ISystemInfo> make_system_info() { return std::make_unique<Win32SystemInfo>(); }

std::string executable_name(const std::string& name) { return name + ".exe"; }

}  // namespace sorvane::platform
