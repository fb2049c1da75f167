// The display configuration comes from the simulated Windows machine.
#include "platform/display_config.h"
#include "platform/sim/display_config_sim.h"

namespace sorvane::platform {

std::unique_ptr<IDisplayConfigApi> make_display_config() {
    return sim::make_sim_display_config(std::shared_ptr<sim::Machine>(sim::Machine::open_default()));
}

}  // namespace sorvane::platform
