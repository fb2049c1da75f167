// The notification area of the simulated machine: the top-level windows that
// tray programs create (class, owner process), the icons they put into the
// notification area with their tooltips, the balloons shown, the menu that
// is open, the messages registered by name, and the clipboard's text.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/json.h"
#include "platform/tray.h"

namespace sorvane::sim {

class TrayModel {
public:
    static constexpr const char* kName = "tray";
    // How many balloons the machine remembers.
    static constexpr size_t kBalloonsKept = 8;
    // The first number RegisterWindowMessage hands out.
    static constexpr uint32_t kFirstRegisteredMessage = 0xC000;

    struct Window {
        uint64_t hwnd = 0;
        std::string class_name;
        std::string title;
        uint32_t pid = 0;
    };
    struct Icon {
        uint64_t hwnd = 0;
        uint32_t id = 0;
        uint32_t callback_message = 0;
        uint32_t resource = 0;  // the icon resource shown (101 to 106)
        std::string tooltip;
    };
    struct Balloon {
        uint64_t hwnd = 0;
        uint32_t id = 0;
        std::string title;
        std::string text;
        bool showing = false;  // on the screen (the newest one, until clicked or its icon goes)
    };
    struct Menu {
        uint64_t hwnd = 0;
        std::vector<platform::TrayMenuItem> items;
        bool dark = false;
    };

    std::vector<Window> windows;
    std::vector<Icon> icons;
    std::vector<Balloon> balloons;  // oldest first
    std::optional<Menu> menu;
    std::map<std::string, uint32_t> messages;
    std::string clipboard;
    uint64_t next_hwnd = 0x10010;

    const Window* window(uint64_t hwnd) const;
    const Window* window_of_class(const std::string& class_name) const;
    Icon* icon(uint64_t hwnd, uint32_t id);
    // Drops the window with its icons, balloons and open menu.
    void remove_window(uint64_t hwnd);
    // The number registered for name (a new one the first time).
    uint32_t register_message(const std::string& name);

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

// "idle", "connected" or "pairing" for icon resources 101 to 106; the
// resources 101 to 103 draw light symbols (a dark taskbar), 104 to 106 dark ones.
const char* tray_icon_state_name(uint32_t resource);
const char* tray_icon_variant_name(uint32_t resource);

}  // namespace sorvane::sim
