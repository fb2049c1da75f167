// sorvane-devtool: finds, creates and removes the driver's root-enumerated
// device node by hardware id, over the device manager port.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "platform/device_manager.h"
#include "platform/system_info.h"

namespace sorvane::devtool {

// Lower-case markers of other makers' virtual display drivers; a hardware id
// holding one is refused, checked in this order.
inline constexpr std::array<const char*, 4> kProtectedMarkers = {"parsec", "mttvdd", "spacedesk", "datronic"};

// Empty when the id is acceptable, else the reason it is refused.
std::string check_hardware_id(std::string_view hardware_id);

// Runs the command line (the arguments after the program name); everything
// the tool prints is appended to out. Returns the exit code.
int run(const std::vector<std::string>& args, platform::IDeviceManager& devices, platform::ISystemInfo& system,
        std::string& out);

}  // namespace sorvane::devtool
