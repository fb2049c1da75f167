#include "platform/sim/power_sim.h"

namespace sorvane::sim {

bool SimPowerEvents::register_callback(std::function<void(uint32_t type)> callback, uint32_t& error) {
    std::lock_guard lock(mutex_);
    if (fail_error_ != 0) {
        error = fail_error_;
        return false;
    }
    callbacks_.push_back(std::move(callback));
    error = 0;
    return true;
}

void SimPowerEvents::fail_registration(uint32_t error) {
    std::lock_guard lock(mutex_);
    fail_error_ = error;
}

void SimPowerEvents::deliver(uint32_t type) {
    std::vector<std::function<void(uint32_t)>> list;
    {
        std::lock_guard lock(mutex_);
        list = callbacks_;
    }
    for (auto& cb : list) cb(type);
}

size_t SimPowerEvents::registrations() const {
    std::lock_guard lock(mutex_);
    return callbacks_.size();
}

SimPowerEvents& process_power_events() {
    static SimPowerEvents events;
    return events;
}

}  // namespace sorvane::sim
