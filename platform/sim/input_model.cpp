#include "platform/sim/input_model.h"

namespace sorvane::sim {

void InputModel::set_foreground(const std::string& name, bool elevated) {
    foreground = name;
    foreground_elevated = elevated && !name.empty();
    if (name.empty()) {
        foreground_pid = 0;
        return;
    }
    // Windows process ids are multiples of four.
    foreground_pid = foreground_pid < kForegroundPidBase ? kForegroundPidBase + 4 : foreground_pid + 4;
}

std::string InputModel::foreground_image_path() const {
    if (foreground.empty()) return {};
    if (foreground.find('\\') != std::string::npos) return foreground;
    return "C:\\Windows\\System32\\" + foreground;
}

Json InputModel::to_json() const {
    Json j = Json::object();
    j["foreground"]["image"] = foreground;
    j["foreground"]["elevated"] = foreground_elevated;
    j["foreground"]["pid"] = foreground_pid;
    j["input_desktop"] = input_desktop;
    return j;
}

bool InputModel::from_json(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "input: not an object";
        return false;
    }
    const Json& f = j.get("foreground");
    foreground = f.has("image") ? f.get("image").as_string() : std::string();
    foreground_elevated = f.get("elevated").as_bool();
    const int64_t pid = f.get("pid").as_int();
    foreground_pid = pid > 0 && pid <= 0xFFFFFFFF ? static_cast<uint32_t>(pid) : 0;
    input_desktop = j.has("input_desktop") ? j.get("input_desktop").as_string() : std::string("Default");
    return true;
}

}  // namespace sorvane::sim
