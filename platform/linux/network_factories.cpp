// The host's view of the networks: the Linux adapters, unless the simulated
// machine has adapters of its own, and the simulated network list for the
// categories Linux does not have.
#include "platform/linux/network_linux.h"
#include "platform/sim/machine.h"
#include "platform/sim/network_model.h"

namespace sorvane::platform {

std::unique_ptr<INetworkInfo> make_system_network_info() {
    return sim::make_sim_network_info(std::shared_ptr<sim::Machine>(sim::Machine::open_default()),
                                      make_linux_network_info());
}

std::unique_ptr<INetworkList> make_network_list() {
    return sim::make_sim_network_list(std::shared_ptr<sim::Machine>(sim::Machine::open_default()));
}

}  // namespace sorvane::platform
