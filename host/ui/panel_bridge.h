// The panel's side of the conversation with its page: the page's commands,
// the state snapshots sent back, the pairing presentation with its renewal
// and success detection, the report job, and the first-render timing.
//
// Everything runs on the panel's window thread except the report job, which
// runs on a thread of its own, touches only its result (under the job mutex)
// and reports back through IPanelSurface::post_report_done.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "host/ui/panel_state.h"
#include "platform/clock.h"

namespace sorvane {

// One connected viewer as the session manager lists it.
struct PanelSession {
    std::string client_id;
    std::string name;  // the device's name, or its client id when it has none
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;
    bool usb = false;
};

// What the report job is given (the problem report's Info).
struct PanelReportRequest {
    std::string version;
    std::string protocol;  // "1.0 (0x0100)"
    std::string encoder;   // "<name> | adaptor: <adapter> | donanim|YAZILIM"; empty before any session
    int paired = 0;
};

// What the report job gives back.
struct PanelReportOutcome {
    bool ok = false;
    std::string path;
    int files = 0;
    std::string error;
    bool cancelled = false;
};

// The report's body: runs on the job thread; must return soon after cancel
// is set.
using PanelReportJob = std::function<PanelReportOutcome(const PanelReportRequest&, const std::atomic<bool>& cancel)>;

// What the page's error reads while no report job is wired.
inline constexpr const char* kPanelReportMissing = "sorun raporu bu surumde yok (problem report not available)";

// What the bridge reads from the host and what its commands do there. Every
// member may be empty: a reader then gives the member's default (nothing
// connected, no warning, ...) and an action does nothing.
struct PanelHooks {
    // Sessions, first connected viewer first.
    std::function<std::vector<PanelSession>()> sessions;
    // Ends the session of client_id with the given reason; false when there was none.
    std::function<bool(const std::string& client_id, const std::string& reason)> disconnect;

    // The pairing window: opens (or, unless force, reuses) it for 120 s and
    // returns the pairing URI (empty when there is none); closes it; seconds
    // left (0 once it is over); the verify code.
    std::function<std::string(bool force)> open_pairing_window;
    std::function<void()> close_pairing_window;
    std::function<uint32_t()> pairing_remaining_seconds;
    std::function<std::string()> verify_code;
    // The client ids of the stored pairing records (success detection).
    std::function<std::vector<std::string>()> paired_client_ids;
    // The "paired" list, in store order.
    std::function<std::vector<PanelPairedDevice>()> paired_devices;
    // Forgets a paired device (ends its session, removes its records and notes).
    std::function<void(const std::string& client_id)> remove_device;

    // Start with Windows.
    std::function<bool()> autostart_enabled;
    std::function<void()> toggle_autostart;
    // The update check.
    std::function<bool()> update_check_enabled;
    std::function<void()> toggle_update_check;
    std::function<std::optional<std::string>()> known_update;
    std::function<void()> open_update;
    // The network warning and the settings page that helps with it.
    std::function<std::optional<PanelNetWarning>()> net_warning;
    std::function<void()> open_net_settings;
    // The first offered address ("ip"); copy_ip puts it on the clipboard.
    std::function<std::string()> first_address;
    std::function<void(const std::string& text)> copy_to_clipboard;

    // The problem report; until one is wired "create_report" ends in "error".
    PanelReportJob create_report;

    // What the state shows besides.
    std::function<std::optional<PanelEncoder>()> encoder;
    std::function<std::string()> encoder_summary;  // for the report request
    std::function<std::optional<PanelDataEvents>()> data_events;
    std::function<std::optional<std::string>()> driver_problem;
    // True when Windows' apps use the dark theme (the theme's automatic choice).
    std::function<bool()> system_dark;
    std::string host_name;
    std::string version;
};

// The panel window as the bridge sees it.
class IPanelSurface {
public:
    virtual ~IPanelSurface() = default;
    // Whether the page exists (a web view was created).
    virtual bool has_page() = 0;
    // Sends a state message to the page.
    virtual void post_state(const std::string& json) = 0;
    // Computes the window's size and position for the current view and applies them.
    virtual void place() = 0;
    // Applies the theme to the window.
    virtual void apply_theme(bool dark) = 0;
    virtual bool visible() = 0;
    // From the report job's thread: must come back as
    // PanelBridge::on_report_done(generation) on the window's thread.
    virtual void post_report_done(uint64_t generation) = 0;
};

class PanelBridge {
public:
    PanelBridge(IPanelSurface& surface, PanelHooks hooks, platform::IClock& clock);
    ~PanelBridge();
    PanelBridge(const PanelBridge&) = delete;
    PanelBridge& operator=(const PanelBridge&) = delete;

    // A command message from the page.
    void on_message(std::string_view text);
    // Sends the state (timer tick and after commands): re-decides the theme,
    // notices a finished pairing, renews an expired pairing code.
    void refresh();

    // An open request: the view to show, the request time for the
    // first-render log, and whether the window existed already (warm).
    void note_open_request(PanelView view, bool warm);
    // The pairing presentation: opens the pairing window (force: with a new
    // token), renders the code, switches to the pairing view and sends the state.
    void show_pairing(bool force);
    // Hiding or closing the panel: cancels the report job and closes the
    // pairing window.
    void on_hide();
    // The report job's completion, on the window's thread.
    void on_report_done(uint64_t generation);
    // Cancels a running report job and waits for its thread.
    void cancel_report();

    // The theme decision: the "theme" preference, else Windows' apps theme.
    bool decide_dark();

    PanelView view() const { return view_; }
    bool big_qr() const { return big_qr_; }
    bool net_warning_shown() const { return net_warning_shown_; }
    bool dark() const { return dark_; }
    const std::string& pairing_uri() const { return uri_; }
    const PanelReport& report() const { return report_; }
    // The state message as it would be sent now.
    std::string state_json();

private:
    void send_state();
    void set_view(PanelView view);
    void drop_pairing();
    bool notice_pairing_success();
    void start_report();
    PanelState snapshot();

    IPanelSurface& surface_;
    const PanelHooks hooks_;
    platform::IClock& clock_;

    PanelView view_ = PanelView::tray;
    PanelView return_view_ = PanelView::tray;
    bool big_qr_ = false;
    bool net_warning_shown_ = false;
    bool dark_ = false;
    bool theme_applied_ = false;

    // The pairing presentation.
    std::string uri_;
    int qr_size_ = 0;
    std::string qr_path_;
    std::vector<std::string> ids_when_shown_;
    bool pairing_noticed_ = false;
    bool renewing_ = false;

    // First-render timing.
    uint64_t open_requested_ms_ = 0;
    bool render_pending_ = false;
    bool warm_ = false;

    // The report job.
    PanelReport report_;
    std::string report_path_;
    std::thread job_;
    uint64_t job_generation_ = 0;
    std::atomic<bool> cancel_{false};
    std::mutex job_mutex_;
    std::optional<PanelReportOutcome> job_result_;  // under job_mutex_
};

}  // namespace sorvane
