// The display-configuration port over the machine's display topology.
// Fault points: "display.buffer_sizes", "display.query_config",
// "display.set_config" (the call fails with the armed code) and
// "display.apply_drift" (an apply succeeds, but Windows then moves every
// non-primary display that was already active 8 pixels down, as it does
// when it rearranges the desktop on its own).
#pragma once

#include <memory>
#include <string>

#include "platform/display_config.h"
#include "platform/sim/machine.h"

namespace sorvane::sim {

std::unique_ptr<platform::IDisplayConfigApi> make_sim_display_config(std::shared_ptr<Machine> machine);

// "\\?\DISPLAY#<model>#<instance>#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}" of a monitor device.
std::string monitor_device_path(const std::string& device);
// "\\.\DISPLAY<n>": n counts the sources of the adapters before it, plus source + 1.
std::string source_gdi_name(const DisplayModel& display, const SimLuid& adapter, uint32_t source);

}  // namespace sorvane::sim
