#include <windows.h>

#include "platform/instance.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

class MutexGuard final : public InstanceGuard {
public:
    explicit MutexGuard(HANDLE h) : h_(h) {}
    ~MutexGuard() override {
        ReleaseMutex(h_);
        CloseHandle(h_);
    }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    HANDLE h_;
};

// The tray window's private messages: 0x8001 with lParam WM_LBUTTONUP opens the panel.
constexpr UINT kTrayMessage = 0x8001;

}  // namespace

std::unique_ptr<InstanceGuard> create_instance_guard(const std::string& name, bool& already_existed) {
    already_existed = false;
    const std::wstring wname = win32::widen(name);
    if (wname.empty()) return nullptr;
    // Created initially owned; the name lives in the session's namespace.
    HANDLE h = CreateMutexW(nullptr, TRUE, wname.c_str());
    if (h == nullptr) {
        // Another user's object of the same name refuses access: it is held.
        already_existed = GetLastError() == ERROR_ACCESS_DENIED;
        return nullptr;
    }
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        already_existed = true;
        CloseHandle(h);
        return nullptr;
    }
    return std::make_unique<MutexGuard>(h);
}

bool request_running_instance_panel() {
    const HWND window = FindWindowW(L"SorvaneTrayWindow", nullptr);
    if (window == nullptr) return false;
    return PostMessageW(window, kTrayMessage, 0, WM_LBUTTONUP) != 0;
}

}  // namespace sorvane::platform
