// The panel's state message: one complete snapshot the host sends to the
// page after every command and once a second while the panel is shown. The
// record below holds every member; panel_state_json writes it in the fixed
// member order the page reads, leaving the optional members out when absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane {

// Which screen the page shows; also decides the panel's size.
enum class PanelView : uint8_t { tray = 0, pairqr = 1, settings = 2, licenses = 3, report = 4 };
// "tray", "pairqr", "settings", "licenses", "report".
const char* panel_view_name(PanelView view);

// The first connected viewer.
struct PanelConnected {
    std::string client_id;
    std::string name;  // the device's name, or its client id when it has none
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t fps = 0;  // 0 until it streams
    bool usb = false;  // reached over USB tethering
};

// One pairing record, in store order.
struct PanelPairedDevice {
    std::string client_id;
    std::string name;  // the record's name, or its client id when empty
    bool connected = false;
    std::string last_seen_at;
    std::string kind;  // "phone", "tablet" or empty
};

// The pairing presentation while the pairing view shows a current URI.
struct PanelPairing {
    std::string uri;
    int qr_size = 0;  // modules, border included
    std::string qr_path;
    uint32_t remaining_s = 0;
    uint32_t total_s = 120;
    bool big = false;
    std::string verify_code;
};

struct PanelSettings {
    std::string lang_override = "auto";   // "auto", "tr" or "en"
    std::string theme_override = "auto";  // "auto", "light" or "dark"
    bool autostart = false;
    bool update_check = true;
    std::string vibrance = "off";  // "off", "light", "medium" or "high"
    std::string host_name;
    std::string ip;  // the first offered address; empty when there is none
    std::string version;
};

struct PanelEncoder {
    std::string kind;  // "nvenc", "mf-hw" or "mf-sw"
    std::string name;
    std::string adapter;
};

// Present when the network watcher found the host blocked.
struct PanelNetWarning {
    bool wifi = true;  // the first Public network is Wi-Fi, or there is none
    // The warning stays for the run; once the cause is gone the page says so:
    // "hh:mm" of the first block ("fixed": true, "blocked_at"), empty while blocked.
    std::string fixed_blocked_at;
};

struct PanelDataEvents {
    bool pairings_unreadable = false;
    bool tls_renewed = false;
    // The last write of pairings.dat failed (a removed device would come back
    // after a restart).
    bool pairings_unsaved = false;
};

struct PanelReport {
    std::string state = "idle";  // "idle", "running", "done" or "error"
    int files = 0;
    std::string error;
};

struct PanelState {
    std::optional<PanelConnected> connected;
    std::vector<PanelPairedDevice> paired;
    std::optional<PanelPairing> pairing;
    bool turkish = false;  // "lang": "tr" or "en"
    PanelSettings settings;
    std::optional<PanelEncoder> encoder;
    std::optional<PanelNetWarning> net;
    std::optional<std::string> update;  // the newer version, when one is known
    std::optional<PanelDataEvents> data;
    std::optional<std::string> driver_problem;  // the driver's status text, when it reports a problem
    PanelReport report;
    PanelView view = PanelView::tray;
    bool dark = false;
};

// The state message, UTF-8.
std::string panel_state_json(const PanelState& state);

// A text value of the state message, without its quotes: line feed as \n,
// carriage return dropped, quote and backslash escaped, other bytes below
// 0x20 as \u00XX, and every byte that is not part of a well-formed UTF-8
// sequence replaced by U+FFFD, so that a peer's name can never make the
// page's JSON parse fail.
std::string panel_json_text(std::string_view text);

}  // namespace sorvane
