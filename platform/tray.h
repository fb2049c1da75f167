// Tray port: the notification-area icon of the tray host and the hidden
// window that receives its messages, with the message loop of the thread
// that owns them (its timers, messages posted from other threads and other
// processes, and tasks run on it). Messages keep their Windows numbers, so
// the window procedure reads the same on every platform.
//
// Windows: Shell_NotifyIcon and a hidden window of the calling thread.
// Linux: the simulated machine's tray, which keeps each process's icon,
// tooltip, balloons and open menu, and delivers what the user and the shell
// do (sorvane-sim tray ...) to the process that owns the window.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace sorvane::platform {

// Window messages.
inline constexpr uint32_t kWmDestroy = 0x0002;
inline constexpr uint32_t kWmQueryEndSession = 0x0011;
inline constexpr uint32_t kWmEndSession = 0x0016;
inline constexpr uint32_t kWmSettingChange = 0x001A;
inline constexpr uint32_t kWmContextMenu = 0x007B;
inline constexpr uint32_t kWmCommand = 0x0111;
inline constexpr uint32_t kWmTimer = 0x0113;
inline constexpr uint32_t kWmLButtonUp = 0x0202;
inline constexpr uint32_t kWmRButtonUp = 0x0205;
// The notification icon's callback carries this when its balloon was clicked.
inline constexpr uint32_t kNinBalloonUserClick = 0x0405;

// One message as the window procedure receives it.
struct WindowMessage {
    uint32_t message = 0;
    uint64_t wparam = 0;
    int64_t lparam = 0;
    // WM_SETTINGCHANGE: the name of the changed setting ("ImmersiveColorSet"), UTF-8.
    std::string text;
};

// Returns the message's result (WM_QUERYENDSESSION: 1 = may end).
using WindowProc = std::function<int64_t(const WindowMessage&)>;

struct ScreenRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
    bool empty() const { return right <= left || bottom <= top; }
    bool operator==(const ScreenRect&) const = default;
};

struct TrayMenuItem {
    uint32_t id = 0;  // 0 for a separator
    std::string text;  // UTF-8
    bool greyed = false;
    bool separator = false;
};

// The tray of one thread. Every call except post, post_task and post_quit is
// made on the thread that created the window.
class ITray {
public:
    virtual ~ITray() = default;

    // Registers the window class (one that exists already is accepted) and
    // creates the hidden window; its messages go to proc. False with the
    // failed step ("RegisterClassExW" or "CreateWindowExW") and the system
    // error.
    virtual bool create_window(const std::string& class_name, const std::string& title, WindowProc proc,
                               std::string& failed_step, uint32_t& error) = 0;
    // Destroys the window (its procedure gets WM_DESTROY first) and takes its
    // icon out of the notification area.
    virtual void destroy_window() = 0;
    // The machine-wide number of a registered message ("TaskbarCreated"); 0 on failure.
    virtual uint32_t register_message(const std::string& name) = 0;
    // WM_TIMER with wparam id every interval_ms (replaces a timer of that id).
    virtual bool set_timer(uint32_t id, uint32_t interval_ms) = 0;
    virtual void kill_timer(uint32_t id) = 0;

    // From any thread: queues a message for the window; false when it has none.
    virtual bool post(uint32_t message, uint64_t wparam, int64_t lparam) = 0;
    // From any thread: runs task on the window's thread, in order with the messages.
    virtual bool post_task(std::function<void()> task) = 0;
    // Ends run() with exit_code once the messages queued before it are handled.
    virtual void post_quit(int exit_code) = 0;
    // The message loop: dispatches messages, timers and tasks until the quit
    // message; returns its exit code.
    virtual int run() = 0;

    // The program's icon resources (101 to 106). False when missing.
    virtual bool load_icon(uint32_t resource_id) = 0;
    virtual void destroy_icon(uint32_t resource_id) = 0;

    // The notification-area icon (identifier id of this window). The tooltip
    // holds at most 127 UTF-16 units, a balloon title 63 and its text 255.
    virtual bool add_icon(uint32_t id, uint32_t callback_message, uint32_t icon_resource, const std::string& tooltip) = 0;
    virtual bool set_icon(uint32_t id, uint32_t icon_resource) = 0;
    virtual bool set_tooltip(uint32_t id, const std::string& tooltip) = 0;
    // An information balloon that respects the user's quiet time.
    virtual bool show_balloon(uint32_t id, const std::string& title, const std::string& text) = 0;
    virtual void delete_icon(uint32_t id) = 0;
    // The icon's rectangle on the screen; empty when the shell has none.
    virtual ScreenRect icon_rect(uint32_t id) = 0;

    // The popup menu at the cursor: brings the window to the foreground,
    // tracks the menu (right button) and returns the chosen command, 0 when
    // none was chosen. Messages keep being dispatched while it is open.
    virtual uint32_t track_menu(const std::vector<TrayMenuItem>& items) = 0;
    // Closes an open menu (track_menu then returns 0).
    virtual void end_menu() = 0;
    // The process's preferred menu theme for the next menu (uxtheme's
    // preferred app mode; nothing where the system has none).
    virtual void set_menu_dark(bool dark) = 0;

    // Puts Unicode text on the clipboard.
    virtual bool set_clipboard_text(const std::string& text) = 0;
};

// The tray of the calling thread; timers read clock.
std::unique_ptr<ITray> make_tray(IClock& clock);

// Another process's tray window, found by its class (the running host, for a
// second start and for --quit).
struct TrayWindowRef {
    bool found = false;
    uint32_t process_id = 0;  // 0 when unknown
};
TrayWindowRef find_tray_window(const std::string& class_name);
// Posts a message to that window; false when there is none.
bool post_tray_window(const std::string& class_name, uint32_t message, uint64_t wparam, int64_t lparam);

}  // namespace sorvane::platform
