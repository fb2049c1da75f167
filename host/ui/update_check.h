// The update check: about once a day the tray host reads a small release
// manifest (release.json) and tells the user once per new version, by a tray
// balloon and in the panel, that a newer version exists. Nothing is ever
// downloaded or installed; the balloon and the panel only open the download
// page. Switched off in the panel, it makes no network request at all.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "platform/http_client.h"
#include "platform/shell.h"

namespace sorvane {

// Where the manifest and the download pages are.
inline constexpr const char* kUpdateManifestUrl = "https://sorvane.com/release.json";
inline constexpr const char* kDownloadPageTurkish = "https://sorvane.com/indir/";
inline constexpr const char* kDownloadPageEnglish = "https://sorvane.com/en/download/";

inline constexpr uint64_t kUpdateFirstDelayMs = 15'000;
inline constexpr uint64_t kUpdateSoonDelayMs = 2'000;
inline constexpr uint64_t kUpdateAfterSuccessMs = 24ull * 3'600'000;
inline constexpr uint64_t kUpdateAfterFailureMs = 3ull * 3'600'000;
inline constexpr uint64_t kUpdateStopWaitMs = 2'000;

// One to four decimal components of 1 to 9 digits separated by ".", with
// optional spaces or tabs around the whole; missing components are 0.
std::optional<std::array<uint32_t, 4>> parse_version(std::string_view text);
// candidate is newer than current at their first differing component; never
// when either does not parse.
bool is_newer_version(std::string_view candidate, std::string_view current);

// The string value of the "version" member of the manifest's top-level object
// (an optional UTF-8 byte-order mark before it is skipped). Nothing when the
// body is not one well-formed JSON object or has no such string member; a
// "version" inside a nested object or inside another member's text does not
// count. The value is not checked as a version here.
std::optional<std::string> manifest_version(std::string_view body);

// True unless the setting "update_check" is "off".
bool update_check_enabled();

struct UpdateCheckConfig {
    std::string manifest_url = kUpdateManifestUrl;
    std::string ca_file;  // PEM of CAs trusted instead of the system's; empty: the system's
    uint64_t first_delay_ms = kUpdateFirstDelayMs;
};

class UpdateChecker {
public:
    UpdateChecker(platform::IClock& clock, std::unique_ptr<platform::IHttpClient> http, UpdateCheckConfig config);
    // Stops the worker as stop_update_check does.
    ~UpdateChecker();
    UpdateChecker(const UpdateChecker&) = delete;
    UpdateChecker& operator=(const UpdateChecker&) = delete;

    // Once: remembers the running version and the callback for a newly found
    // version (called on the worker thread, outside every lock), and starts
    // the worker. A second call does nothing.
    void start_update_check(const std::string& current_version, std::function<void()> found);
    // Asks the worker to stop (a check under way is abandoned) and waits up
    // to 2 s for it; a worker that has not finished by then is left to end on
    // its own. A second call does nothing.
    void stop_update_check();
    // Stores the setting; enabling asks for a check within 2 s, disabling
    // forgets the known newer version.
    void set_update_check(bool enabled);

    // The newer version of the last check, while the check is enabled.
    std::optional<std::string> known_update() const;
    // "acik" or "kapali", "; son denetim: " and the last check's status.
    std::string update_status_text() const;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread worker_;
};

// Opens the Turkish or English download page in the browser and logs it.
// True when the shell reported success.
bool open_download_page(platform::IShell& shell, bool turkish);

// The tray's update-notice action: when a newer version is known, it differs
// from the setting "update_notified" and the tray icon exists, stores the
// version there and shows the balloon through show(title, text). A version
// is announced once, also across restarts. True when the balloon was shown.
bool show_update_balloon(const UpdateChecker& checker, bool tray_exists,
                         const std::function<void(const std::string& title, const std::string& text)>& show);

// The balloon's click: opens the download page in the language in effect
// when an update is still known.
void on_update_balloon_click(const UpdateChecker& checker, platform::IShell& shell);

}  // namespace sorvane
