// The simulated machine's tray: the ITray of one thread of a process, and
// what the user and the shell do to the tray programs of the machine.
//
// The window, its icon, balloons and open menu are kept in the machine's tray
// model, so every process (and sorvane-sim tray) sees them. Messages for a
// window come to its process through a datagram socket in
// <root>/windows/<hwnd>; inside one process (and for a machine in memory)
// they go to the window's queue directly.
//
// It refuses what Windows refuses: an icon added twice, a change to an icon
// that is not in the notification area, an icon that was never loaded, a
// tooltip over 127 UTF-16 units, a balloon title over 63 or text over 255,
// text that is not UTF-8, a menu command that is not an enabled item of the
// open menu. Fault points: "tray.register_class", "tray.create_window",
// "tray.load_icon", "tray.add_icon", "tray.balloon".
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/sim/machine.h"
#include "platform/tray.h"

namespace sorvane::sim {

class SimTray final : public platform::ITray {
public:
    SimTray(std::shared_ptr<Machine> machine, platform::IClock& clock);
    ~SimTray() override;
    SimTray(const SimTray&) = delete;
    SimTray& operator=(const SimTray&) = delete;

    bool create_window(const std::string& class_name, const std::string& title, platform::WindowProc proc,
                       std::string& failed_step, uint32_t& error) override;
    void destroy_window() override;
    uint32_t register_message(const std::string& name) override;
    bool set_timer(uint32_t id, uint32_t interval_ms) override;
    void kill_timer(uint32_t id) override;
    bool post(uint32_t message, uint64_t wparam, int64_t lparam) override;
    bool post_task(std::function<void()> task) override;
    void post_quit(int exit_code) override;
    int run() override;
    bool load_icon(uint32_t resource_id) override;
    void destroy_icon(uint32_t resource_id) override;
    bool add_icon(uint32_t id, uint32_t callback_message, uint32_t icon_resource, const std::string& tooltip) override;
    bool set_icon(uint32_t id, uint32_t icon_resource) override;
    bool set_tooltip(uint32_t id, const std::string& tooltip) override;
    bool show_balloon(uint32_t id, const std::string& title, const std::string& text) override;
    void delete_icon(uint32_t id) override;
    platform::ScreenRect icon_rect(uint32_t id) override;
    uint32_t track_menu(const std::vector<platform::TrayMenuItem>& items) override;
    void end_menu() override;
    void set_menu_dark(bool dark) override;
    bool set_clipboard_text(const std::string& text) override;

    uint64_t hwnd() const;
    // The icon resources loaded and not destroyed.
    std::set<uint32_t> loaded_icons() const;

    // Queues what another process or sorvane-sim sent to this window.
    void deliver(const platform::WindowMessage& message);
    void deliver_menu_choice(uint32_t command);

private:
    struct Item {
        enum class Kind { message, task, quit, menu_choice } kind = Kind::message;
        platform::WindowMessage message;
        std::function<void()> task;
        int code = 0;
        uint32_t command = 0;
    };
    struct Timer {
        uint32_t interval_ms = 0;
        uint64_t due_ms = 0;
    };

    void push(Item item);
    // Takes the next item (queued first, then a due timer); waits for one.
    Item next_item();
    void dispatch(const Item& item);
    bool change(const std::string& what, const std::function<bool(TrayModel&)>& fn);
    void start_receiver();
    void stop_receiver();

    std::shared_ptr<Machine> machine_;
    platform::IClock& clock_;
    platform::WindowProc proc_;
    std::set<uint32_t> loaded_;
    bool menu_dark_ = false;

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Item> queue_;
    std::map<uint32_t, Timer> timers_;
    bool wake_ = false;
    uint64_t hwnd_ = 0;
    // The open menu's outcome.
    bool in_menu_ = false;
    bool menu_done_ = false;
    uint32_t menu_command_ = 0;

    int socket_ = -1;
    std::string socket_path_;
    std::thread receiver_;
};

// The tray as sorvane-sim shows it: each window of a tray program, its icon
// (state and symbol colour), tooltip, balloons and open menu.
std::string describe_tray(const TrayModel& tray);

// What the user and the shell do. Each finds its target in the machine,
// removes the windows of processes that have ended, and delivers to the
// owning process. False with error when there is nothing to act on.
// A click on the (first) notification icon: its callback message with the button-up message.
bool tray_click(Machine& machine, bool left, std::string& error);
// Chooses command in the open menu.
bool tray_choose(Machine& machine, uint32_t command, std::string& error);
// Clicks the balloon on the screen.
bool tray_balloon_click(Machine& machine, std::string& error);
// Explorer restarted: the notification area is empty and every window gets
// the registered "TaskbarCreated" message. told: how many windows got it.
bool tray_taskbar_created(Machine& machine, size_t& told, std::string& error);
// Windows switched to the light or dark theme (taskbar and apps): the
// Personalize values change and every window gets WM_SETTINGCHANGE
// "ImmersiveColorSet".
bool tray_set_theme(Machine& machine, bool light, std::string& error);
// Windows destroys a process's windows with it: drops the windows (and their
// icons) of processes that have ended.
void forget_ended_windows(Machine& machine);
// The first window of class_name of a running process.
bool find_window_of_class(Machine& machine, const std::string& class_name, TrayModel::Window& out);
// Posts a message to the first window of class_name.
bool post_to_window_class(Machine& machine, const std::string& class_name, const platform::WindowMessage& message,
                          std::string& error);

// HKCU key of the theme values.
inline constexpr const char* kPersonalizeKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";

}  // namespace sorvane::sim
