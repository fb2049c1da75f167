#include "host/ui/panel_bridge.h"

#include <algorithm>

#include "host/core/language.h"
#include "host/core/log.h"
#include "host/core/options.h"
#include "host/media/color_vibrance.h"
#include "host/trust/pairing_qr.h"
#include "host/ui/panel_command.h"
#include "platform/files.h"

namespace sorvane {

namespace {

constexpr uint32_t kPairingSeconds = 120;
constexpr int kQrBorder = 4;

}  // namespace

PanelBridge::PanelBridge(IPanelSurface& surface, PanelHooks hooks, platform::IClock& clock)
    : surface_(surface), hooks_(std::move(hooks)), clock_(clock) {}

PanelBridge::~PanelBridge() { cancel_report(); }

bool PanelBridge::decide_dark() {
    const std::optional<std::string> preference = theme_preference();
    if (preference) return *preference == "dark";
    return hooks_.system_dark && hooks_.system_dark();
}

void PanelBridge::note_open_request(PanelView view, bool warm) {
    open_requested_ms_ = clock_.now_ms();
    render_pending_ = true;
    warm_ = warm;
    if (view == PanelView::report) {
        // Opened from the tray menu: closing the report goes back to the main view.
        report_ = PanelReport{};
        return_view_ = PanelView::tray;
    }
    view_ = view;
}

void PanelBridge::set_view(PanelView view) {
    view_ = view;
    surface_.place();
}

void PanelBridge::on_message(std::string_view text) {
    const PanelCommand c = parse_panel_command(text);
    const std::string& cmd = c.cmd;
    if (cmd == "ready") {
        send_state();
    } else if (cmd == "rendered") {
        if (!render_pending_) return;
        render_pending_ = false;
        log("[tray-window] acilis: ilk durum cizildi (T+%lld ms, %s)",
            static_cast<long long>(clock_.now_ms() - open_requested_ms_), warm_ ? "sicak" : "soguk");
    } else if (cmd == "add_device") {
        show_pairing(false);
    } else if (cmd == "refresh_pairing") {
        show_pairing(true);
    } else if (cmd == "qr_big" || cmd == "qr_small") {
        big_qr_ = cmd == "qr_big";
        surface_.place();
        send_state();
    } else if (cmd == "cancel_pairing") {
        big_qr_ = false;
        if (hooks_.close_pairing_window) hooks_.close_pairing_window();
        drop_pairing();
        set_view(PanelView::tray);
        send_state();
    } else if (cmd == "disconnect") {
        // The viewer the state shows under "connected"; the next tick shows the result.
        if (!hooks_.sessions || !hooks_.disconnect) return;
        const std::vector<PanelSession> sessions = hooks_.sessions();
        if (!sessions.empty()) hooks_.disconnect(sessions.front().client_id, "panel 'Baglantiyi kes'");
    } else if (cmd == "remove_device") {
        if (c.client_id.empty()) return;
        if (hooks_.remove_device) hooks_.remove_device(c.client_id);
        send_state();
    } else if (cmd == "open_settings" || cmd == "close_settings") {
        set_view(cmd == "open_settings" ? PanelView::settings : PanelView::tray);
        send_state();
    } else if (cmd == "open_licenses" || cmd == "close_licenses") {
        set_view(cmd == "open_licenses" ? PanelView::licenses : PanelView::settings);
        send_state();
    } else if (cmd == "open_report") {
        // A job still running belongs to an earlier visit of the view.
        if (report_.state == "running") cancel_report();
        report_ = PanelReport{};
        return_view_ = PanelView::settings;
        set_view(PanelView::report);
        send_state();
    } else if (cmd == "close_report") {
        cancel_report();
        set_view(return_view_);
        send_state();
    } else if (cmd == "create_report") {
        start_report();
    } else if (cmd == "set_lang") {
        if (c.lang == "auto") {
            set_language_preference(std::nullopt);
        } else if (c.lang == "tr" || c.lang == "en") {
            set_language_preference(c.lang);
        }
        send_state();
    } else if (cmd == "set_theme") {
        if (c.theme == "auto") {
            set_theme_preference(std::nullopt);
        } else if (c.theme == "light" || c.theme == "dark") {
            set_theme_preference(c.theme);
        }
        send_state();
    } else if (cmd == "toggle_autostart") {
        if (hooks_.toggle_autostart) hooks_.toggle_autostart();
        send_state();
    } else if (cmd == "toggle_update_check") {
        if (hooks_.toggle_update_check) hooks_.toggle_update_check();
        send_state();
    } else if (cmd == "set_vibrance") {
        const std::optional<VibranceLevel> level = parse_vibrance_level(c.level);
        if (!level) return;
        set_vibrance_level(static_cast<uint32_t>(*level));
        log("[tray-window] renk canliligi: %s", vibrance_level_name(*level));
        send_state();
    } else if (cmd == "open_net_settings") {
        if (hooks_.open_net_settings) hooks_.open_net_settings();
    } else if (cmd == "open_update") {
        if (hooks_.open_update) hooks_.open_update();
    } else if (cmd == "copy_ip") {
        const std::string ip = hooks_.first_address ? hooks_.first_address() : std::string();
        if (!ip.empty() && hooks_.copy_to_clipboard) hooks_.copy_to_clipboard(ip);
    }
}

void PanelBridge::show_pairing(bool force) {
    const std::string uri = hooks_.open_pairing_window ? hooks_.open_pairing_window(force) : std::string();
    drop_pairing();
    if (!uri.empty()) {
        log("[tray-window] eslestirme URI'si: %s", uri.c_str());
        QrPathResult qr = qr_path(uri, kQrBorder);
        if (qr.ok) {
            uri_ = uri;
            qr_size_ = qr.total_size;
            qr_path_ = std::move(qr.path);
            pairing_noticed_ = false;
            ids_when_shown_ = hooks_.paired_client_ids ? hooks_.paired_client_ids() : std::vector<std::string>{};
        } else {
            log("[tray-window] QR uretilemedi (URI cok mu uzun?)");
        }
    }
    set_view(PanelView::pairqr);
    send_state();
}

void PanelBridge::drop_pairing() {
    uri_.clear();
    qr_path_.clear();
    qr_size_ = 0;
}

bool PanelBridge::notice_pairing_success() {
    if (!hooks_.paired_client_ids) return false;
    const std::vector<std::string> now = hooks_.paired_client_ids();
    const bool new_one = std::any_of(now.begin(), now.end(), [&](const std::string& id) {
        return std::find(ids_when_shown_.begin(), ids_when_shown_.end(), id) == ids_when_shown_.end();
    });
    if (!new_one) return false;
    pairing_noticed_ = true;
    drop_pairing();
    if (hooks_.close_pairing_window) hooks_.close_pairing_window();
    set_view(PanelView::tray);
    return true;
}

void PanelBridge::on_hide() {
    cancel_report();
    if (hooks_.close_pairing_window) hooks_.close_pairing_window();
}

void PanelBridge::refresh() {
    if (!surface_.has_page()) return;
    const bool dark = decide_dark();
    if (!theme_applied_ || dark != dark_) {
        dark_ = dark;
        theme_applied_ = true;
        surface_.apply_theme(dark);
    }
    if (!uri_.empty() && !pairing_noticed_) notice_pairing_success();
    if (view_ == PanelView::pairqr && !uri_.empty() && !pairing_noticed_ && !renewing_ &&
        (!hooks_.pairing_remaining_seconds || hooks_.pairing_remaining_seconds() == 0)) {
        // The 120 seconds are over: a new code, sent by the presentation itself.
        renewing_ = true;
        show_pairing(false);
        renewing_ = false;
        return;
    }
    const bool warn = hooks_.net_warning && hooks_.net_warning().has_value();
    if (warn != net_warning_shown_) {
        net_warning_shown_ = warn;
        // The pairing view's height depends on the warning.
        if (view_ == PanelView::pairqr && surface_.visible()) surface_.place();
    }
    send_state();
}

void PanelBridge::send_state() {
    if (!surface_.has_page()) return;
    surface_.post_state(state_json());
}

std::string PanelBridge::state_json() { return panel_state_json(snapshot()); }

PanelState PanelBridge::snapshot() {
    PanelState s;
    const std::vector<PanelSession> sessions = hooks_.sessions ? hooks_.sessions() : std::vector<PanelSession>{};
    if (!sessions.empty()) {
        const PanelSession& first = sessions.front();
        s.connected = PanelConnected{first.client_id, first.name, first.width, first.height, first.fps, first.usb};
    }
    if (hooks_.paired_devices) s.paired = hooks_.paired_devices();
    if (view_ == PanelView::pairqr && !uri_.empty()) {
        PanelPairing p;
        p.uri = uri_;
        p.qr_size = qr_size_;
        p.qr_path = qr_path_;
        p.remaining_s = hooks_.pairing_remaining_seconds ? hooks_.pairing_remaining_seconds() : 0;
        p.total_s = kPairingSeconds;
        p.big = big_qr_;
        p.verify_code = hooks_.verify_code ? hooks_.verify_code() : std::string();
        s.pairing = std::move(p);
    }
    s.turkish = language_is_turkish();
    const std::optional<std::string> lang = language_preference();
    s.settings.lang_override = lang ? *lang : "auto";
    const std::optional<std::string> theme = theme_preference();
    s.settings.theme_override = theme ? *theme : "auto";
    s.settings.autostart = hooks_.autostart_enabled && hooks_.autostart_enabled();
    s.settings.update_check = !hooks_.update_check_enabled || hooks_.update_check_enabled();
    s.settings.vibrance = vibrance_level_name(current_vibrance_level());
    s.settings.host_name = hooks_.host_name;
    s.settings.ip = hooks_.first_address ? hooks_.first_address() : std::string();
    s.settings.version = hooks_.version;
    if (hooks_.encoder) s.encoder = hooks_.encoder();
    if (hooks_.net_warning) s.net = hooks_.net_warning();
    if (hooks_.known_update) s.update = hooks_.known_update();
    if (hooks_.data_events) s.data = hooks_.data_events();
    if (hooks_.driver_problem) s.driver_problem = hooks_.driver_problem();
    s.report = report_;
    s.view = view_;
    s.dark = dark_;
    return s;
}

void PanelBridge::start_report() {
    if (report_.state == "running") return;
    if (!hooks_.create_report) {
        report_.state = "error";
        report_.files = 0;
        report_.error = kPanelReportMissing;
        log("[report] HATA: %s", report_.error.c_str());
        send_state();
        return;
    }
    if (job_.joinable()) job_.join();
    report_.state = "running";
    report_.error.clear();
    cancel_.store(false);
    const uint64_t generation = ++job_generation_;
    PanelReportRequest request;
    request.version = hooks_.version;
    request.protocol = protocol_text();
    request.encoder = hooks_.encoder_summary ? hooks_.encoder_summary() : std::string();
    request.paired = hooks_.paired_client_ids ? static_cast<int>(hooks_.paired_client_ids().size()) : 0;
    job_ = std::thread([this, generation, request = std::move(request), job = hooks_.create_report] {
        PanelReportOutcome outcome = job(request, cancel_);
        {
            std::lock_guard<std::mutex> lock(job_mutex_);
            job_result_ = std::move(outcome);
        }
        surface_.post_report_done(generation);
    });
    send_state();
}

void PanelBridge::on_report_done(uint64_t generation) {
    if (generation != job_generation_) return;  // a cancelled job's late word
    if (job_.joinable()) job_.join();
    std::optional<PanelReportOutcome> outcome;
    {
        std::lock_guard<std::mutex> lock(job_mutex_);
        outcome = std::move(job_result_);
        job_result_.reset();
    }
    if (!outcome || outcome->cancelled) {
        report_.state = "idle";
    } else if (outcome->ok) {
        report_.state = "done";
        report_.files = outcome->files;
        report_.error.clear();
        report_path_ = outcome->path;
        log("[report] sorun raporu olusturuldu (%d dosya)", outcome->files);
    } else {
        report_.state = "error";
        report_.error = outcome->error;
        log("[report] HATA: %s", outcome->error.c_str());
    }
    send_state();
}

void PanelBridge::cancel_report() {
    ++job_generation_;
    cancel_.store(true);
    if (job_.joinable()) job_.join();
    cancel_.store(false);
    {
        std::lock_guard<std::mutex> lock(job_mutex_);
        // A report that was finished as the user cancelled, its completion
        // not yet taken: the user is never told of it, so it does not stay.
        if (job_result_ && job_result_->ok && !job_result_->path.empty()) platform::remove_file(job_result_->path);
        job_result_.reset();
    }
    if (report_.state == "running") report_.state = "idle";
}

}  // namespace sorvane
