// The page's command messages: small JSON objects whose string members are
// looked up by name, textually: find the quoted member name, then the next
// colon, then the next double quote; the value is everything up to the
// following double quote, taken as it is (no unescaping). Values are plain
// words and identifiers, so a value holding an escaped quote is cut there and
// matches nothing. The text is UTF-8 and reaches the host byte for byte.
#pragma once

#include <string>
#include <string_view>

namespace sorvane {

struct PanelCommand {
    std::string cmd;
    std::string client_id;
    std::string lang;
    std::string theme;
    std::string level;
};

// The value of member name; empty when it is missing.
std::string panel_command_member(std::string_view message, std::string_view name);

PanelCommand parse_panel_command(std::string_view message);

}  // namespace sorvane
