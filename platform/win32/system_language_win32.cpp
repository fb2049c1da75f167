// The language facts from the national-language functions of the system.
// GetUserDefaultGeoName exists from Windows 10 1709 on; it is looked up at
// run time so that an older kernel32 (or Wine) answers "unknown" instead of
// failing to load the program.
#include <windows.h>

#include "platform/system_language.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {
namespace {

using GetGeoNameFn = int(WINAPI*)(LPWSTR, int);

class WindowsSystemLanguage final : public ISystemLanguage {
public:
    uint16_t user_default_ui_language() override { return static_cast<uint16_t>(GetUserDefaultUILanguage()); }

    bool user_default_geo_name(std::string& out) override {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        if (kernel == nullptr) return false;
        auto fn = reinterpret_cast<GetGeoNameFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetUserDefaultGeoName")));
        if (fn == nullptr) return false;
        wchar_t name[16] = {};
        const int n = fn(name, 16);
        if (n <= 1) return false;  // the count includes the terminating zero
        out = win32::narrow(std::wstring_view(name, static_cast<size_t>(n - 1)));
        return !out.empty();
    }

    bool user_default_locale_name(std::string& out) override {
        wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
        const int n = GetUserDefaultLocaleName(name, LOCALE_NAME_MAX_LENGTH);
        if (n <= 1) return false;
        out = win32::narrow(std::wstring_view(name, static_cast<size_t>(n - 1)));
        return !out.empty();
    }

    bool time_zone_key_name(std::string& out) override {
        DYNAMIC_TIME_ZONE_INFORMATION tz{};
        if (GetDynamicTimeZoneInformation(&tz) == TIME_ZONE_ID_INVALID) return false;
        size_t n = 0;
        while (n < sizeof tz.TimeZoneKeyName / sizeof tz.TimeZoneKeyName[0] && tz.TimeZoneKeyName[n] != 0) ++n;
        if (n == 0) return false;
        out = win32::narrow(std::wstring_view(tz.TimeZoneKeyName, n));
        return true;
    }
};

}  // namespace

std::unique_ptr<ISystemLanguage> make_system_language() { return std::make_unique<WindowsSystemLanguage>(); }

}  // namespace sorvane::platform
