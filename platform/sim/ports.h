// The ports the simulated machine implements. Each port object works on a
// shared Machine; every call is one transaction of that machine, so separate
// processes see each other's changes at once.
#pragma once

#include <memory>

#include "platform/registry.h"
#include "platform/sim/machine.h"
#include "platform/system_info.h"

namespace sorvane::sim {

// Registry: HKLM writes need the simulated token's elevation (5 otherwise).
// Fault points: "registry.get_value", "registry.set_value",
// "registry.delete_value", "registry.create_key", "registry.delete_tree".
std::unique_ptr<platform::IRegistry> make_sim_registry(std::shared_ptr<Machine> machine);

std::unique_ptr<platform::ISystemInfo> make_sim_system_info(std::shared_ptr<Machine> machine);

// Message text of a Win32/HRESULT code as the simulated system words it
// (English, or Turkish for a "tr" display language); empty when unknown.
std::string sim_format_message(uint32_t code, const std::string& language);

}  // namespace sorvane::sim
