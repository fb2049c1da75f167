// The language facts from the POSIX locale variables: LC_ALL overrides every
// category, then the category's own variable, then LANG. The UI language is
// LC_MESSAGES' language, the locale is LC_TIME's (the formats), the region is
// the territory of LC_ALL, LC_ADDRESS or LANG, and TZ names the time zone.
#include <cstdlib>
#include <string_view>

#include "common/text.h"
#include "platform/system_language.h"

namespace sorvane::platform {
namespace {

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

std::string category(const char* name) {
    std::string v = env("LC_ALL");
    if (v.empty()) v = env(name);
    if (v.empty()) v = env("LANG");
    if (v == "C" || v == "POSIX" || v.rfind("C.", 0) == 0) return {};
    return v;
}

// "tr_TR.UTF-8@euro" -> language "tr", territory "TR".
void split_locale(std::string_view v, std::string& language, std::string& territory) {
    size_t end = v.find_first_of(".@");
    if (end != std::string_view::npos) v = v.substr(0, end);
    size_t us = v.find('_');
    language = ascii_lower(v.substr(0, us));
    territory = us == std::string_view::npos ? std::string() : std::string(v.substr(us + 1));
}

class EnvSystemLanguage final : public ISystemLanguage {
public:
    uint16_t user_default_ui_language() override {
        std::string lang, territory;
        split_locale(category("LC_MESSAGES"), lang, territory);
        if (lang == "tr") return kLangTurkish | (0x01 << 10);
        if (lang == "en") return kLangEnglish | (0x01 << 10);
        return 0;
    }
    bool user_default_geo_name(std::string& out) override {
        std::string lang, territory;
        split_locale(category("LC_ADDRESS"), lang, territory);
        if (territory.empty()) return false;
        out = territory;
        return true;
    }
    bool user_default_locale_name(std::string& out) override {
        std::string lang, territory;
        split_locale(category("LC_TIME"), lang, territory);
        if (lang.empty()) return false;
        out = territory.empty() ? lang : lang + "-" + territory;
        return true;
    }
    bool time_zone_key_name(std::string& out) override {
        std::string tz = env("TZ");
        if (!tz.empty() && tz[0] == ':') tz.erase(0, 1);
        if (tz.empty()) return false;
        if (tz == "Europe/Istanbul" || tz == "Asia/Istanbul" || tz == "Turkey") {
            out = "Turkey Standard Time";
        } else if (tz == "UTC" || tz == "Etc/UTC" || tz == "UTC0") {
            out = "UTC";
        } else {
            out = tz;
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<ISystemLanguage> make_system_language() { return std::make_unique<EnvSystemLanguage>(); }

}  // namespace sorvane::platform
