// The simulated machine's interactive desktop as input sees it: which process
// owns the foreground window and whether it runs elevated (what User
// Interface Privilege Isolation decides on), and the desktop that receives
// input. `sorvane-sim foreground --elevated NAME | --normal [NAME] | --none`
// steers it; every host process of the machine follows it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sim/json.h"

namespace sorvane::sim {

class InputModel {
public:
    static constexpr const char* kName = "input";

    // Process ids the machine gives foreground processes: above any Linux
    // process id, so never the id of a host process.
    static constexpr uint32_t kForegroundPidBase = 0x01000000;

    // Image file name of the foreground process ("explorer.exe"); empty: no
    // foreground window.
    std::string foreground;
    bool foreground_elevated = false;
    uint32_t foreground_pid = 0;
    // "Default" (the user's desktop) or "Winlogon" (the secure desktop).
    std::string input_desktop = "Default";

    // Makes name the foreground process (a new process id each time).
    void set_foreground(const std::string& name, bool elevated);
    // The full image path of the foreground process.
    std::string foreground_image_path() const;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

}  // namespace sorvane::sim
