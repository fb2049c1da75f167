// Simulated power events: whoever holds the object delivers suspend and
// resume notifications to every registered callback, in order.
#pragma once

#include <functional>
#include <mutex>
#include <string>
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

// Power events between the processes of a machine: every process that
// listens has a datagram socket in <root>/power/ (named after its process id);
// `sorvane-sim power` sends the event to each of them.
std::string power_folder(const std::string& root);

// Starts this process's listener for the machine in root, once: a thread that
// hands every event arriving on the socket to process_power_events(). False
// with error when the socket could not be made (root not set up, path too
// long); a later call tries again.
bool listen_for_machine_power_events(const std::string& root, std::string& error);

// Sends one event to every listening process of the machine in root; sockets
// nobody listens on any more are removed. delivered: how many got it.
bool send_machine_power_event(const std::string& root, uint32_t type, size_t& delivered, std::string& error);

}  // namespace sorvane::sim
