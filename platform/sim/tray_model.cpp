#include "platform/sim/tray_model.h"

#include <algorithm>

namespace sorvane::sim {

const TrayModel::Window* TrayModel::window(uint64_t hwnd) const {
    for (const Window& w : windows) {
        if (w.hwnd == hwnd) return &w;
    }
    return nullptr;
}

const TrayModel::Window* TrayModel::window_of_class(const std::string& class_name) const {
    for (const Window& w : windows) {
        if (w.class_name == class_name) return &w;
    }
    return nullptr;
}

TrayModel::Icon* TrayModel::icon(uint64_t hwnd, uint32_t id) {
    for (Icon& i : icons) {
        if (i.hwnd == hwnd && i.id == id) return &i;
    }
    return nullptr;
}

void TrayModel::remove_window(uint64_t hwnd) {
    std::erase_if(windows, [&](const Window& w) { return w.hwnd == hwnd; });
    std::erase_if(icons, [&](const Icon& i) { return i.hwnd == hwnd; });
    std::erase_if(balloons, [&](const Balloon& b) { return b.hwnd == hwnd; });
    if (menu && menu->hwnd == hwnd) menu.reset();
}

uint32_t TrayModel::register_message(const std::string& name) {
    auto it = messages.find(name);
    if (it != messages.end()) return it->second;
    const uint32_t number = kFirstRegisteredMessage + static_cast<uint32_t>(messages.size());
    messages.emplace(name, number);
    return number;
}

const char* tray_icon_state_name(uint32_t resource) {
    if (resource < 101 || resource > 106) return "unknown";
    static const char* const names[] = {"idle", "connected", "pairing"};
    return names[(resource - 101) % 3];
}

const char* tray_icon_variant_name(uint32_t resource) {
    if (resource < 101 || resource > 106) return "unknown";
    return resource <= 103 ? "light symbols (dark taskbar)" : "dark symbols (light taskbar)";
}

Json TrayModel::to_json() const {
    Json j = Json::object();
    Json w = Json::array();
    for (const Window& x : windows) {
        Json o = Json::object();
        o["hwnd"] = x.hwnd;
        o["class"] = x.class_name;
        o["title"] = x.title;
        o["pid"] = x.pid;
        w.push(std::move(o));
    }
    j["windows"] = std::move(w);
    Json ic = Json::array();
    for (const Icon& x : icons) {
        Json o = Json::object();
        o["hwnd"] = x.hwnd;
        o["id"] = x.id;
        o["callback"] = x.callback_message;
        o["resource"] = x.resource;
        o["tooltip"] = x.tooltip;
        ic.push(std::move(o));
    }
    j["icons"] = std::move(ic);
    Json b = Json::array();
    for (const Balloon& x : balloons) {
        Json o = Json::object();
        o["hwnd"] = x.hwnd;
        o["id"] = x.id;
        o["title"] = x.title;
        o["text"] = x.text;
        o["showing"] = x.showing;
        b.push(std::move(o));
    }
    j["balloons"] = std::move(b);
    if (menu) {
        Json m = Json::object();
        m["hwnd"] = menu->hwnd;
        m["dark"] = menu->dark;
        Json items = Json::array();
        for (const platform::TrayMenuItem& it : menu->items) {
            Json o = Json::object();
            o["id"] = it.id;
            o["text"] = it.text;
            o["greyed"] = it.greyed;
            o["separator"] = it.separator;
            items.push(std::move(o));
        }
        m["items"] = std::move(items);
        j["menu"] = std::move(m);
    } else {
        j["menu"] = nullptr;
    }
    Json msgs = Json::object();
    for (const auto& [name, number] : messages) msgs[name] = number;
    j["messages"] = std::move(msgs);
    j["clipboard"] = clipboard;
    j["next_hwnd"] = next_hwnd;
    return j;
}

namespace {

uint32_t u32(const Json& j) {
    const int64_t v = j.as_int();
    return v >= 0 && v <= 0xFFFFFFFF ? static_cast<uint32_t>(v) : 0;
}

uint64_t u64(const Json& j) {
    const int64_t v = j.as_int();
    return v > 0 ? static_cast<uint64_t>(v) : 0;
}

}  // namespace

bool TrayModel::from_json(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "tray: not an object";
        return false;
    }
    *this = TrayModel{};
    for (const Json& o : j.get("windows").items()) {
        windows.push_back({u64(o.get("hwnd")), o.get("class").as_string(), o.get("title").as_string(), u32(o.get("pid"))});
    }
    for (const Json& o : j.get("icons").items()) {
        icons.push_back({u64(o.get("hwnd")), u32(o.get("id")), u32(o.get("callback")), u32(o.get("resource")),
                         o.get("tooltip").as_string()});
    }
    for (const Json& o : j.get("balloons").items()) {
        balloons.push_back({u64(o.get("hwnd")), u32(o.get("id")), o.get("title").as_string(), o.get("text").as_string(),
                            o.get("showing").as_bool()});
    }
    const Json& m = j.get("menu");
    if (m.is_object()) {
        Menu menu_value;
        menu_value.hwnd = u64(m.get("hwnd"));
        menu_value.dark = m.get("dark").as_bool();
        for (const Json& o : m.get("items").items()) {
            menu_value.items.push_back(
                {u32(o.get("id")), o.get("text").as_string(), o.get("greyed").as_bool(), o.get("separator").as_bool()});
        }
        menu = std::move(menu_value);
    }
    for (const auto& [name, number] : j.get("messages").members()) messages[name] = u32(number);
    clipboard = j.get("clipboard").as_string();
    if (j.has("next_hwnd")) next_hwnd = std::max<uint64_t>(u64(j.get("next_hwnd")), 0x10010);
    return true;
}

}  // namespace sorvane::sim
