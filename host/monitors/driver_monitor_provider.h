// Virtual monitors made by the display driver: one per viewer device, in the
// viewer's size, placed as an extended display, kept for a grace period after
// its session is lost, and removed with the user's other displays put back
// where they were before it came.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/core/state_files.h"
#include "host/layout/display_layout.h"
#include "host/monitors/driver_control_client.h"
#include "host/monitors/monitor_provider.h"
#include "platform/clock.h"
#include "platform/gpu.h"

namespace sorvane {

struct RenderGpu {
    DriverLuid luid;
    std::string name;  // ASCII, "?" for other characters
};

struct DriverMonitorConfig {
    uint32_t grace_ms = 30'000;
    std::string pipe_name;  // empty: the driver's pipe
    uint32_t output_wait_ms = 10'000;
    // Whether the desktop shows an output for the monitor (capture's lookup).
    std::function<bool(const MonitorRef&)> has_output;
    // The GPU the driver should render on; nullopt: leave the driver's default.
    std::function<std::optional<RenderGpu>()> find_render_gpu;
    // Where remembered positions are kept (not owned; may be null).
    DisplayPositionStore* positions = nullptr;
};

// The GPU the driver should render on, by the host's render-GPU rule (for
// DriverMonitorConfig::find_render_gpu).
std::optional<RenderGpu> find_driver_render_gpu(platform::IGpuAdapters& gpus);

// The normalised mode of a request (even sizes within 320..4094, area at most
// 8847360, refresh 24..240, EDID size only when both sides are 1..2550).
MonitorRequest normalise_request(const MonitorRequest& request);

// The last time the driver was found not ready: {set, text}.
std::pair<bool, std::string> driver_readiness_note();

class DriverMonitorProvider final : public IMonitorProvider {
public:
    DriverMonitorProvider(platform::IClock& clock, platform::IDisplayConfigApi& display, DriverMonitorConfig config);
    ~DriverMonitorProvider() override;
    DriverMonitorProvider(const DriverMonitorProvider&) = delete;
    DriverMonitorProvider& operator=(const DriverMonitorProvider&) = delete;

    bool acquire_monitor(const MonitorRequest& request, uint32_t session_id, AcquiredMonitor& monitor,
                         std::string& error) override;
    void release_after_grace(const std::string& client_id, uint32_t session_id, uint32_t grace_ms) override;
    void release_monitor(const std::string& client_id, uint32_t session_id) override;
    void shutdown() override;
    bool monitor_alive(const std::string& client_id, uint32_t session_id) override;

    // For tests: how many viewers have a monitor.
    size_t entry_count();

    struct Entry {
        uint32_t id = 0;
        uint32_t serial = 0;
        DriverLuid os_luid;
        uint32_t os_target = 0;
        uint32_t width = 0, height = 0, refresh = 0, mmw = 0, mmh = 0;  // as normalised from the request
        uint32_t actual_refresh = 0;  // lower when the driver refused the pixel clock
        uint32_t session = 0;
        bool suspended = false;
        uint64_t deadline = 0;
        layout::Layout base;
    };

private:
    bool ensure_connected(std::string& error);
    bool create(const std::string& client_id, const MonitorRequest& mode, Entry& entry, std::string& error);
    void remove_restore(const std::string& client_id, const Entry& entry, const std::string& reason);
    void choose_render_gpu(const DriverState& state);
    void grace_loop();

    platform::IClock& clock_;
    layout::DisplayConfig display_;
    DriverMonitorConfig config_;
    DriverControlClient client_;
    std::atomic<bool> connected_{false};
    bool ever_connected_ = false;
    std::shared_ptr<std::atomic<bool>> lost_ = std::make_shared<std::atomic<bool>>(false);

    std::mutex provider_mutex_;
    std::mutex entries_mutex_;
    std::map<std::string, Entry> entries_;

    std::condition_variable grace_cv_;
    bool stop_ = false;  // guarded by entries_mutex_
    uint64_t wake_ = 0;  // bumped to wake the grace thread; guarded by entries_mutex_
    std::once_flag shutdown_once_;
    std::thread grace_thread_;
};

}  // namespace sorvane
