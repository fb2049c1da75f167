// The driver's book-keeping for the monitors clients asked for: it answers
// control requests, hands out slots, ids and serials, ties every monitor to
// the connection that created it, removes the monitors of connections that
// closed or went silent past their lease, retries failed removals with
// back-off and frees slots the OS never releases. It never calls the display
// framework itself; the backend does, and reports back as a MonitorEventSink.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "driver/core/backend.h"
#include "driver/core/log.h"
#include "driver/core/protocol.h"
#include "driver/core/registry.h"
#include "platform/clock.h"

namespace sorvane::vdd {

inline constexpr char kProtocolRevision[] = "1.1";
// Failed automatic removals after which a monitor is left stuck.
inline constexpr uint32_t kMaxAutomaticRemovalFailures = 4;

struct ControlConfig {
    uint32_t max_monitors = 8;
    uint64_t lease_ms = 10'000;
    uint32_t rate_limit = 4;  // rate-limited requests per connection per window
    uint64_t rate_window_ms = 1'000;
    uint64_t departing_timeout_ms = 30'000;
    uint64_t pixel_budget = 1'500'000'000;  // sum of width * height * refresh
    // EDID identity of every monitor; the monitors' hardware id is "SVN0001".
    std::string edid_maker = "SVN";
    uint16_t product_code = 1;
    std::string name = "Sorvane";
    // Lines of the control plane: "[ctl] " lines at info level of the driver log.
    LineLogger logger = make_line_logger(kLogInfo, "[ctl] ");
};

// Per connection that sent a valid request: its last request and the times
// of its accepted rate-limited requests.
struct ConnectionState {
    uint64_t last_request_ms = 0;
    std::vector<uint64_t> rate_times;
};

// 0 for success, else an error code of the protocol with its detail word and,
// for kIddcx, the OS status.
struct RemoveResult {
    uint32_t code = 0;
    std::string detail;
    uint32_t status = 0;
    bool ok() const { return code == 0; }
};

class ControlPlane final : public MonitorEventSink {
public:
    // Registers itself as the backend's event sink (and clears it when destroyed).
    ControlPlane(IDriverBackend& backend, platform::IClock& clock, ControlConfig config = {});
    ~ControlPlane() override;
    ControlPlane(const ControlPlane&) = delete;
    ControlPlane& operator=(const ControlPlane&) = delete;

    // Answers one request message of a connection. Never throws: failures,
    // including exceptions of the backend, become error responses.
    std::string handle_request(uint32_t connection_id, std::string_view bytes) noexcept;

    // Departs a monitor. forced (a client's MONITOR_REMOVE) also retries a
    // stuck monitor and starts its failure count afresh.
    RemoveResult remove_monitor(uint32_t id, bool forced);
    // The connection ended: its monitors are removed now and retried by tick().
    void on_disconnect(uint32_t connection_id);
    // Maintenance (every 500 ms): lease expiry, departing time-out, removal
    // retries, then the backend's sweep.
    void tick();

    void on_monitor_active(uint32_t id) override;
    void on_monitor_gone(uint32_t id) override;

    // Copies for diagnostics and tests.
    std::vector<MonitorEntry> entries() const;
    Luid render_preference() const;
    const ControlConfig& config() const { return config_; }

private:
    std::string dispatch(uint32_t connection_id, std::string_view bytes, ControlRequest& request);
    std::string verb_ping(const ControlRequest& request);
    std::string verb_get_state(const ControlRequest& request);
    std::string verb_monitor_add(uint32_t connection_id, const ControlRequest& request);
    std::string verb_monitor_remove(uint32_t connection_id, const ControlRequest& request);
    std::string verb_gpu_luid(uint32_t connection_id, const ControlRequest& request);
    std::string verb_log(const ControlRequest& request);

    // Records a rate-limited request; false when the connection is over its limit.
    bool take_rate_slot(uint32_t connection_id);
    void erase_entry(uint32_t id);
    // Puts a monitor whose departure failed back and schedules the next try
    // (lock held).
    // Returns the line to log once the lock is released (empty when none).
    std::string departure_failed_locked(uint32_t id, bool forced, uint64_t now);
    void log_lines(const std::vector<std::string>& lines) const;

    IDriverBackend& backend_;
    platform::IClock& clock_;
    const ControlConfig config_;
    mutable std::mutex mutex_;  // registry_, connections_, render_preference_
    MonitorRegistry registry_;
    std::map<uint32_t, ConnectionState> connections_;
    // Connections that ended (ids are never reused): a request still in
    // flight never brings their record back, and a monitor one of them was
    // adding is born owner-gone.
    std::set<uint32_t> ended_connections_;
    Luid render_preference_;
    // Serialises GPU_LUID requests, so the stored preference is the one the
    // backend applied last.
    std::mutex gpu_mutex_;
};

// Calls tick every interval of the clock on its own thread until stopped.
// Exceptions of tick are swallowed; the next round runs normally.
class MaintenanceThread {
public:
    MaintenanceThread(std::function<void()> tick, platform::IClock& clock, uint64_t interval_ms = 500);
    ~MaintenanceThread();
    MaintenanceThread(const MaintenanceThread&) = delete;
    MaintenanceThread& operator=(const MaintenanceThread&) = delete;

    void start();
    // Wakes the thread and joins it. A second stop is harmless.
    void stop();

private:
    void run();

    std::function<void()> tick_;
    platform::IClock& clock_;
    const uint64_t interval_ms_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace sorvane::vdd
