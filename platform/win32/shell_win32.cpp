#include <windows.h>
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
        const HINSTANCE r = ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        return static_cast<int64_t>(reinterpret_cast<INT_PTR>(r));
    }
};

}  // namespace

std::unique_ptr<IShell> make_shell() { return std::make_unique<Win32Shell>(); }

}  // namespace sorvane::platform
