// Simulated power events: whoever holds the object delivers suspend and
// resume notifications to every registered callback, in order.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "platform/power.h"

namespace sorvane::sim {

class SimPowerEvents final : public platform::IPowerNotifications {
public:
    bool register_callback(std::function<void(uint32_t type)> callback, uint32_t& error) override;
    // Registration fails with this system error from now on (0: succeeds).
    void fail_registration(uint32_t error);
    // Delivers one event to every registered callback.
    void deliver(uint32_t type);
    size_t registrations() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::function<void(uint32_t)>> callbacks_;
    uint32_t fail_error_ = 0;
};

// The process's simulated power events (what power_notifications() returns on Linux).
SimPowerEvents& process_power_events();

}  // namespace sorvane::sim
