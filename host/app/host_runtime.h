// The host's long-lived components: created, started, stopped and destroyed
// here, in one fixed order.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "host/core/options.h"
#include "host/app/tray_mode.h"
#include "host/core/state_files.h"
#include "host/trust/trust_status.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/display_config.h"
#include "platform/gpu.h"
#include "platform/network.h"
#include "platform/paths.h"
#include "platform/protect.h"
#include "platform/shell.h"

namespace sorvane {

// Where the host keeps its files.
struct HostPaths {
    std::string data_dir;  // <local app data>/Sorvane; empty when there is none
    std::string log_dir;
    std::string host_id_file;
    std::string pairings_file;
    std::string device_kinds_file;
    std::string display_positions_file;
};

// Paths under the local application data folder; without one, the files are
// bare names in the working directory and there is no log folder.
HostPaths host_paths(platform::IPaths& paths);

// The ports the host runs on; tests substitute their own.
struct HostPlatform {
    platform::IClock* clock = nullptr;
    platform::IPaths* paths = nullptr;
    platform::INetworkInfo* network = nullptr;
    platform::IDataProtector* protector = nullptr;
};

class HostDiscovery;
class TlsIdentity;
class PairingStore;
class PairingListener;
class WifiTransport;
class SessionManager;
class ISessionMonitors;
class DriverMonitorProvider;
class OutputPresence;
class MediaPipelineFactory;
class PlatformInjectorFactory;

class HostRuntime {
public:
    HostRuntime(HostPlatform platform, std::atomic<bool>& stop_flag);
    ~HostRuntime();
    HostRuntime(const HostRuntime&) = delete;
    HostRuntime& operator=(const HostRuntime&) = delete;

    // Creates and starts every component. False (already logged, the failed
    // step in last_error) means the process ends with exit code 1 after
    // stop_host and teardown_host.
    bool start_host(const HostOptions& options, const RunSettings& run);
    const std::string& last_error() const { return last_error_; }
    // Tray mode after a successful start; returns the exit code.
    int run_tray();
    // Stops everything started, in reverse order. A second call does nothing.
    void stop_host();
    // Destroys the components.
    void teardown_host();

    const HostOptions& options() const { return options_; }
    const RunSettings& run_settings() const { return run_; }
    PairingListener* pairing_listener() { return pairing_listener_.get(); }
    SessionManager* session_manager() { return session_manager_.get(); }
    // The network watcher's snapshot and the network settings page; null
    // before start-up reached discovery.
    HostDiscovery* discovery() { return discovery_.get(); }
    PairingStore* pairings() { return pairings_.get(); }
    DeviceKindStore* device_kinds() { return device_kinds_.get(); }
    DisplayPositionStore* display_positions() { return display_positions_.get(); }
    WifiTransport* transport() { return transport_.get(); }
    const HostPlatform& host_platform() const { return platform_; }
    TrustStatusRecord trust_events() const { return trust_status_.snapshot(); }
    const HostPaths& paths() const { return paths_; }
    // What tray mode adds (set before run_tray).
    void set_tray_extras(TrayExtras extras) { tray_extras_ = std::move(extras); }

private:
    HostPlatform platform_;
    std::atomic<bool>& stop_flag_;
    HostOptions options_;
    RunSettings run_;
    HostPaths paths_;
    bool started_ = false;  // something was started that stop_host ends
    bool stopped_ = false;
    std::string last_error_;

    // Pairing with --pair: writes the QR code and shows it on a terminal.
    void present_pairing();

    TrustStatus trust_status_;
    std::unique_ptr<platform::ConsoleControlHandler> console_handler_;
    std::unique_ptr<TlsIdentity> identity_;
    std::unique_ptr<PairingStore> pairings_;
    std::unique_ptr<DeviceKindStore> device_kinds_;
    std::unique_ptr<DisplayPositionStore> display_positions_;
    // The driver's monitors, and the sessions' view of them.
    std::unique_ptr<platform::IDisplayConfigApi> display_config_;
    std::unique_ptr<OutputPresence> outputs_;
    std::unique_ptr<platform::IGpuAdapters> gpus_;
    std::unique_ptr<DriverMonitorProvider> driver_monitors_;
    std::unique_ptr<ISessionMonitors> monitor_provider_;
    std::unique_ptr<MediaPipelineFactory> pipelines_;
    std::unique_ptr<PlatformInjectorFactory> injectors_;
    std::unique_ptr<WifiTransport> transport_;
    std::unique_ptr<platform::IShell> shell_;  // sessions open the display settings with it
    std::unique_ptr<SessionManager> session_manager_;
    bool transport_started_ = false;
    std::unique_ptr<HostDiscovery> discovery_;
    std::unique_ptr<PairingListener> pairing_listener_;
    TrayExtras tray_extras_;
    std::unique_ptr<TrayMode> tray_mode_;
};

// Console mode's wait: returns when stop_flag is set or, when run_seconds is
// not 0, once that many seconds of clock have passed. Checks every 100 ms.
void console_wait(platform::IClock& clock, const std::atomic<bool>& stop_flag, uint32_t run_seconds);

}  // namespace sorvane
