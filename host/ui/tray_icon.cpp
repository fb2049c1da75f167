#include "host/ui/tray_icon.h"

#include <vector>

#include "common/text.h"
#include "host/core/language.h"
#include "host/core/log.h"

namespace sorvane {

namespace {

constexpr uint32_t kIconId = 1;
constexpr uint32_t kRefreshTimer = 1;
constexpr uint32_t kDelayedStartTimer = 2;
constexpr uint32_t kRefreshMs = 2'000;
constexpr uint32_t kDelayedStartMs = 30'000;
constexpr const char* kPersonalize = "Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr size_t kTooltipUnits = 127;
constexpr size_t kMenuTextUnits = 255;

// The longest prefix of s of at most max UTF-16 units, cut between
// characters; false when s is not UTF-8.
bool utf16_prefix(const std::string& s, size_t max, std::string& out) {
    size_t units = 0;
    size_t i = 0;
    bool cut = false;
    while (i < s.size()) {
        const size_t n = utf8_sequence_length(std::string_view(s).substr(i));
        if (n == 0) return false;
        const size_t u = n == 4 ? 2 : 1;
        if (!cut && units + u > max) {
            out = s.substr(0, i);
            cut = true;
        }
        units += u;
        i += n;
    }
    if (!cut) out = s;
    return true;
}

}  // namespace

std::string tray_tooltip(const std::string& status_text) {
    if (status_text.empty()) return "Sorvane";
    std::string tip;
    if (!utf16_prefix("Sorvane - " + status_text, kTooltipUnits, tip)) return "Sorvane";
    return tip;
}

TrayIcon::State TrayIcon::state_of(bool pairing_open, size_t connected_viewers) {
    if (pairing_open) return State::pairing;
    return connected_viewers > 0 ? State::connected : State::idle;
}

TrayIcon::TrayIcon(platform::ITray& tray, platform::IRegistry& registry, Callbacks callbacks)
    : tray_(tray), registry_(registry), callbacks_(std::move(callbacks)) {}

TrayIcon::~TrayIcon() { destroy(); }

uint32_t TrayIcon::icon_for(State state) const {
    const uint32_t base = light_taskbar_ && light_icons_ ? 104 : 101;
    return base + static_cast<uint32_t>(state);
}

bool TrayIcon::read_light_taskbar() {
    platform::RegistryValue v;
    uint32_t value = 0;
    return registry_.get_value(platform::RegistryHive::current_user, kPersonalize, "SystemUsesLightTheme", v) == 0 &&
           platform::read_dword(v, value) && value == 1;
}

bool TrayIcon::create() {
    bool dark_set = true;
    for (uint32_t id = 101; id <= 103; ++id) dark_set = tray_.load_icon(id) && dark_set;
    if (!dark_set) {
        log("[tray] simge kaynaklari yuklenemedi (resources/*.ico .rc'ye derlenmemis olabilir)");
        for (uint32_t id = 101; id <= 103; ++id) tray_.destroy_icon(id);
        return false;
    }
    light_icons_ = true;
    for (uint32_t id = 104; id <= 106; ++id) light_icons_ = tray_.load_icon(id) && light_icons_;
    light_taskbar_ = read_light_taskbar();

    std::string failed_step;
    uint32_t error = 0;
    if (!tray_.create_window(kWindowClass, "Sorvane", [this](const platform::WindowMessage& m) { return on_message(m); },
                             failed_step, error)) {
        log("[tray] %s basarisiz: %lu", failed_step.c_str(), static_cast<unsigned long>(error));
        for (uint32_t id = 101; id <= 106; ++id) tray_.destroy_icon(id);
        return false;
    }
    created_ = true;
    taskbar_created_ = tray_.register_message("TaskbarCreated");
    add_icon();
    tray_.set_timer(kRefreshTimer, kRefreshMs);
    tray_.set_timer(kDelayedStartTimer, kDelayedStartMs);
    refresh();
    return true;
}

int TrayIcon::run() { return tray_.run(); }

void TrayIcon::add_icon() {
    // The current tooltip, so an icon that comes back after Explorer
    // restarted still tells who is connected.
    if (tray_.add_icon(kIconId, kCallbackMessage, icon_for(state_), tray_tooltip(last_text_))) {
        added_ = true;
    } else {
        log("[tray] Shell_NotifyIcon(NIM_ADD) basarisiz");
    }
}

void TrayIcon::refresh() {
    const std::string text = callbacks_.status_text ? callbacks_.status_text() : std::string();
    const State state = callbacks_.state ? callbacks_.state() : State::idle;
    if (state != state_) {
        state_ = state;
        if (added_) tray_.set_icon(kIconId, icon_for(state_));
    }
    if (text != last_text_) {
        last_text_ = text;
        if (added_) tray_.set_tooltip(kIconId, tray_tooltip(text));
    }
}

void TrayIcon::taskbar_theme_changed() {
    const bool light = read_light_taskbar();
    if (light == light_taskbar_) return;
    light_taskbar_ = light;
    log("[tray] gorev cubugu temasi degisti: %s -> simge %s sembollu", light ? "acik" : "koyu", light ? "koyu" : "beyaz");
    if (added_) tray_.set_icon(kIconId, icon_for(state_));
}

void TrayIcon::show_balloon(const std::string& title, const std::string& text) {
    if (!added_) return;
    std::string t;
    std::string body;
    if (!utf16_prefix(title, 63, t) || !utf16_prefix(text, 255, body) || !tray_.show_balloon(kIconId, t, body)) {
        log("[tray] baloncuk gosterilemedi");
    }
}

platform::ScreenRect TrayIcon::icon_rect() { return created_ ? tray_.icon_rect(kIconId) : platform::ScreenRect{}; }

void TrayIcon::show_menu() {
    std::string status = callbacks_.status_text ? callbacks_.status_text() : std::string();
    if (!utf16_prefix(status, kMenuTextUnits, status)) status = scrub_text(status);
    const std::vector<platform::TrayMenuItem> items = {
        {kMenuStatus, status, true, false},
        {0, "", false, true},
        {kMenuAddDevice, ui_text(UiText::add_device), false, false},
        {kMenuReport, ui_text(UiText::report_problem), false, false},
        {0, "", false, true},
        {kMenuExit, ui_text(UiText::exit), false, false},
    };
    // Menu theme: Windows' app theme, unless the panel's theme setting says otherwise.
    platform::RegistryValue v;
    uint32_t apps_light = 1;
    bool light = registry_.get_value(platform::RegistryHive::current_user, kPersonalize, "AppsUseLightTheme", v) != 0 ||
                 !platform::read_dword(v, apps_light) || apps_light != 0;
    if (const auto theme = theme_preference()) light = *theme == "light";
    tray_.set_menu_dark(!light);
    const uint32_t command = tray_.track_menu(items);
    if (command == kMenuAddDevice) {
        if (callbacks_.add_device) callbacks_.add_device();
    } else if (command == kMenuReport) {
        if (callbacks_.report_problem) callbacks_.report_problem();
    } else if (command == kMenuExit) {
        quit_once();
    }
}

void TrayIcon::quit_once() {
    if (quitting_) return;
    quitting_ = true;
    tray_.end_menu();
    if (callbacks_.quit) callbacks_.quit();
    tray_.post_quit(0);
}

int64_t TrayIcon::on_message(const platform::WindowMessage& m) {
    if (taskbar_created_ != 0 && m.message == taskbar_created_) {
        log("[tray] TaskbarCreated: simge yeniden ekleniyor");
        added_ = false;
        add_icon();
        return 0;
    }
    switch (m.message) {
        case platform::kWmQueryEndSession:
            return 1;
        case platform::kWmEndSession:
            if (m.wparam != 0) {
                log("[tray] WM_ENDSESSION: oturum/bilgisayar kapaniyor, temiz kapaniliyor");
                quit_once();
            }
            return 0;
        case platform::kWmSettingChange:
            if (m.text == "ImmersiveColorSet") taskbar_theme_changed();
            return 0;
        case platform::kWmCommand: {
            const uint32_t command = static_cast<uint32_t>(m.wparam & 0xFFFF);
            if (command == kMenuReport && callbacks_.report_problem) callbacks_.report_problem();
            if (command == kMenuAddDevice && callbacks_.add_device) callbacks_.add_device();
            return 0;
        }
        case platform::kWmTimer:
            if (m.wparam == kRefreshTimer) {
                refresh();
                return 0;
            }
            if (m.wparam == kDelayedStartTimer) {
                tray_.kill_timer(kDelayedStartTimer);
                if (callbacks_.delayed_start) callbacks_.delayed_start();
                return 0;
            }
            break;
        case kCallbackMessage: {
            const auto event = static_cast<uint32_t>(m.lparam & 0xFFFF);
            if (event == platform::kWmRButtonUp || event == platform::kWmContextMenu) {
                show_menu();
            } else if (event == platform::kWmLButtonUp) {
                if (callbacks_.left_click) callbacks_.left_click();
            } else if (event == platform::kNinBalloonUserClick) {
                if (callbacks_.balloon_click) callbacks_.balloon_click();
            }
            return 0;
        }
        case kQuitMessage:
            log("[tray] --quit istegi alindi, temiz kapaniliyor");
            quit_once();
            return 0;
        case kUpdateNoticeMessage:
            if (callbacks_.update_notice) callbacks_.update_notice();
            return 0;
        case platform::kWmDestroy:
            tray_.post_quit(0);
            return 0;
        default:
            break;
    }
    return callbacks_.other_message ? callbacks_.other_message(m) : 0;
}

void TrayIcon::destroy() {
    if (added_) {
        tray_.delete_icon(kIconId);
        added_ = false;
    }
    // Every icon loaded, the dark-symbol set included.
    for (uint32_t id = 101; id <= 106; ++id) tray_.destroy_icon(id);
    if (created_) {
        created_ = false;
        tray_.destroy_window();
    }
}

}  // namespace sorvane
