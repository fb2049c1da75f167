#include "viewer/app/key_names.h"

#include <cstdlib>
#include <string>

namespace sorvane::viewer::app {

std::optional<uint32_t> key_usage(std::string_view name) {
    std::string n;
    for (char c : name) n += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    if (n.size() == 1 && n[0] >= 'a' && n[0] <= 'z') return 0x04u + static_cast<uint32_t>(n[0] - 'a');
    if (n.size() == 1 && n[0] >= '1' && n[0] <= '9') return 0x1Eu + static_cast<uint32_t>(n[0] - '1');
    if (n == "0") return 0x27u;
    if (n.size() >= 2 && n.size() <= 3 && n[0] == 'f') {
        const int k = std::atoi(n.c_str() + 1);
        if (k >= 1 && k <= 12 && n.find_first_not_of("0123456789", 1) == std::string::npos && n[1] != '0')
            return 0x3Au + static_cast<uint32_t>(k - 1);
    }
    static constexpr struct {
        std::string_view name;
        uint32_t usage;
    } kNamed[] = {
        {"enter", 0x28},  {"escape", 0x29}, {"backspace", 0x2A}, {"tab", 0x2B},     {"space", 0x2C},
        {"insert", 0x49}, {"home", 0x4A},   {"pageup", 0x4B},    {"delete", 0x4C},  {"end", 0x4D},
        {"pagedown", 0x4E}, {"right", 0x4F}, {"left", 0x50},     {"down", 0x51},    {"up", 0x52},
        {"ctrl", 0xE0},   {"shift", 0xE1},  {"alt", 0xE2},       {"win", 0xE3},
    };
    for (const auto& k : kNamed)
        if (n == k.name) return k.usage;
    return std::nullopt;
}

}  // namespace sorvane::viewer::app
