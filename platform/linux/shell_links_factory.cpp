// Linux has no shell links: the simulated machine's Startup folder stands in.
#include "platform/shell_links.h"
#include "platform/sim/machine.h"
#include "platform/sim/startup_model.h"

namespace sorvane::platform {

std::unique_ptr<IShellLinks> make_shell_links() {
    return sim::make_sim_shell_links(std::shared_ptr<sim::Machine>(sim::Machine::open_default()));
}

}  // namespace sorvane::platform
