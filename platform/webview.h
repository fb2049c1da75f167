// Web-view port: the panel window, a small topmost window that shows the
// panel's web page (tray.html and its assets in the page folder) and
// exchanges text messages with it.
//
// Windows: a popup window with an embedded web view whose virtual host maps
// to the page folder. Linux: the page folder is served on 127.0.0.1 (a port
// the system chooses) to a browser; the page and the host exchange their
// messages over a WebSocket at /bridge. The address carries a secret made
// fresh for each run; without it, or from another origin or address, no page
// is served and no WebSocket accepted. Showing the panel opens the address
// through the shell.
//
// Every call is made on the window thread, and every callback arrives there.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/shell.h"
#include "platform/tray.h"

namespace sorvane::platform {

enum class TaskbarEdge : uint8_t { left, top, right, bottom };

// Where the panel may go: the work area of the display with the tray, the
// taskbar's edge and the window's DPI (96 = 100 %).
struct PanelScreen {
    ScreenRect work_area;
    TaskbarEdge taskbar = TaskbarEdge::bottom;
    uint32_t dpi = 96;
};

struct WebViewConfig {
    std::string page_folder;     // the folder with tray.html
    std::string user_data_folder;  // the web view's own data (Windows)
    // Runs a callback on the window thread (the tray's message loop).
    std::function<void(std::function<void()>)> post_to_window_thread;
    IShell* shell = nullptr;  // opens the page's address (Linux)
};

class IWebView {
public:
    virtual ~IWebView() = default;

    // Creates the window and its web view, hidden. ready(ok, error) comes
    // later on the window thread; error names the failed step and code.
    virtual void create(std::function<void(bool ok, const std::string& error)> ready) = 0;
    // Loads path_and_query ("/tray.html?lang=en&theme=dark") of the page
    // folder; done(ok, error_status) once it has loaded or failed.
    virtual void navigate(const std::string& path_and_query, std::function<void(bool ok, int error_status)> done) = 0;
    // A text message to the page.
    virtual void post_message(const std::string& json) = 0;
    // Text messages from the page (UTF-8).
    virtual void set_message_handler(std::function<void(const std::string& text)> handler) = 0;
    // The window lost activation (Linux: the page was closed).
    virtual void set_deactivated_handler(std::function<void()> handler) = 0;

    virtual void show() = 0;
    virtual void hide() = 0;
    virtual bool visible() = 0;
    // Moves and sizes the window (pixels), topmost, without activating it.
    virtual void set_bounds(const ScreenRect& bounds) = 0;
    // Re-asserts the topmost position without moving or activating.
    virtual void keep_topmost() = 0;
    virtual PanelScreen screen() = 0;
    // Dark window frame and background (RGB 19, 34, 74), or light (white).
    virtual void apply_theme(bool dark) = 0;
    // Lets the web view sleep while hidden, and wakes it; false with the
    // reason when it cannot.
    virtual bool suspend(std::string& error) = 0;
    virtual void resume() = 0;
};

// The panel of this platform; null with reason when it has none.
std::unique_ptr<IWebView> make_webview(const WebViewConfig& config, std::string& reason);

}  // namespace sorvane::platform
