// Drivers loaded for device nodes, and the processes that host them.
//
// A driver loaded for a device node runs in a driver host process under
// LOCAL SERVICE. The host holds <root>/drivers/<instance id, '\' as '#'>.lock
// for as long as the driver is loaded, and the node records the host's
// process id and the display adapter its driver started. Windows loads one
// driver instance per device node: a second host for a node is refused.
//
// A host that ends without unloading (killed, crashed) leaves its lock free.
// The machine notices on its next look (every Machine::read and update): the
// adapter goes with its monitors, as when the driver host of a device fails,
// and a driver loaded again starts a fresh adapter. Removing a device node
// (or the driver package bound to it) first stops the node's host through the
// driver's clean unload and waits for it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/sim/machine.h"

namespace sorvane::sim {

std::string driver_host_lock_path(const std::string& root, std::string_view instance_id);

// From now on this process is a driver host: it runs under LOCAL SERVICE.
void become_driver_host_process();
// The token of this process for access checks on the machine in root: LOCAL
// SERVICE in a driver host, else the machine's user (a uid's token when root
// holds no machine).
Token process_token(const std::string& root);
// The token of another process of that machine, by the process id and uid the
// kernel reports for it.
Token peer_token(const std::string& root, uint32_t pid, uint32_t uid);

// The node lock a driver host holds while its driver is loaded.
class DriverHostLock {
public:
    DriverHostLock() = default;
    ~DriverHostLock();
    DriverHostLock(const DriverHostLock&) = delete;
    DriverHostLock& operator=(const DriverHostLock&) = delete;

    // Inside an update of the machine in root: takes the node's lock and
    // records this process in the node. False with error when the node is not
    // there or another process hosts its driver.
    bool acquire(const std::string& root, MachineState& s, const std::string& instance_id, std::string& error);
    // Inside an update: clears the node's record (the adapter is the caller's).
    void clear_record(MachineState& s) const;
    // Gives the lock up (after the record is cleared). Harmless twice.
    void release();
    bool held() const { return fd_ >= 0; }
    const std::string& instance_id() const { return instance_id_; }

private:
    int fd_ = -1;
    std::string path_;
    std::string instance_id_;
};

// Takes a driver's adapter out of the topology: its monitors depart (Windows
// remembers where they were), then the adapter goes.
void remove_driver_adapter(DisplayModel& display, const SimLuid& luid);

// Whether a node of devices records a host that has ended without unloading.
bool driver_hosts_ended(const std::string& root, const DeviceModel& devices);
// Takes away what such hosts left: their adapters with the monitors and
// their records. Returns what was done, one line per host ("" for nothing).
std::string reap_ended_driver_hosts(const std::string& root, MachineState& s);

// Asks the live host of every node that which selects to unload its driver
// (the clean unload a device removal starts) and waits until each has ended,
// at most timeout_ms. False when one is still loaded then.
bool stop_driver_hosts(Machine& machine, const std::function<bool(const DeviceNode&)>& which, uint64_t timeout_ms);

}  // namespace sorvane::sim
