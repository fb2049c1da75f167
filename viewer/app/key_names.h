// Key names of the command line and their keyboard usage codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sorvane::viewer::app {

// "a".."z", "0".."9", "f1".."f12", "enter", "escape", "space", "tab",
// "backspace", "delete", "insert", "home", "end", "pageup", "pagedown",
// "left", "right", "up", "down", "shift", "ctrl", "alt", "win"; any case.
std::optional<uint32_t> key_usage(std::string_view name);

}  // namespace sorvane::viewer::app
