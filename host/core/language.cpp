#include "host/core/language.h"

#include <atomic>
#include <mutex>

#include "common/text.h"
#include "host/core/log.h"
#include "host/core/settings.h"

namespace sorvane {
namespace {

std::mutex& source_mutex() {
    static std::mutex m;
    return m;
}
std::unique_ptr<platform::ISystemLanguage>& source_slot() {
    static std::unique_ptr<platform::ISystemLanguage> s;
    return s;
}

// Bumped by every preference change; a decision belongs to one generation.
std::atomic<uint64_t> g_generation{1};
std::atomic<uint64_t> g_decided_generation{0};
std::atomic<bool> g_turkish{false};

bool exact_pref(const std::optional<std::string>& v, const char* a, const char* b) {
    return v && (*v == a || *v == b);
}

}  // namespace

LanguageDecision decide_language(const std::optional<std::string>& preference, platform::ISystemLanguage& system) {
    LanguageDecision d;
    if (preference) {
        d.turkish = *preference == "tr";
        d.log_line = "[lang] karar: kullanici tercihi (" + scrub_control(*preference) + ")";
        return d;
    }
    if ((system.user_default_ui_language() & 0x3FF) == platform::kLangTurkish) {
        d.turkish = true;
        d.log_line = "[lang] karar: Windows arayuz dili (tr)";
        return d;
    }
    std::string geo;
    if (system.user_default_geo_name(geo) && iequals_ascii(geo, "TR")) {
        d.turkish = true;
        d.log_line = "[lang] karar: ulke/bolge (GetUserDefaultGeoName=TR)";
        return d;
    }
    std::string locale;
    if (system.user_default_locale_name(locale) && locale.size() >= 2 && locale.compare(0, 2, "tr") == 0 &&
        (locale.size() == 2 || locale[2] == '-')) {
        d.turkish = true;
        d.log_line = "[lang] karar: bolge bicimi (locale=" + scrub_control(locale) + ")";
        return d;
    }
    std::string tz;
    if (system.time_zone_key_name(tz) && tz == "Turkey Standard Time") {
        d.turkish = true;
        d.log_line = "[lang] karar: saat dilimi (" + tz + ")";
        return d;
    }
    d.log_line = "[lang] karar: varsayilan (en)";
    return d;
}

void set_system_language_source(std::unique_ptr<platform::ISystemLanguage> source) {
    {
        std::lock_guard<std::mutex> lock(source_mutex());
        source_slot() = std::move(source);
    }
    g_generation.fetch_add(1);
}

bool language_is_turkish() {
    uint64_t current = g_generation.load();
    if (g_decided_generation.exchange(current) == current) return g_turkish.load();
    // A stored preference other than "tr" or "en" counts as none.
    std::optional<std::string> pref = language_preference();
    LanguageDecision d;
    {
        std::lock_guard<std::mutex> lock(source_mutex());
        if (!source_slot()) source_slot() = platform::make_system_language();
        d = decide_language(pref, *source_slot());
    }
    g_turkish.store(d.turkish);
    log("%s", d.log_line.c_str());
    return d.turkish;
}

std::optional<std::string> language_preference() {
    std::optional<std::string> v = settings_get(kSettingLang);
    if (exact_pref(v, "tr", "en")) return v;
    return std::nullopt;
}

void set_language_preference(const std::optional<std::string>& value) {
    settings_set(kSettingLang, value);
    g_generation.fetch_add(1);
    log("[lang] kullanici tercihi degisti: %s", value ? scrub_control(*value).c_str() : "auto");
}

std::optional<std::string> theme_preference() {
    std::optional<std::string> v = settings_get(kSettingTheme);
    if (exact_pref(v, "light", "dark")) return v;
    return std::nullopt;
}

void set_theme_preference(const std::optional<std::string>& value) { settings_set(kSettingTheme, value); }

const char* ui_text(UiText text) {
    bool tr = language_is_turkish();
    switch (text) {
        case UiText::add_device: return tr ? "Cihaz ekle" : "Add device";
        case UiText::report_problem: return tr ? "Sorun bildir" : "Report a problem";
        case UiText::exit: return tr ? "Çıkış" : "Exit";
        case UiText::no_device: return tr ? "Bağlı cihaz yok" : "No device connected";
        case UiText::new_version_title: return tr ? "Yeni sürüm var" : "New version available";
    }
    return "";
}

std::string ui_text_connected(const std::string& name) {
    return name + (language_is_turkish() ? " bağlı" : " connected");
}

std::string ui_text_devices_connected(uint32_t count) {
    return std::to_string(count) + (language_is_turkish() ? " cihaz bağlı" : " devices connected");
}

std::string ui_text_new_version(const std::string& version) {
    if (language_is_turkish()) return "Sorvane " + version + " yayında. İndirme sayfasını açmak için tıkla.";
    return "Sorvane " + version + " is out. Click to open the download page.";
}

}  // namespace sorvane
