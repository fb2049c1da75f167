// Power notification port: suspend and resume events of the machine, with
// the Windows notification types (PBT_APMSUSPEND 4, PBT_APMRESUMESUSPEND 7,
// PBT_APMRESUMEAUTOMATIC 18), delivered on a platform thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace sorvane::platform {

inline constexpr uint32_t kPowerSuspend = 4;
inline constexpr uint32_t kPowerResumeSuspend = 7;
inline constexpr uint32_t kPowerResumeAutomatic = 18;

class IPowerNotifications {
public:
    virtual ~IPowerNotifications() = default;
    // Registers the callback for every later event (never unregistered).
    // False with the system error on failure.
    virtual bool register_callback(std::function<void(uint32_t type)> callback, uint32_t& error) = 0;
};

// The machine's power events (on Linux: the simulated machine's).
IPowerNotifications& power_notifications();

}  // namespace sorvane::platform
