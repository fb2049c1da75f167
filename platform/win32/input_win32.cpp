// Synthesized keyboard and mouse input (SendInput, MapVirtualKeyW), the
// foreground window's process and its elevation, and the desktop's metrics.
#include <windows.h>

#include <vector>

#include "platform/input.h"
#include "platform/win32/desktop.h"
#include "platform/win32/handle.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace win32 {

bool input_desktop_name(std::string& out, uint32_t& error) {
    HDESK desk = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (desk == nullptr) {
        error = GetLastError();
        return false;
    }
    wchar_t name[256] = {};
    DWORD needed = 0;
    const BOOL ok = GetUserObjectInformationW(desk, UOI_NAME, name, sizeof name - sizeof name[0], &needed);
    error = ok ? 0 : GetLastError();
    CloseDesktop(desk);
    if (!ok) return false;
    out = narrow(name);
    return true;
}

}  // namespace win32

namespace {

TokenQuery query_token(HANDLE process) {
    TokenQuery q;
    win32::Handle token;
    if (!OpenProcessToken(process, TOKEN_QUERY, token.out())) {
        q.error = GetLastError();
        return q;
    }
    q.opened = true;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size))
        q.elevated = elevation.TokenIsElevated != 0;
    return q;
}

class Win32InputSink final : public IInputSink {
public:
    uint32_t send_input(std::span<const InputEvent> events, uint32_t& error) override {
        inputs_.assign(events.size(), INPUT{});
        for (size_t i = 0; i < events.size(); ++i) {
            const InputEvent& e = events[i];
            INPUT& in = inputs_[i];
            if (e.type == kInputMouse) {
                in.type = INPUT_MOUSE;
                in.mi.dx = e.mi.dx;
                in.mi.dy = e.mi.dy;
                in.mi.mouseData = static_cast<DWORD>(e.mi.data);
                in.mi.dwFlags = e.mi.flags;
                in.mi.time = e.mi.time;
                in.mi.dwExtraInfo = static_cast<ULONG_PTR>(e.mi.extra_info);
            } else {
                in.type = INPUT_KEYBOARD;
                in.ki.wVk = e.ki.vk;
                in.ki.wScan = e.ki.scan;
                in.ki.dwFlags = e.ki.flags;
                in.ki.time = e.ki.time;
                in.ki.dwExtraInfo = static_cast<ULONG_PTR>(e.ki.extra_info);
            }
        }
        SetLastError(ERROR_SUCCESS);
        const UINT n = inputs_.empty() ? 0 : SendInput(static_cast<UINT>(inputs_.size()), inputs_.data(), sizeof(INPUT));
        error = GetLastError();
        return n;
    }

    uint32_t map_virtual_key(uint32_t code, uint32_t map_type) override { return MapVirtualKeyW(code, map_type); }

private:
    std::vector<INPUT> inputs_;  // kept between calls: the input path allocates once
};

class Win32ForegroundInfo final : public IForegroundInfo {
public:
    uint32_t current_process_id() override { return GetCurrentProcessId(); }

    TokenQuery current_process_token() override { return query_token(GetCurrentProcess()); }

    uint32_t foreground_process_id() override {
        HWND w = GetForegroundWindow();
        if (w == nullptr) return 0;
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        return pid;
    }

    bool query_process(uint32_t pid, ProcessQuery& out, uint32_t& error) override {
        win32::Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
        if (!process.valid()) {
            error = GetLastError();
            return false;
        }
        out.token = query_token(process.get());
        wchar_t path[1024];
        DWORD n = sizeof path / sizeof path[0];
        if (QueryFullProcessImageNameW(process.get(), 0, path, &n)) out.image_path = win32::narrow(std::wstring_view(path, n));
        else out.image_path.clear();
        return true;
    }
};

class Win32DesktopInfo final : public IDesktopInfo {
public:
    VirtualScreen virtual_screen() override {
        return {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN)};
    }

    bool input_desktop_name(std::string& out, uint32_t& error) override {
        return win32::input_desktop_name(out, error);
    }
};

}  // namespace

std::unique_ptr<IInputSink> make_input_sink() { return std::make_unique<Win32InputSink>(); }
std::unique_ptr<IForegroundInfo> make_foreground_info() { return std::make_unique<Win32ForegroundInfo>(); }
std::unique_ptr<IDesktopInfo> make_desktop_info() { return std::make_unique<Win32DesktopInfo>(); }

}  // namespace sorvane::platform
