// The notification-area icon: the tray host's face. It shows one of three
// states, a tooltip with the connection status, a small context menu and the
// occasional balloon, and owns the hidden window through which other host
// processes and the host's own threads reach the window thread. What the
// icon does beyond drawing itself is delegated to callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/registry.h"
#include "platform/tray.h"

namespace sorvane {

class TrayIcon {
public:
    enum class State : uint8_t { idle = 0, connected = 1, pairing = 2 };

    // The window's private messages.
    static constexpr uint32_t kCallbackMessage = 0x8001;
    static constexpr uint32_t kQuitMessage = 0x8002;
    static constexpr uint32_t kUpdateNoticeMessage = 0x801E;
    // Menu commands.
    static constexpr uint32_t kMenuStatus = 1001;
    static constexpr uint32_t kMenuAddDevice = 1002;
    static constexpr uint32_t kMenuExit = 1003;
    static constexpr uint32_t kMenuReport = 1004;
    static constexpr const char* kWindowClass = "SorvaneTrayWindow";

    // Each may be empty.
    struct Callbacks {
        std::function<std::string()> status_text;  // UTF-8
        std::function<State()> state;
        std::function<void()> report_problem;
        std::function<void()> add_device;
        std::function<void()> left_click;
        std::function<void()> quit;
        std::function<void()> delayed_start;
        std::function<void()> update_notice;
        std::function<void()> balloon_click;
        // Messages of the window the icon does not know (the panel's timer
        // and report completion); returns the message's result.
        std::function<int64_t(const platform::WindowMessage&)> other_message;
    };

    // The state to show: pairing while the pairing window is open, else
    // connected while a viewer is.
    static State state_of(bool pairing_open, size_t connected_viewers);

    TrayIcon(platform::ITray& tray, platform::IRegistry& registry, Callbacks callbacks);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Loads the icons, reads the taskbar theme, creates the window, adds the
    // icon, starts the 2 s refresh and the 30 s delayed start. False (logged)
    // when the icons or the window cannot be made.
    bool create();
    // The message loop until the quit message; its exit code.
    int run();
    // An information balloon; nothing while the icon is not in the notification area.
    void show_balloon(const std::string& title, const std::string& text);
    platform::ScreenRect icon_rect();
    // Takes the icon out, frees every icon loaded and destroys the window.
    void destroy();

    // The window procedure.
    int64_t on_message(const platform::WindowMessage& message);

    bool added() const { return added_; }
    State state() const { return state_; }
    bool light_taskbar() const { return light_taskbar_; }
    // The icon resource for a state on the current taskbar.
    uint32_t icon_for(State state) const;

private:
    bool read_light_taskbar();
    void add_icon();
    void refresh();
    void taskbar_theme_changed();
    void show_menu();
    void quit_once();

    platform::ITray& tray_;
    platform::IRegistry& registry_;
    const Callbacks callbacks_;

    bool light_icons_ = false;  // the dark-symbol set (104 to 106) was loaded
    bool light_taskbar_ = false;
    State state_ = State::idle;
    std::string last_text_;
    bool added_ = false;
    bool quitting_ = false;
    bool created_ = false;
    uint32_t taskbar_created_ = 0;
};

// The tooltip for a status text: "Sorvane - " + text, cut to 127 UTF-16
// units at a character boundary; "Sorvane" when there is no text or it is not UTF-8.
std::string tray_tooltip(const std::string& status_text);

}  // namespace sorvane
