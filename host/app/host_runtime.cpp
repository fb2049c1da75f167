#include "host/app/host_runtime.h"

#include "host/app/discovery.h"
#include "host/app/session_adapters.h"

#include <cstdio>

#include "host/core/language.h"
#include "host/core/log.h"
#include "host/core/power.h"
#include "host/core/settings.h"
#include "host/monitors/driver_monitor_provider.h"
#include "host/net/network_profile.h"
#include "host/net/wifi_transport.h"
#include "host/session/session_manager.h"
#include "host/trust/pairing_listener.h"
#include "host/trust/pairing_qr.h"
#include "host/trust/pairing_store.h"
#include "host/trust/tls_identity.h"
#include "platform/cert_store.h"
#include "platform/files.h"
#include "platform/random.h"
#include "platform/shell.h"
#include "platform/system.h"

namespace sorvane {

HostPaths host_paths(platform::IPaths& paths) {
    HostPaths p;
    std::string base;
    if (paths.local_app_data(base)) {
        p.data_dir = platform::join_path(base, "Sorvane");
        p.log_dir = platform::join_path(p.data_dir, "logs");
    }
    p.host_id_file = platform::join_path(p.data_dir, "host_id.txt");
    p.pairings_file = platform::join_path(p.data_dir, "pairings.dat");
    const std::string state_dir = platform::directory_part(p.pairings_file);
    p.device_kinds_file = state_dir + "device_kinds.txt";
    p.display_positions_file = state_dir + "display_positions.txt";
    return p;
}

void console_wait(platform::IClock& clock, const std::atomic<bool>& stop_flag, uint32_t run_seconds) {
    const uint64_t start = clock.now_ms();
    const uint64_t limit_ms = static_cast<uint64_t>(run_seconds) * 1000;
    while (!stop_flag.load()) {
        clock.sleep_ms(100);
        if (run_seconds != 0 && clock.now_ms() - start >= limit_ms) break;
    }
}

HostRuntime::HostRuntime(HostPlatform platform, std::atomic<bool>& stop_flag)
    : platform_(platform), stop_flag_(stop_flag) {}

HostRuntime::~HostRuntime() { teardown_host(); }

bool HostRuntime::start_host(const HostOptions& options, const RunSettings& run) {
    options_ = options;
    run_ = run;
    paths_ = host_paths(*platform_.paths);

    // Host id and name.
    options_.host_id = load_or_create_host_id(paths_.host_id_file, new_host_id());
    if (options_.host_id.empty()) {
        log("[host] host id olusturulamadi (rastgele kaynak hatasi), durduruluyor");
        last_error_ = "host id: the random source failed";
        return false;
    }
    std::string name;
    // The name must fit the 16-byte buffer Windows fills (15 characters and the terminator).
    if (!platform::computer_name(name) || name.empty() || name.size() > 15) name = "host";
    options_.host_name = name;

    if (!options_.frame_log_dir.empty()) platform::create_directory(options_.frame_log_dir);

    log("[host] starting: host_id=%s name=%s protocol 0x%04X", options_.host_id.c_str(), options_.host_name.c_str(),
        static_cast<unsigned>(proto::kProtocolVersion));
    if (options_.allowed_ip == 0 && options_.bind_address != "127.0.0.1") {
        log("[host] bound to %s without --allow-ip: any device can attempt a connection, but control/input still "
            "require a paired mTLS certificate (K16)",
            options_.bind_address.c_str());
    }

    if (run_.console) {
        console_handler_ = platform::install_console_control_handler(
            [this](platform::ControlEvent) { stop_flag_.store(true); });
    }

    // TLS identity.
    {
        auto certificates = platform::make_certificate_store(identity_store_folder(paths_.data_dir));
        identity_ = std::make_unique<TlsIdentity>(
            TlsIdentity::load_or_create(kHostIdentityName, *certificates, *platform_.clock, trust_status_));
    }
    if (!identity_->valid()) {
        log("[host] TLS kimligi olusturulamadi, durduruluyor");
        last_error_ = "TLS identity";
        return false;
    }
    // From here on there is something to stop.
    started_ = true;

    // Pairings, and the paired devices' state files beside pairings.dat.
    pairings_ = std::make_unique<PairingStore>(*platform_.protector, *platform_.clock);
    pairings_->load(paths_.pairings_file);
    device_kinds_ = std::make_unique<DeviceKindStore>();
    device_kinds_->load(paths_.device_kinds_file);
    display_positions_ = std::make_unique<DisplayPositionStore>();
    display_positions_->load(paths_.display_positions_file);
    log("[host] TLS parmak izi: %s (%zu eslesmis cihaz)", to_hex(identity_->fingerprint()).c_str(), pairings_->size());

    const PairingsLoadStatus loaded = pairings_->load_status();
    if (loaded.unreadable) trust_status_.note_pairings_unreadable(loaded.backup_name, loaded.error_code);
    store_trust_notes(trust_status_.snapshot(), platform_.clock->wall_ms());

    options_.transport_host_id = options_.host_id;

    // The monitor provider, the transport and the session manager as its sink.
    {
        display_config_ = platform::make_display_config();
        outputs_ = std::make_unique<OutputPresence>();
        DriverMonitorConfig monitors;
        monitors.grace_ms = static_cast<uint32_t>(run_.grace_seconds) * 1000;
        monitors.has_output = [outputs = outputs_.get()](const MonitorRef& ref) { return outputs->has_output(ref); };
        monitors.positions = display_positions_.get();
        gpus_ = platform::make_system_gpu_adapters();
        monitors.find_render_gpu = [gpus = gpus_.get()] { return find_driver_render_gpu(*gpus); };
        driver_monitors_ = std::make_unique<DriverMonitorProvider>(*platform_.clock, *display_config_, monitors);
        monitor_provider_ = std::make_unique<SessionMonitorsAdapter>(*driver_monitors_);
    }
    pipelines_ = std::make_unique<MediaPipelineFactory>(*platform_.clock);
    injectors_ = std::make_unique<PlatformInjectorFactory>(*platform_.clock);
    transport_ = std::make_unique<WifiTransport>(*platform_.clock, *identity_, *pairings_);
    SessionServices services;
    services.clock = platform_.clock;
    services.pipelines = pipelines_.get();
    services.injectors = injectors_.get();
    services.pairings = pairings_.get();
    services.set_device_kind = [kinds = device_kinds_.get()](const std::string& id, const std::string& kind) {
        kinds->set(id, kind);
    };
    services.random = [](uint8_t* key, size_t n) { return platform::secure_random(key, n); };
    services.power_epoch = [] { return power_epoch(); };
    services.note = [](const std::string& key, const std::string& value) { settings_set(key, value); };
    services.utc_now = [clock = platform_.clock] { return platform::utc_stamp(platform::utc_civil(clock->wall_ms())); };
    services.on_usb_subnet = [net = platform_.network](const std::string& ip) {
        return net != nullptr && netprofile::is_on_usb_subnet(*net, ip);
    };
    shell_ = platform::make_shell();
    services.open_display_settings = [shell = shell_.get()] { return shell->open("ms-settings:display"); };
    services.turkish = [] { return language_is_turkish(); };
    session_manager_ = std::make_unique<SessionManager>(*transport_, options_, *monitor_provider_, services);
    transport_started_ = transport_->start(options_, *session_manager_);
    for (int k = 1; !transport_started_ && !run_.console && k <= 12; ++k) {
        log("[host] baglanti noktasi mesgul (%d/12), 5 sn sonra yeniden denenecek", k);
        platform_.clock->sleep_ms(5'000);
        transport_started_ = transport_->start(options_, *session_manager_);
    }
    if (!transport_started_) {
        log("[host] transport failed to start");
        last_error_ = "transport failed to start: " + transport_->last_error();
        return false;
    }
    session_manager_->start_ticks();

    discovery_ = std::make_unique<HostDiscovery>(*platform_.clock, *platform_.network, *shell_);
    discovery_->start({options_.host_id, options_.host_name, transport_->control_port(), proto::kProtocolVersion,
                       to_hex(identity_->fingerprint())});

    PairingListenerTuning pairing_tuning;
    pairing_tuning.port = run_.pairing_port;
    pairing_listener_ = std::make_unique<PairingListener>(*identity_, *pairings_, options_.host_id,
                                                          options_.host_name, *platform_.clock, pairing_tuning);
    if (run_.pair_at_start) present_pairing();

    if (run_.console) {
        log("[host] ready (a driver monitor per viewer, %u s grace after a lost connection); Ctrl+C to stop",
            static_cast<unsigned>(run_.grace_seconds));
    } else {
        log("[host] ready (tray)");
    }
    return true;
}

int HostRuntime::run_tray() {
    tray_mode_ = std::make_unique<TrayMode>(*this, *platform_.clock, tray_extras_);
    const int code = tray_mode_->run();
    // The loop also ends without the quit action (the window was destroyed).
    stop_host();
    return code;
}

void HostRuntime::present_pairing() {
    const std::string uri = pairing_listener_->open_window(
        transport_->control_port(), netprofile::offered_addresses(*platform_.network), false, 120);
    // No token, no window (the listener logged why): a code that pairs
    // nothing is not shown.
    if (uri.empty()) return;
    log("[host] eslestirme URI'si (2 dk gecerli): %s", uri.c_str());
    const std::string svg = std::string("captures") + platform::path_separator() + "pairing.svg";
    platform::create_directory("captures");
    if (qr_svg_file(uri, svg, 8, 4)) {
        log("[host] QR kodu yazildi: %s", svg.c_str());
    } else {
        log("[host] QR kodu yazilamadi");
    }
    if (run_.console && platform::stdout_is_terminal()) {
        const std::string art = qr_terminal_text(uri, 4);
        std::fwrite(art.data(), 1, art.size(), stdout);
        std::fprintf(stdout, "verify code: %s\n", pairing_listener_->verify_code().c_str());
        std::fflush(stdout);
    }
}

void HostRuntime::stop_host() {
    if (!started_ || stopped_) return;
    stopped_ = true;
    log("[host] stopping");
    if (discovery_) discovery_->stop();
    if (pairing_listener_) pairing_listener_->close_window();
    if (session_manager_) session_manager_->stop_ticks();
    if (transport_) transport_->stop();
    if (driver_monitors_) driver_monitors_->shutdown();
    if (pairings_ && pairings_->flush_last_seen()) log("[host] son baglanti zamanlari kaydedildi");
    log("[host] stopped");
}

void HostRuntime::teardown_host() {
    tray_mode_.reset();
    if (console_handler_) {
        console_handler_->uninstall();
        console_handler_.reset();
    }
    pairing_listener_.reset();
    discovery_.reset();
    session_manager_.reset();
    transport_.reset();
    shell_.reset();
    injectors_.reset();
    pipelines_.reset();
    monitor_provider_.reset();
    driver_monitors_.reset();
    gpus_.reset();
    outputs_.reset();
    display_config_.reset();
    pairings_.reset();
    identity_.reset();
    display_positions_.reset();
    device_kinds_.reset();
}

}  // namespace sorvane
