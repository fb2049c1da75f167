// The desktop, its duplication and its input come from the simulated machine
// in $SORVANE_SIM_ROOT: one desktop per process, composed from the machine's
// monotonic clock, following the machine's display topology.
#include "platform/clock.h"
#include "platform/duplication.h"
#include "platform/input.h"
#include "platform/sim/machine.h"
#include "platform/sim/machine_desktop.h"
#include "platform/touch.h"

namespace sorvane::platform {

namespace {

sim::MachineDesktop& process_desktop() {
    // Lives as long as the process: capture and input threads may still use
    // it while static objects are destroyed.
    static sim::MachineDesktop* desktop = [] {
        IClock* clock = make_system_clock().release();
        return new sim::MachineDesktop(std::shared_ptr<sim::Machine>(sim::Machine::open_default()), *clock);
    }();
    return *desktop;
}

}  // namespace

std::unique_ptr<IDuplication> make_duplication() { return process_desktop().make_duplication(); }
std::unique_ptr<IInputSink> make_input_sink() { return process_desktop().make_input_sink(); }
std::unique_ptr<IForegroundInfo> make_foreground_info() { return process_desktop().make_foreground_info(); }
std::unique_ptr<IDesktopInfo> make_desktop_info() { return process_desktop().make_desktop_info(); }
std::unique_ptr<ITouchDeviceFactory> make_touch_device_factory() {
    return process_desktop().make_touch_device_factory();
}

}  // namespace sorvane::platform
