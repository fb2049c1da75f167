// The process-wide power epoch: every automatic resume from sleep raises it,
// and a streaming session that sees it change rebuilds its capture and encoder.
#pragma once

#include <cstdint>

#include "platform/power.h"

namespace sorvane {

// The current epoch (0 until the first automatic resume).
uint32_t power_epoch();

// What the platform's suspend/resume callback does with one notification:
// logs suspend and resumes, and raises the epoch on an automatic resume.
// Returns 0, as the callback must.
uint32_t on_power_notification(uint32_t type);

// Registers on_power_notification with the platform once per process; later
// calls do nothing. A failure is logged and the host runs without resume
// detection.
void register_power_notifications(platform::IPowerNotifications& port);

}  // namespace sorvane
