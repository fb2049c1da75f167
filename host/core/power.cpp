#include "host/core/power.h"

#include <atomic>
#include <cinttypes>
#include <mutex>

#include "host/core/log.h"

namespace sorvane {

namespace {
std::atomic<uint32_t> g_epoch{0};
std::once_flag g_registered;
}  // namespace

uint32_t power_epoch() { return g_epoch.load(); }

uint32_t on_power_notification(uint32_t type) {
    switch (type) {
        case platform::kPowerSuspend:
            log("[power] the PC is going to sleep/hibernate");
            break;
        case platform::kPowerResumeSuspend:
            log("[power] resume after user input");
            break;
        case platform::kPowerResumeAutomatic: {
            uint32_t epoch = g_epoch.fetch_add(1) + 1;
            log("[power] the PC resumed (epoch %" PRIu32 "): open sessions will check their monitor and rebuild "
                "capture/encode",
                epoch);
            break;
        }
        default:
            break;
    }
    return 0;
}

void register_power_notifications(platform::IPowerNotifications& port) {
    std::call_once(g_registered, [&] {
        uint32_t error = 0;
        if (!port.register_callback([](uint32_t type) { on_power_notification(type); }, error)) {
            log("[power] suspend/resume notification could not be registered (error %" PRIu32 ")", error);
        }
    });
}

}  // namespace sorvane
