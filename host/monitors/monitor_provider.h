// What a viewer session asks of the virtual monitors: one monitor per viewer
// device (its client id) in the viewer's size, kept for a grace period after
// the session is lost so that a quick reconnect gets the same monitor back.
#pragma once

#include <cstdint>
#include <string>

#include "host/core/monitor_ref.h"

namespace sorvane {

struct MonitorRequest {
    std::string client_id;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    uint32_t mm_width = 0;   // EDID size in millimetres; 0 = unknown
    uint32_t mm_height = 0;
};

struct AcquiredMonitor {
    MonitorRef ref;  // by_target for driver monitors
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    bool reused = false;  // an existing monitor was taken back
};

class IMonitorProvider {
public:
    virtual ~IMonitorProvider() = default;

    // A monitor for the viewer, held by session_id. Error texts mention
    // "allow list", "driver not loaded", "adapter is not ready" or
    // "desktop unavailable" where those are the cause.
    virtual bool acquire_monitor(const MonitorRequest& request, uint32_t session_id, AcquiredMonitor& monitor,
                                 std::string& error) = 0;
    // The session was lost: the monitor stays for grace_ms (0: the
    // configured default) and is then removed unless taken back.
    virtual void release_after_grace(const std::string& client_id, uint32_t session_id, uint32_t grace_ms) = 0;
    // The session ended: the monitor goes now.
    virtual void release_monitor(const std::string& client_id, uint32_t session_id) = 0;
    // Removes every monitor and disconnects; once only.
    virtual void shutdown() = 0;
    // False when the session's monitor is known to be gone or going; true
    // when it exists or cannot be checked.
    virtual bool monitor_alive(const std::string& client_id, uint32_t session_id) = 0;
};

}  // namespace sorvane
