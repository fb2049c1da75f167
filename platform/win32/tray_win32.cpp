#include <windows.h>
#include <shellapi.h>

#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <mutex>

#include "platform/tray.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

// Tasks posted from other threads wake the loop with this message.
constexpr UINT kTaskMessage = 0x80F0;

void copy_text(wchar_t* dest, size_t capacity, const std::string& text) {
    const std::wstring wide = win32::widen(text);
    const size_t n = wide.size() < capacity - 1 ? wide.size() : capacity - 1;
    std::wmemcpy(dest, wide.data(), n);
    dest[n] = L'\0';
}

class Win32Tray final : public ITray {
public:
    ~Win32Tray() override {
        proc_ = nullptr;
        destroy_window();
        for (auto& [id, icon] : icons_) DestroyIcon(icon);
    }

    bool create_window(const std::string& class_name, const std::string& title, WindowProc proc,
                       std::string& failed_step, uint32_t& error) override {
        proc_ = std::move(proc);
        class_name_ = win32::widen(class_name);
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &Win32Tray::window_proc;
        wc.hInstance = instance;
        wc.lpszClassName = class_name_.c_str();
        if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            failed_step = "RegisterClassExW";
            error = GetLastError();
            return false;
        }
        const std::wstring wtitle = win32::widen(title);
        hwnd_ = CreateWindowExW(0, class_name_.c_str(), wtitle.c_str(), 0, 0, 0, 0, 0, nullptr, nullptr, instance, this);
        if (hwnd_ == nullptr) {
            failed_step = "CreateWindowExW";
            error = GetLastError();
            return false;
        }
        return true;
    }

    void destroy_window() override {
        if (hwnd_ == nullptr) return;
        DestroyWindow(hwnd_);
        hwnd_ = nullptr;
    }

    uint32_t register_message(const std::string& name) override {
        return RegisterWindowMessageW(win32::widen(name).c_str());
    }

    bool set_timer(uint32_t id, uint32_t interval_ms) override {
        return hwnd_ != nullptr && SetTimer(hwnd_, id, interval_ms, nullptr) != 0;
    }

    void kill_timer(uint32_t id) override {
        if (hwnd_ != nullptr) KillTimer(hwnd_, id);
    }

    bool post(uint32_t message, uint64_t wparam, int64_t lparam) override {
        return hwnd_ != nullptr && PostMessageW(hwnd_, message, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam)) != 0;
    }

    bool post_task(std::function<void()> task) override {
        {
            std::lock_guard<std::mutex> lock(tasks_mutex_);
            tasks_.push_back(std::move(task));
        }
        return post(kTaskMessage, 0, 0);
    }

    void post_quit(int exit_code) override { PostQuitMessage(exit_code); }

    int run() override {
        MSG msg;
        BOOL r;
        while ((r = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
            if (r == -1) return 1;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        return static_cast<int>(msg.wParam);
    }

    bool load_icon(uint32_t resource_id) override {
        HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(resource_id), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        if (icon == nullptr) return false;
        icons_[resource_id] = icon;
        return true;
    }

    void destroy_icon(uint32_t resource_id) override {
        auto it = icons_.find(resource_id);
        if (it == icons_.end()) return;
        DestroyIcon(it->second);
        icons_.erase(it);
    }

    bool add_icon(uint32_t id, uint32_t callback_message, uint32_t icon_resource, const std::string& tooltip) override {
        NOTIFYICONDATAW nid = data(id);
        nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        nid.uCallbackMessage = callback_message;
        nid.hIcon = icon(icon_resource);
        copy_text(nid.szTip, ARRAYSIZE(nid.szTip), tooltip);
        return nid.hIcon != nullptr && Shell_NotifyIconW(NIM_ADD, &nid) != FALSE;
    }

    bool set_icon(uint32_t id, uint32_t icon_resource) override {
        NOTIFYICONDATAW nid = data(id);
        nid.uFlags = NIF_ICON;
        nid.hIcon = icon(icon_resource);
        return nid.hIcon != nullptr && Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
    }

    bool set_tooltip(uint32_t id, const std::string& tooltip) override {
        NOTIFYICONDATAW nid = data(id);
        nid.uFlags = NIF_TIP;
        copy_text(nid.szTip, ARRAYSIZE(nid.szTip), tooltip);
        return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
    }

    bool show_balloon(uint32_t id, const std::string& title, const std::string& text) override {
        NOTIFYICONDATAW nid = data(id);
        nid.uFlags = NIF_INFO;
        nid.dwInfoFlags = NIIF_INFO | NIIF_RESPECT_QUIET_TIME;
        copy_text(nid.szInfoTitle, ARRAYSIZE(nid.szInfoTitle), title);
        copy_text(nid.szInfo, ARRAYSIZE(nid.szInfo), text);
        return Shell_NotifyIconW(NIM_MODIFY, &nid) != FALSE;
    }

    void delete_icon(uint32_t id) override {
        NOTIFYICONDATAW nid = data(id);
        Shell_NotifyIconW(NIM_DELETE, &nid);
    }

    ScreenRect icon_rect(uint32_t id) override {
        NOTIFYICONIDENTIFIER ident{};
        ident.cbSize = sizeof ident;
        ident.hWnd = hwnd_;
        ident.uID = id;
        RECT r{};
        if (FAILED(Shell_NotifyIconGetRect(&ident, &r))) return {};
        return ScreenRect{r.left, r.top, r.right, r.bottom};
    }

    uint32_t track_menu(const std::vector<TrayMenuItem>& items) override {
        HMENU menu = CreatePopupMenu();
        if (menu == nullptr) return 0;
        for (const TrayMenuItem& it : items) {
            if (it.separator) {
                AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            } else {
                const std::wstring text = win32::widen(it.text);
                AppendMenuW(menu, MF_STRING | (it.greyed ? MF_GRAYED : 0u), it.id, text.c_str());
            }
        }
        POINT pt{};
        GetCursorPos(&pt);
        SetForegroundWindow(hwnd_);
        const UINT cmd = static_cast<UINT>(
            TrackPopupMenu(menu, TPM_RIGHTBUTTON | TPM_RETURNCMD | TPM_NONOTIFY, pt.x, pt.y, 0, hwnd_, nullptr));
        PostMessageW(hwnd_, WM_NULL, 0, 0);
        DestroyMenu(menu);
        return cmd;
    }

    void end_menu() override { EndMenu(); }

    void set_menu_dark(bool dark) override {
        HMODULE ux = LoadLibraryExW(L"uxtheme.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (ux == nullptr) return;
        using SetPreferredAppMode = int(WINAPI*)(int);
        using FlushMenuThemes = void(WINAPI*)();
        auto set_mode = reinterpret_cast<SetPreferredAppMode>(
            reinterpret_cast<void*>(GetProcAddress(ux, MAKEINTRESOURCEA(135))));
        if (set_mode != nullptr) {
            set_mode(dark ? 2 : 3);
            auto flush =
                reinterpret_cast<FlushMenuThemes>(reinterpret_cast<void*>(GetProcAddress(ux, MAKEINTRESOURCEA(136))));
            if (flush != nullptr) flush();
        }
        FreeLibrary(ux);
    }

    bool set_clipboard_text(const std::string& text) override {
        const std::wstring wide = win32::widen(text);
        if (!OpenClipboard(hwnd_)) return false;
        bool ok = false;
        if (EmptyClipboard()) {
            const size_t bytes = (wide.size() + 1) * sizeof(wchar_t);
            HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes);
            if (mem != nullptr) {
                void* p = GlobalLock(mem);
                if (p != nullptr) {
                    std::memcpy(p, wide.c_str(), bytes);
                    GlobalUnlock(mem);
                    ok = SetClipboardData(CF_UNICODETEXT, mem) != nullptr;
                }
                if (!ok) GlobalFree(mem);
            }
        }
        CloseClipboard();
        return ok;
    }

private:
    NOTIFYICONDATAW data(uint32_t id) const {
        NOTIFYICONDATAW nid{};
        nid.cbSize = sizeof nid;
        nid.hWnd = hwnd_;
        nid.uID = id;
        return nid;
    }

    HICON icon(uint32_t resource_id) const {
        auto it = icons_.find(resource_id);
        return it == icons_.end() ? nullptr : it->second;
    }

    void run_tasks() {
        std::deque<std::function<void()>> tasks;
        {
            std::lock_guard<std::mutex> lock(tasks_mutex_);
            tasks.swap(tasks_);
        }
        for (auto& t : tasks) {
            if (t) t();
        }
    }

    LRESULT handle(UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == kTaskMessage) {
            run_tasks();
            return 0;
        }
        if (!proc_) return DefWindowProcW(hwnd_, message, wparam, lparam);
        WindowMessage m{message, static_cast<uint64_t>(wparam), static_cast<int64_t>(lparam), {}};
        if (message == WM_SETTINGCHANGE && lparam != 0) m.text = win32::narrow(reinterpret_cast<const wchar_t*>(lparam));
        const int64_t r = proc_(m);
        if (message == WM_DESTROY || message == WM_QUERYENDSESSION || message == WM_ENDSESSION ||
            message == WM_SETTINGCHANGE || message == WM_COMMAND || message == WM_TIMER || message >= WM_APP) {
            return static_cast<LRESULT>(r);
        }
        return DefWindowProcW(hwnd_, message, wparam, lparam);
    }

    static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == WM_NCCREATE) {
            auto* cs = reinterpret_cast<CREATESTRUCTW*>(lparam);
            auto* self = static_cast<Win32Tray*>(cs->lpCreateParams);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->hwnd_ = hwnd;
        }
        auto* self = reinterpret_cast<Win32Tray*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (self == nullptr || self->hwnd_ != hwnd) return DefWindowProcW(hwnd, message, wparam, lparam);
        return self->handle(message, wparam, lparam);
    }

    WindowProc proc_;
    std::wstring class_name_;
    HWND hwnd_ = nullptr;
    std::map<uint32_t, HICON> icons_;
    std::mutex tasks_mutex_;
    std::deque<std::function<void()>> tasks_;
};

}  // namespace

std::unique_ptr<ITray> make_tray(IClock& /*clock*/) { return std::make_unique<Win32Tray>(); }

TrayWindowRef find_tray_window(const std::string& class_name) {
    const HWND window = FindWindowW(win32::widen(class_name).c_str(), nullptr);
    if (window == nullptr) return {};
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return TrayWindowRef{true, static_cast<uint32_t>(pid)};
}

bool post_tray_window(const std::string& class_name, uint32_t message, uint64_t wparam, int64_t lparam) {
    const HWND window = FindWindowW(win32::widen(class_name).c_str(), nullptr);
    if (window == nullptr) return false;
    return PostMessageW(window, message, static_cast<WPARAM>(wparam), static_cast<LPARAM>(lparam)) != 0;
}

}  // namespace sorvane::platform
