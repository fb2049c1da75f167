// Tray mode: the tray icon and the panel over a running host, their wiring
// to its components, and the message loop whose end stops the host.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "host/ui/panel_bridge.h"
#include "host/ui/tray_icon.h"
#include "host/ui/tray_window.h"
#include "platform/console.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/tray.h"

namespace sorvane {

class HostRuntime;

// What start-up hands to the tray besides the runtime's components: the
// features other parts of the host add (each may be empty).
struct TrayExtras {
    // Fills the panel's hooks of those features (update check, autostart,
    // network warning, problem report, device management).
    std::function<void(PanelHooks&)> panel_hooks;
    // The update-notice action (message 0x801E) and a click on its balloon.
    std::function<void(TrayIcon&)> update_notice;
    std::function<void()> balloon_click;
    // The update check's status line of the problem report.
    std::function<std::string()> update_status;
    // After the icon exists (with the tray, whose window other threads may
    // post to until stopped) / after the loop ended (the update check).
    std::function<void(platform::ITray& tray)> started;
    std::function<void()> stopped;
};

// The panel's hooks that read and act on the runtime's own components:
// sessions, the pairing window, the store, the first offered address, the
// encoder, the trust and driver notes, the theme, a default forgetting of a
// paired device, and the problem report (update_status: its update line;
// empty when no check runs).
PanelHooks runtime_panel_hooks(HostRuntime& runtime, platform::ITray& tray, platform::IRegistry& registry,
                               std::function<std::string()> update_status = {});

// The connected-device status of the tooltip and the menu, in the user's language.
std::string connected_status_text(const std::vector<std::string>& names);

class TrayMode {
public:
    TrayMode(HostRuntime& runtime, platform::IClock& clock, TrayExtras extras = {});
    ~TrayMode();
    TrayMode(const TrayMode&) = delete;
    TrayMode& operator=(const TrayMode&) = delete;

    // Creates the icon and the panel and runs the message loop. The loop's
    // exit code; 1 when the tray could not be created (the host is stopped).
    int run();
    // Destroys the panel and the icon.
    void destroy();

    TrayIcon* icon() { return icon_.get(); }
    TrayWindow* panel() { return panel_.get(); }

private:
    HostRuntime& runtime_;
    platform::IClock& clock_;
    TrayExtras extras_;
    std::unique_ptr<platform::ITray> tray_;
    std::unique_ptr<platform::IRegistry> registry_;
    std::unique_ptr<platform::IShell> shell_;
    std::unique_ptr<TrayWindow> panel_;
    std::unique_ptr<TrayIcon> icon_;
    std::unique_ptr<platform::ConsoleControlHandler> end_session_;
};

}  // namespace sorvane
