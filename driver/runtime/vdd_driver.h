// The loaded driver: driver entry builds the backend, the control plane, the
// maintenance thread and the control pipe (retried every 4 s while it cannot
// start); unload takes them down in the reverse order.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "driver/core/control_plane.h"
#include "driver/runtime/driver_backend.h"
#include "driver/runtime/pipe_server.h"
#include "platform/clock.h"
#include "platform/iddcx.h"
#include "platform/registry.h"

namespace sorvane::vdd {

struct DriverOptions {
    std::string pipe_name = kControlPipeName;
    // The account the driver runs under; empty means this process's.
    std::string own_sid;
    uint64_t maintenance_interval_ms = 500;
    uint32_t idle_timeout_ms = 30'000;
};

class VirtualDisplayDriver {
public:
    VirtualDisplayDriver(platform::IIddCx& iddcx, platform::IClock& clock, platform::IRegistry& registry,
                         DriverOptions options = {});
    ~VirtualDisplayDriver();
    VirtualDisplayDriver(const VirtualDisplayDriver&) = delete;
    VirtualDisplayDriver& operator=(const VirtualDisplayDriver&) = delete;

    // Driver entry and the device's arrival (device add, then D0 entry).
    uint32_t driver_entry();
    uint32_t device_add();
    // Unload in order: tick hook, shutting down, maintenance thread, pipe
    // server, control plane, backend. Harmless twice.
    void unload();

    // One start attempt of the control pipe in every eight calls.
    void try_start_control_pipe();
    bool pipe_running();

    DriverBackend* backend() { return backend_.get(); }
    ControlPlane* control_plane() { return control_.get(); }

private:
    platform::IIddCx& iddcx_;
    platform::IClock& clock_;
    platform::IRegistry& registry_;
    DriverOptions options_;
    std::unique_ptr<DriverBackend> backend_;
    std::unique_ptr<ControlPlane> control_;
    std::unique_ptr<MaintenanceThread> maintenance_;

    std::mutex pipe_mutex_;
    std::unique_ptr<PipeServer> pipe_;
    bool shutting_down_ = false;
    uint64_t attempts_ = 0;
    bool unloaded_ = false;
};

}  // namespace sorvane::vdd
