#include "host/ui/panel_command.h"

namespace sorvane {

std::string panel_command_member(std::string_view message, std::string_view name) {
    std::string quoted;
    quoted.reserve(name.size() + 2);
    quoted += '"';
    quoted.append(name);
    quoted += '"';
    const size_t key = message.find(quoted);
    if (key == std::string_view::npos) return {};
    const size_t colon = message.find(':', key + quoted.size());
    if (colon == std::string_view::npos) return {};
    const size_t open = message.find('"', colon + 1);
    if (open == std::string_view::npos) return {};
    const size_t close = message.find('"', open + 1);
    if (close == std::string_view::npos) return {};
    return std::string(message.substr(open + 1, close - open - 1));
}

PanelCommand parse_panel_command(std::string_view message) {
    PanelCommand c;
    c.cmd = panel_command_member(message, "cmd");
    c.client_id = panel_command_member(message, "client_id");
    c.lang = panel_command_member(message, "lang");
    c.theme = panel_command_member(message, "theme");
    c.level = panel_command_member(message, "level");
    return c;
}

}  // namespace sorvane
