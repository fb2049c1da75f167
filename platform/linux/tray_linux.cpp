// The tray of the simulated machine in $SORVANE_SIM_ROOT.
#include "platform/sim/machine.h"
#include "platform/sim/tray_sim.h"
#include "platform/tray.h"

namespace sorvane::platform {

std::unique_ptr<ITray> make_tray(IClock& clock) {
    return std::make_unique<sim::SimTray>(std::shared_ptr<sim::Machine>(sim::Machine::open_default()), clock);
}

TrayWindowRef find_tray_window(const std::string& class_name) {
    auto machine = sim::Machine::open_default();
    sim::TrayModel::Window w;
    if (!sim::find_window_of_class(*machine, class_name, w)) return {};
    return TrayWindowRef{true, w.pid};
}

bool post_tray_window(const std::string& class_name, uint32_t message, uint64_t wparam, int64_t lparam) {
    auto machine = sim::Machine::open_default();
    std::string error;
    return sim::post_to_window_class(*machine, class_name, WindowMessage{message, wparam, lparam, {}}, error);
}

}  // namespace sorvane::platform
