#include "host/app/tray_mode.h"

#include <algorithm>
#include <set>

#include "host/app/discovery.h"
#include "host/app/host_runtime.h"
#include "host/app/report_command.h"
#include "host/core/language.h"
#include "host/core/log.h"
#include "host/media/encoder.h"
#include "host/monitors/driver_monitor_provider.h"
#include "host/net/network_profile.h"
#include "host/net/wifi_transport.h"
#include "host/protocol/defaults.h"
#include "host/session/session_manager.h"
#include "host/trust/pairing_listener.h"
#include "host/trust/pairing_store.h"
#include "host/ui/device_management.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/self_process.h"

namespace sorvane {

namespace {

constexpr const char* kPersonalize = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";

const char* encoder_kind_name(EncoderInfoKind kind) {
    switch (kind) {
        case EncoderInfoKind::nvenc: return "nvenc";
        case EncoderInfoKind::mf_hardware: return "mf-hw";
        case EncoderInfoKind::mf_software: return "mf-sw";
    }
    return "mf-sw";
}

std::string first_address(HostRuntime& runtime) {
    platform::INetworkInfo* net = runtime.host_platform().network;
    if (net == nullptr) return {};
    const std::vector<std::string> addresses = netprofile::offered_addresses(*net);
    return addresses.empty() ? std::string() : addresses.front();
}

// The web page folder beside the program; "./webui" when the program's path is unknown.
std::string page_folder() {
    std::string exe;
    if (platform::module_file_name(exe) && !exe.empty()) return platform::directory_part(exe) + "webui";
    return platform::join_path(".", "webui");
}

}  // namespace

std::string connected_status_text(const std::vector<std::string>& names) {
    if (names.empty()) return ui_text(UiText::no_device);
    if (names.size() == 1) return ui_text_connected(names.front());
    return ui_text_devices_connected(static_cast<uint32_t>(names.size()));
}

PanelHooks runtime_panel_hooks(HostRuntime& runtime, platform::ITray& tray, platform::IRegistry& registry,
                               std::function<std::string()> update_status) {
    PanelHooks h;
    SessionManager* sessions = runtime.session_manager();
    PairingListener* listener = runtime.pairing_listener();
    PairingStore* store = runtime.pairings();
    h.sessions = [sessions] {
        std::vector<PanelSession> out;
        for (const DeviceStreamInfo& d : sessions->device_stream_info()) {
            PanelSession s;
            s.client_id = d.client_id;
            s.name = d.name;
            if (d.stream.streaming) {
                s.width = d.stream.width;
                s.height = d.stream.height;
                s.fps = d.stream.fps;
            }
            s.usb = d.over_usb;
            out.push_back(std::move(s));
        }
        return out;
    };
    h.disconnect = [sessions](const std::string& id, const std::string& reason) {
        return sessions->disconnect_device(id, reason);
    };
    h.open_pairing_window = [&runtime, listener](bool force) {
        std::vector<std::string> addresses;
        if (platform::INetworkInfo* net = runtime.host_platform().network) addresses = netprofile::offered_addresses(*net);
        return listener->open_window(runtime.transport()->control_port(), addresses, force, 120);
    };
    h.close_pairing_window = [listener] { listener->close_window(); };
    h.pairing_remaining_seconds = [listener] { return listener->remaining_seconds(); };
    h.verify_code = [listener] { return listener->verify_code(); };
    h.paired_client_ids = [store] {
        std::vector<std::string> ids;
        for (const PairingRecord& r : store->list()) ids.push_back(r.client_id);
        return ids;
    };
    const auto connected_ids = [sessions] {
        std::set<std::string> ids;
        for (const DeviceStreamInfo& d : sessions->device_stream_info()) ids.insert(d.client_id);
        return ids;
    };
    h.paired_devices = [store, connected_ids, kinds = runtime.device_kinds()] {
        return paired_devices(*store, *kinds, connected_ids());
    };
    h.remove_device = [&runtime, sessions](const std::string& id) {
        DeviceRemovalPorts ports{*runtime.pairings(), *runtime.device_kinds(), *runtime.display_positions(),
                                 [sessions](const std::string& client_id, const std::string& reason) {
                                     return sessions->disconnect_device(client_id, reason);
                                 },
                                 *runtime.host_platform().clock};
        remove_device(ports, id, "panel");
    };
    // The listener's port while a window is open, else the one it would take.
    h.create_report = panel_report_job(*store, runtime.discovery(), std::move(update_status),
                                       [listener, configured = runtime.run_settings().pairing_port] {
                                           const uint16_t bound = listener->bound_port();
                                           if (bound != 0) return bound;
                                           return configured != 0 ? configured : proto::kDefaultPairingPort;
                                       });
    h.first_address = [&runtime] { return first_address(runtime); };
    h.copy_to_clipboard = [&tray](const std::string& text) { tray.set_clipboard_text(text); };
    h.encoder = []() -> std::optional<PanelEncoder> {
        EncoderInfo info;
        if (!last_encoder_info(info)) return std::nullopt;
        return PanelEncoder{encoder_kind_name(info.kind), info.name, info.adapter};
    };
    h.encoder_summary = [] {
        EncoderInfo info;
        if (!last_encoder_info(info)) return std::string();
        return info.name + " | adaptor: " + info.adapter + (info.hardware ? " | donanim" : " | YAZILIM");
    };
    h.data_events = [&runtime, store]() -> std::optional<PanelDataEvents> {
        const TrustStatusRecord r = runtime.trust_events();
        const bool unsaved = store->last_save_failed();
        if (!r.pairings_unreadable && !r.tls_renewed && !unsaved) return std::nullopt;
        return PanelDataEvents{r.pairings_unreadable, r.tls_renewed, unsaved};
    };
    h.driver_problem = []() -> std::optional<std::string> {
        auto [set, text] = driver_readiness_note();
        if (!set) return std::nullopt;
        return text;
    };
    h.system_dark = [&registry] {
        platform::RegistryValue v;
        uint32_t value = 1;
        return registry.get_value(platform::RegistryHive::current_user, kPersonalize, "AppsUseLightTheme", v) == 0 &&
               platform::read_dword(v, value) && value == 0;
    };
    h.host_name = runtime.options().host_name;
    h.version = kHostVersion;
    if (HostDiscovery* discovery = runtime.discovery()) fill_panel_hooks(*discovery, h);
    return h;
}

TrayMode::TrayMode(HostRuntime& runtime, platform::IClock& clock, TrayExtras extras)
    : runtime_(runtime), clock_(clock), extras_(std::move(extras)) {}

TrayMode::~TrayMode() { destroy(); }

int TrayMode::run() {
    tray_ = platform::make_tray(clock_);
    registry_ = platform::make_system_registry();
    shell_ = platform::make_shell();

    PanelHooks hooks = runtime_panel_hooks(runtime_, *tray_, *registry_, extras_.update_status);
    if (extras_.panel_hooks) extras_.panel_hooks(hooks);
    TrayWindowConfig config;
    config.page_folder = page_folder();
    if (!runtime_.paths().data_dir.empty()) {
        config.user_data_folder = platform::join_path(runtime_.paths().data_dir, "WebView2");
    } else {
        config.user_data_folder = "WebView2UserData";
    }
    platform::create_directories(config.user_data_folder);
    config.shell = shell_.get();
    config.icon_rect = [this] { return icon_ ? icon_->icon_rect() : platform::ScreenRect{}; };
    panel_ = std::make_unique<TrayWindow>(*tray_, clock_, std::move(hooks), std::move(config));

    SessionManager* sessions = runtime_.session_manager();
    PairingListener* listener = runtime_.pairing_listener();
    TrayIcon::Callbacks cb;
    cb.status_text = [sessions] { return connected_status_text(sessions->connected_device_names()); };
    cb.state = [sessions, listener] {
        return TrayIcon::state_of(listener->remaining_seconds() > 0, sessions->connected_device_names().size());
    };
    cb.report_problem = [this] { panel_->open(PanelView::report); };
    cb.add_device = [this] { panel_->open(PanelView::pairqr); };
    cb.left_click = [this] { panel_->open(PanelView::tray); };
    cb.quit = [this] {
        panel_->hide();
        runtime_.stop_host();
    };
    cb.delayed_start = [this] { panel_->prewarm(); };
    cb.update_notice = [this] {
        if (extras_.update_notice) extras_.update_notice(*icon_);
    };
    cb.balloon_click = extras_.balloon_click;
    cb.other_message = [this](const platform::WindowMessage& m) -> int64_t {
        panel_->on_window_message(m);
        return 0;
    };
    icon_ = std::make_unique<TrayIcon>(*tray_, *registry_, std::move(cb));
    if (!icon_->create()) {
        log("[host] tepsi olusturulamadi; konsolsuz calisamiyor, temiz kapaniliyor (--console deneyin)");
        runtime_.stop_host();
        return 1;
    }
    // The end of the user's session (on Linux the stop signals) ends the
    // host as the session's end message does.
    end_session_ = platform::install_console_control_handler(
        [tray = tray_.get()](platform::ControlEvent) { tray->post(platform::kWmEndSession, 1, 0); });
    if (extras_.started) extras_.started(*tray_);
    const int code = icon_->run();
    if (extras_.stopped) extras_.stopped();
    if (end_session_) end_session_->uninstall();
    return code;
}

void TrayMode::destroy() {
    if (end_session_) {
        end_session_->uninstall();
        end_session_.reset();
    }
    if (panel_) panel_->destroy();
    if (icon_) icon_->destroy();
    icon_.reset();
    panel_.reset();
}

}  // namespace sorvane
