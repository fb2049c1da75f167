// What a session needs from the rest of the host: the monitor provider, the
// video pipeline, the injectors and a few host services. Each is an
// interface here so that the app wires the real components and tests wire
// fakes; the adapters to the driver monitor provider and the media pipeline
// live in host/app.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/core/monitor_ref.h"
#include "host/core/encoder_choice.h"
#include "host/net/video_cipher.h"
#include "host/net/video_datagram.h"
#include "host/trust/log_rate_limiter.h"
#include "platform/clock.h"

namespace sorvane {

class InputInjector;
class TouchInjector;
class PairingStore;
namespace proto {
struct TouchFrame;
}

// What a session asks of the monitor provider for its viewer.
struct SessionMonitorRequest {
    std::string client_id;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 60;
    uint32_t edid_width_mm = 0;  // 0 x 0: the driver's default size
    uint32_t edid_height_mm = 0;
};

struct SessionMonitor {
    bool ok = false;
    std::string error;  // when not ok
    MonitorRef ref;
    std::string text;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    bool reused = false;
};

// The operations of the host's monitor provider that sessions use.
class ISessionMonitors {
public:
    virtual ~ISessionMonitors() = default;
    virtual SessionMonitor acquire_monitor(const SessionMonitorRequest& request, uint32_t session_id) = 0;
    // grace_ms 0: the provider's default.
    virtual void release_after_grace(const std::string& client_id, uint32_t session_id, uint32_t grace_ms) = 0;
    virtual void release_monitor(const std::string& client_id, uint32_t session_id) = 0;
    virtual bool monitor_alive(const std::string& client_id, uint32_t session_id) = 0;
};

struct SessionPipelineConfig {
    uint32_t session_id = 0;  // names the session in the pipeline's log lines
    MonitorRef monitor;
    uint32_t fps = 60;
    uint32_t bitrate = 20'000'000;
    EncoderChoice encoder;
    std::string frame_log_path;
};

// A snapshot of a running pipeline's counters.
struct PipelineSnapshot {
    uint64_t sent = 0;
    uint64_t stuck_ms = 0;
    uint64_t idr_wait_ms = 0;
    std::string text;
    bool ended = false;         // the frame thread ended on a failure
    bool size_changed = false;  // ... because the monitor's desktop changed size
};

// One session's capture-and-encode pipeline. stop joins its frame thread,
// which never takes the session's mutex.
class ISessionPipeline {
public:
    virtual ~ISessionPipeline() = default;
    virtual void set_cipher(std::shared_ptr<VideoCipher> cipher) = 0;
    virtual void run(VideoSender sender) = 0;  // starts the frame thread
    // Each frame's datagrams go out together through sender (set before run);
    // a pipeline without batching keeps to the per-datagram sender.
    virtual void set_batch_sender(VideoBatchSender sender) { (void)sender; }
    virtual void start() = 0;                  // frames flow, beginning with an IDR
    virtual void stop() = 0;
    virtual void request_keyframe() = 0;
    // True when the rate was lowered to fps.
    virtual bool lower_fps(uint32_t fps) = 0;
    virtual uint32_t fps() const = 0;
    virtual uint32_t width() const = 0;
    virtual uint32_t height() const = 0;
    virtual uint32_t frame_seq() const = 0;
    virtual void set_frame_seq(uint32_t seq) = 0;
    // A frame was captured (or touch is taken anyway).
    virtual bool touch_ready() const = 0;
    virtual PipelineSnapshot stats() const = 0;
};

class IPipelineFactory {
public:
    virtual ~IPipelineFactory() = default;
    // nullptr with error set when the pipeline cannot be opened.
    virtual std::unique_ptr<ISessionPipeline> open(const SessionPipelineConfig& config, std::string& error) = 0;
};

// Creates the injectors of a session (on first use).
class IInjectorFactory {
public:
    virtual ~IInjectorFactory() = default;
    virtual std::unique_ptr<InputInjector> make_input(std::string name, std::function<void(std::string_view)> notify) = 0;
    virtual std::unique_ptr<TouchInjector> make_touch(uint32_t session_id, const MonitorRef& monitor,
                                                      const std::string& trace_path) = 0;
};

// Host services shared by every session. Pointers may be null: no pipeline
// factory means every handshake ends with pipeline_error, no injector
// factory means input is counted but not injected.
struct SessionServices {
    platform::IClock* clock = nullptr;
    IPipelineFactory* pipelines = nullptr;
    IInjectorFactory* injectors = nullptr;
    PairingStore* pairings = nullptr;
    // Records the kind of viewer ("phone", "tablet") of a client id.
    std::function<void(const std::string& client_id, const std::string& kind)> set_device_kind;
    // 32 random bytes for the video key; false on failure.
    std::function<bool(uint8_t* key, size_t n)> random;
    // The process-wide power epoch.
    std::function<uint32_t()> power_epoch;
    // Writes a settings note; failures are ignored.
    std::function<void(const std::string& key, const std::string& value)> note;
    // "%04u-%02u-%02uT%02u:%02u:%02uZ" of now.
    std::function<std::string()> utc_now;
    // Opens the display settings; returns the shell's code (> 32: ok).
    std::function<int64_t()> open_display_settings;
    // Whether the peer address is on a USB tethering subnet.
    std::function<bool(const std::string& ip)> on_usb_subnet;
    // Whether the user interface speaks Turkish now (picks the device_limit
    // text); null: English.
    std::function<bool()> turkish;
};

// What admit_device decided.
enum class DeviceAdmission : uint8_t {
    admitted,
    device_limit,  // another device is connected
    superseded,    // a newer connection of the same device was admitted first
};

// What the session manager offers to sessions; called with the session's
// mutex held.
class ISessionEnv {
public:
    virtual ~ISessionEnv() = default;
    virtual ISessionMonitors& monitor_provider() = 0;
    virtual void supersede_older_sessions(const std::string& client_id, uint32_t session_id) = 0;
    virtual DeviceAdmission admit_device(const std::string& client_id, uint32_t session_id) = 0;
    // The budget of the lines peers cause, shared by every session.
    virtual LineBudget& peer_lines() = 0;
};

}  // namespace sorvane
