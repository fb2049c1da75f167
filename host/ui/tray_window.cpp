#include "host/ui/tray_window.h"

#include <algorithm>
#include <cmath>

#include "host/core/language.h"
#include "host/core/log.h"

namespace sorvane {

platform::ScreenRect panel_placement(PanelView view, bool big_qr, bool net_warning, const platform::PanelScreen& screen,
                                     const platform::ScreenRect& icon) {
    const double s = (screen.dpi == 0 ? 96 : screen.dpi) / 96.0;
    const platform::ScreenRect& work = screen.work_area;
    const double work_w = work.right - work.left;
    const double work_h = work.bottom - work.top;
    double w = 380;
    double h = 560;
    if (view == PanelView::pairqr) {
        w = 520;
        h = net_warning ? 832 : 676;
        if (big_qr) {
            w = std::min(work_w / s - 60, 760.0);
            h = std::min(work_h / s - 60, 980.0);
        }
    } else if (view == PanelView::licenses) {
        w = 520;
        h = 640;
    }
    const auto px = [&](double v) { return static_cast<int32_t>(std::lround(v)); };
    const int32_t win_w = px((w + 20) * s);
    const int32_t win_h = px((h + 20) * s);
    const int32_t m = px(12 * s);
    int32_t x = 0;
    int32_t y = 0;
    const bool no_icon = icon.empty();
    if (screen.taskbar == platform::TaskbarEdge::bottom || screen.taskbar == platform::TaskbarEdge::top) {
        y = screen.taskbar == platform::TaskbarEdge::bottom ? work.bottom - m - win_h : work.top + m;
        const bool right = no_icon || (icon.left + icon.right) / 2 > (work.left + work.right) / 2;
        x = right ? work.right - m - win_w : work.left + m;
    } else {
        x = screen.taskbar == platform::TaskbarEdge::left ? work.left + m : work.right - m - win_w;
        const bool below = no_icon || (icon.top + icon.bottom) / 2 > (work.top + work.bottom) / 2;
        y = below ? work.bottom - m - win_h : work.top + m;
    }
    return platform::ScreenRect{x, y, x + win_w, y + win_h};
}

TrayWindow::TrayWindow(platform::ITray& tray, platform::IClock& clock, PanelHooks hooks, TrayWindowConfig config)
    : tray_(tray), clock_(clock), config_(std::move(config)), bridge_(*this, std::move(hooks), clock) {}

TrayWindow::~TrayWindow() { destroy(); }

long long TrayWindow::since_request() const { return static_cast<long long>(clock_.now_ms() - requested_ms_); }

void TrayWindow::open(PanelView view) {
    requested_ms_ = clock_.now_ms();
    const bool warm = webview_ != nullptr;
    bridge_.note_open_request(view, warm);
    if (!warm) {
        create_window(false);
        return;
    }
    if (!page_ready_) {
        // Still being made (prewarm): shown once ready.
        prewarming_ = false;
        return;
    }
    if (!visible_) {
        webview_->resume();
        webview_->show();
        visible_ = true;
        tray_.set_timer(kTimer, kTimerMs);
    }
    if (view == PanelView::pairqr) {
        bridge_.show_pairing(false);
    } else {
        place();
        bridge_.refresh();
    }
}

void TrayWindow::prewarm() {
    if (webview_ != nullptr) return;
    requested_ms_ = clock_.now_ms();
    create_window(true);
}

bool TrayWindow::create_window(bool prewarm) {
    platform::WebViewConfig wc;
    wc.page_folder = config_.page_folder;
    wc.user_data_folder = config_.user_data_folder;
    wc.shell = config_.shell;
    wc.post_to_window_thread = [tray = &tray_](std::function<void()> task) { tray->post_task(std::move(task)); };
    std::string reason;
    webview_ = config_.make_webview ? config_.make_webview(wc, reason) : platform::make_webview(wc, reason);
    if (webview_ == nullptr) {
        log("[tray-window] panel yok: %s", reason.c_str());
        return false;
    }
    prewarming_ = prewarm;
    webview_->set_message_handler([this](const std::string& text) { bridge_.on_message(text); });
    webview_->set_deactivated_handler([this] {
        // Clicking elsewhere hides the panel, except while it shows a pairing code or a report.
        if (visible_ && bridge_.view() != PanelView::pairqr && bridge_.view() != PanelView::report) hide();
    });
    webview_->create([this](bool ok, const std::string& error) { on_created(ok, error); });
    return true;
}

void TrayWindow::on_created(bool ok, const std::string& error) {
    if (!ok) {
        log("[tray-window] WebView2 ortami olusturulamadi: %s", error.c_str());
        return;
    }
    page_ready_ = true;
    const bool dark = bridge_.decide_dark();
    apply_theme(dark);
    const std::string path = std::string("/tray.html?lang=") + (language_is_turkish() ? "tr" : "en") +
                             (dark ? "&theme=dark" : "&theme=light");
    // (The load may complete before navigate returns.)
    const bool prewarm = prewarming_;
    webview_->navigate(path, [this](bool loaded, int status) { on_navigated(loaded, status); });
    if (!prewarm) show_now();
}

void TrayWindow::show_now() {
    if (bridge_.view() == PanelView::pairqr) {
        bridge_.show_pairing(false);
    } else {
        place();
    }
    log("[tray-window] acilis: pencere gorunur (T+%lld ms)", since_request());
    webview_->show();
    visible_ = true;
    tray_.set_timer(kTimer, kTimerMs);
}

void TrayWindow::on_navigated(bool ok, int error_status) {
    log("[tray-window] acilis: sayfa yuklendi (T+%lld ms)%s", since_request(), ok ? "" : " -- BASARISIZ");
    if (!ok) log("[tray-window] sayfa yuklenemedi (webErrorStatus=%d)", error_status);
    if (prewarming_) {
        prewarming_ = false;
        suspend_webview();
        log("[tray-window] onceden isitma tamamlandi (T+%lld ms), uyutuldu", since_request());
    }
}

void TrayWindow::suspend_webview() {
    if (webview_ == nullptr) return;
    std::string error;
    if (webview_->suspend(error)) {
        log("[tray-window] WebView2 uyutuldu");
    } else {
        log("[tray-window] TrySuspend basarisiz (%s) -- gizli ama uyumamis olabilir", error.c_str());
    }
}

void TrayWindow::hide() {
    bridge_.on_hide();
    tray_.kill_timer(kTimer);
    if (webview_ == nullptr) return;
    webview_->hide();
    visible_ = false;
    suspend_webview();
}

void TrayWindow::place() {
    if (webview_ == nullptr) return;
    const platform::ScreenRect icon = config_.icon_rect ? config_.icon_rect() : platform::ScreenRect{};
    webview_->set_bounds(
        panel_placement(bridge_.view(), bridge_.big_qr(), bridge_.net_warning_shown(), webview_->screen(), icon));
}

void TrayWindow::apply_theme(bool dark) {
    if (webview_ != nullptr) webview_->apply_theme(dark);
}

void TrayWindow::post_state(const std::string& json) {
    if (webview_ != nullptr) webview_->post_message(json);
}

void TrayWindow::post_report_done(uint64_t generation) { tray_.post(kReportDoneMessage, generation, 0); }

void TrayWindow::tick() {
    if (webview_ == nullptr || !visible_) return;
    webview_->keep_topmost();
    bridge_.refresh();
}

bool TrayWindow::on_window_message(const platform::WindowMessage& m) {
    if (m.message == platform::kWmTimer && m.wparam == kTimer) {
        tick();
        return true;
    }
    if (m.message == kReportDoneMessage) {
        bridge_.on_report_done(m.wparam);
        return true;
    }
    return false;
}

void TrayWindow::destroy() {
    bridge_.cancel_report();
    tray_.kill_timer(kTimer);
    if (webview_ != nullptr) {
        bridge_.on_hide();
        webview_.reset();
    }
    page_ready_ = false;
    visible_ = false;
}

}  // namespace sorvane
