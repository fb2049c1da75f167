// Linux has no suspend/resume notification the host could use the way
// Windows delivers it; the events come from the simulated machine.
#include "platform/power.h"
#include "platform/sim/power_sim.h"

namespace sorvane::platform {

IPowerNotifications& power_notifications() { return sim::process_power_events(); }

}  // namespace sorvane::platform
