// Facilities Linux lacks come from the simulated Windows machine in
// $SORVANE_SIM_ROOT (or the per-user default folder).
#include "platform/iddcx.h"
#include "platform/registry.h"
#include "platform/sim/iddcx_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/ports.h"
#include "platform/system_info.h"

namespace sorvane::platform {

namespace {

std::shared_ptr<sim::Machine> default_machine() { return std::shared_ptr<sim::Machine>(sim::Machine::open_default()); }

}  // namespace

std::unique_ptr<IRegistry> make_system_registry() { return sim::make_sim_registry(default_machine()); }

std::unique_ptr<ISystemInfo> make_system_info() { return sim::make_sim_system_info(default_machine()); }

std::unique_ptr<IIddCx> make_system_iddcx() { return std::make_unique<sim::SimIddCx>(default_machine()); }

std::string executable_name(const std::string& name) { return name; }

}  // namespace sorvane::platform
