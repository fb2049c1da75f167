// What the control plane needs from the display framework side of the
// driver, and how that side reports monitor events back. The framework
// implementation owns the adapter and the OS monitor objects; tests use a
// scripted fake.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "driver/core/types.h"

namespace sorvane::vdd {

// Outcome of a backend operation: the OS status (an NTSTATUS) and the name of
// the call that failed.
struct OpResult {
    bool ok = true;
    uint32_t status = 0;
    std::string failed_call;

    static OpResult success() { return {}; }
    static OpResult failure(uint32_t status, std::string call) { return {false, status, std::move(call)}; }
};

struct MonitorParams {
    uint32_t id = 0;
    uint32_t slot = 0;
    uint32_t serial = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    ModeList modes;
    std::vector<uint8_t> edid;
};

// Called by the backend on its own threads. Neither call may be made while the
// backend holds a lock that the control plane's callers could need.
class MonitorEventSink {
public:
    virtual ~MonitorEventSink() = default;
    // The OS assigned a swap chain to the monitor.
    virtual void on_monitor_active(uint32_t id) = 0;
    // The OS destroyed the monitor object.
    virtual void on_monitor_gone(uint32_t id) = 0;
};

class IDriverBackend {
public:
    virtual ~IDriverBackend() = default;

    // Stores the sink (null clears it) under the backend's sink lock.
    virtual void set_event_sink(MonitorEventSink* sink) = 0;
    virtual bool adapter_ready() = 0;
    // The NTSTATUS of a failed adapter start; 0 when none.
    virtual uint32_t adapter_error() = 0;
    // Creates and announces the OS monitor; on success fills the OS adapter
    // LUID and target id it was given.
    virtual OpResult add_monitor(const MonitorParams& params, Luid& os_luid, uint32_t& os_target) = 0;
    // Starts the OS departure of the monitor.
    virtual OpResult depart_monitor(uint32_t id) = 0;
    // Whether the LUID names a usable hardware adapter.
    virtual bool is_valid_render_adapter(const Luid& luid) = 0;
    // Stores the render preference and applies it when the adapter is ready.
    virtual OpResult set_render_preference(const Luid& luid) = 0;
    // The adapter the OS renders the monitors on; zero until one was assigned.
    virtual Luid actual_render_adapter() = 0;
    virtual std::string driver_version() = 0;
    // The display framework's version; 0 when unknown.
    virtual uint32_t iddcx_version() = 0;
    // Sets the driver log level (0 off, 1 info, 2 debug).
    virtual void set_log_level(int level) = 0;
    // Deletes OS monitor objects that outlived their departure.
    virtual void sweep() = 0;
    // Whether the OS monitor object of the monitor still exists.
    virtual bool monitor_present(uint32_t /*id*/) { return false; }
};

}  // namespace sorvane::vdd
