// The real components behind what a session asks of the host: the driver's
// virtual monitors, the capture-and-encode pipeline over desktop duplication,
// and the injectors over the system's input. Platform objects are made on
// first use, so a host that never streams never touches the desktop.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/input/output_rect_lookup.h"
#include "host/media/capture.h"
#include "host/media/encoder_selection.h"
#include "host/media/video_pipeline.h"
#include "host/monitors/monitor_provider.h"
#include "host/session/session_env.h"
#include "platform/clock.h"
#include "platform/duplication.h"
#include "platform/input.h"
#include "platform/mft.h"
#include "platform/nvenc.h"
#include "platform/touch.h"

namespace sorvane {

// Sessions' view of the monitor provider.
// Seals each fragment of a frame with cipher (kept alive by the sealer); a
// null cipher seals nothing.
FragmentSealer cipher_sealer(std::shared_ptr<VideoCipher> cipher);

class SessionMonitorsAdapter final : public ISessionMonitors {
public:
    explicit SessionMonitorsAdapter(IMonitorProvider& provider) : provider_(provider) {}

    SessionMonitor acquire_monitor(const SessionMonitorRequest& request, uint32_t session_id) override;
    void release_after_grace(const std::string& client_id, uint32_t session_id, uint32_t grace_ms) override;
    void release_monitor(const std::string& client_id, uint32_t session_id) override;
    bool monitor_alive(const std::string& client_id, uint32_t session_id) override;

private:
    IMonitorProvider& provider_;
};

// Whether the desktop shows an output for a monitor, looked up the way
// capture looks it up. Safe from any thread.
class OutputPresence {
public:
    bool has_output(const MonitorRef& monitor);

private:
    std::mutex mutex_;
    std::unique_ptr<platform::IDuplication> port_;
    std::unique_ptr<DxgiCaptureSource> source_;
};

// The GPUs the encoder is chosen among, from the duplication's adapter list:
// every adapter renders and displays; software adapters are marked so.
class DuplicationAdapterList final : public IGpuAdapterList {
public:
    explicit DuplicationAdapterList(platform::IDuplication& port) : port_(port) {}
    std::vector<KernelAdapter> kernel_adapters() override;
    std::vector<platform::AdapterDesc> dxgi_adapters() override;

private:
    platform::IDuplication& port_;
};

// Opens a VideoPipeline for a session: its own duplication of the desktop,
// the encoder by policy, and the session's cipher as the sealer.
class MediaPipelineFactory final : public IPipelineFactory {
public:
    explicit MediaPipelineFactory(platform::IClock& clock) : clock_(clock) {}
    std::unique_ptr<ISessionPipeline> open(const SessionPipelineConfig& config, std::string& error) override;

private:
    platform::IClock& clock_;
    std::mutex mutex_;  // one encoder made at a time: the encoder ports are shared
    std::unique_ptr<platform::IMftPort> mft_;
    std::unique_ptr<platform::INvencLibrary> nvenc_;
};

// The injectors of a session over the system's input.
class PlatformInjectorFactory final : public IInjectorFactory {
public:
    explicit PlatformInjectorFactory(platform::IClock& clock) : clock_(clock) {}
    ~PlatformInjectorFactory() override;

    std::unique_ptr<InputInjector> make_input(std::string name, std::function<void(std::string_view)> notify) override;
    std::unique_ptr<TouchInjector> make_touch(uint32_t session_id, const MonitorRef& monitor,
                                              const std::string& trace_path) override;

private:
    platform::IClock& clock_;
    std::mutex mutex_;
    std::unique_ptr<platform::IInputSink> sink_;
    std::unique_ptr<platform::IForegroundInfo> foreground_;
    std::unique_ptr<platform::IDesktopInfo> desktop_;
    std::unique_ptr<platform::ITouchDeviceFactory> touch_devices_;
    std::unique_ptr<platform::IDuplication> rect_port_;
    std::unique_ptr<OutputRectLookup> rects_;
};

}  // namespace sorvane
