#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "platform/shell.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

class Win32Shell final : public IShell {
public:
    int64_t open(const std::string& target) override {
        const std::wstring wide = win32::widen(target);
        if (wide.empty()) return ERROR_FILE_NOT_FOUND;
        // Some targets are opened through COM handlers; the calling thread may
        // be any thread of the host, so it joins an apartment for the call
        // (one it is already in, of either kind, serves as well).
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        const HINSTANCE r = ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        if (SUCCEEDED(com)) CoUninitialize();
        return static_cast<int64_t>(reinterpret_cast<INT_PTR>(r));
    }

    int64_t show_in_folder(const std::string& path) override {
        const std::wstring wide = win32::widen(path);
        if (wide.empty()) return ERROR_FILE_NOT_FOUND;
        const std::wstring parameters = L"/select,\"" + wide + L"\"";
        const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        const HINSTANCE r = ShellExecuteW(nullptr, L"open", L"explorer.exe", parameters.c_str(), nullptr, SW_SHOWNORMAL);
        if (SUCCEEDED(com)) CoUninitialize();
        return static_cast<int64_t>(reinterpret_cast<INT_PTR>(r));
    }
};

}  // namespace

std::unique_ptr<IShell> make_shell() { return std::make_unique<Win32Shell>(); }

}  // namespace sorvane::platform
