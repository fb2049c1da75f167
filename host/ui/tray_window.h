// The panel: a small topmost window next to the tray icon that shows the
// panel page in a web view. It is created on the first open (or prewarmed
// hidden 30 s after start), hidden with its web view asleep instead of
// destroyed, and talks to the page through the PanelBridge.
//
// Its timer and the report job's completion arrive as messages of the tray's
// window (same thread): TrayIcon hands them over through other_message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/ui/panel_bridge.h"
#include "platform/clock.h"
#include "platform/tray.h"
#include "platform/webview.h"

namespace sorvane {

// The window's size and place: content size by view (device-independent
// pixels), then the window next to the tray icon at the edge of the taskbar.
platform::ScreenRect panel_placement(PanelView view, bool big_qr, bool net_warning, const platform::PanelScreen& screen,
                                     const platform::ScreenRect& icon_rect);

struct TrayWindowConfig {
    std::string page_folder;
    std::string user_data_folder;
    platform::IShell* shell = nullptr;
    std::function<platform::ScreenRect()> icon_rect;
    // Makes the web view (default: the platform's).
    std::function<std::unique_ptr<platform::IWebView>(const platform::WebViewConfig&, std::string& reason)> make_webview;
};

class TrayWindow final : private IPanelSurface {
public:
    // The panel's 1 s timer on the tray window, and the report job's message.
    static constexpr uint32_t kTimer = 0x101;
    static constexpr uint32_t kTimerMs = 1'000;
    static constexpr uint32_t kReportDoneMessage = 0x8014;

    TrayWindow(platform::ITray& tray, platform::IClock& clock, PanelHooks hooks, TrayWindowConfig config);
    ~TrayWindow() override;
    TrayWindow(const TrayWindow&) = delete;
    TrayWindow& operator=(const TrayWindow&) = delete;

    // Shows the panel in view (creating it the first time).
    void open(PanelView view);
    // Creates the panel hidden and loads the page, when it does not exist yet.
    void prewarm();
    void hide();
    void destroy();
    bool exists() const { return webview_ != nullptr; }
    bool is_visible() const { return visible_; }

    // Messages of the tray window meant for the panel; false when not one.
    bool on_window_message(const platform::WindowMessage& message);

    PanelBridge& bridge() { return bridge_; }

private:
    // IPanelSurface
    bool has_page() override { return page_ready_; }
    void post_state(const std::string& json) override;
    void place() override;
    void apply_theme(bool dark) override;
    bool visible() override { return visible_; }
    void post_report_done(uint64_t generation) override;

    bool create_window(bool prewarm);
    void on_created(bool ok, const std::string& error);
    void on_navigated(bool ok, int error_status);
    void show_now();
    void suspend_webview();
    void tick();
    long long since_request() const;

    platform::ITray& tray_;
    platform::IClock& clock_;
    const TrayWindowConfig config_;
    PanelBridge bridge_;
    std::unique_ptr<platform::IWebView> webview_;
    bool page_ready_ = false;
    bool visible_ = false;
    bool prewarming_ = false;
    uint64_t requested_ms_ = 0;
};

}  // namespace sorvane
