// Linux has no suspend/resume notification the host could use the way
// Windows delivers it; the events come from the simulated machine: a
// process that registers a callback listens for the events `sorvane-sim
// power` sends to every process of the machine.
#include "platform/power.h"
#include "platform/sim/machine.h"
#include "platform/sim/power_sim.h"

namespace sorvane::platform {

namespace {

class MachinePowerNotifications final : public IPowerNotifications {
public:
    bool register_callback(std::function<void(uint32_t type)> callback, uint32_t& error) override {
        if (!sim::process_power_events().register_callback(std::move(callback), error)) return false;
        // A machine that was never set up has nobody to send events.
        sim::Machine machine(sim::Machine::default_root());
        std::string ignored;
        if (machine.initialized()) sim::listen_for_machine_power_events(machine.folder(), ignored);
        return true;
    }
};

}  // namespace

IPowerNotifications& power_notifications() {
    static MachinePowerNotifications notifications;
    return notifications;
}

}  // namespace sorvane::platform
