// What the system says about the user's language and region: the default UI
// language, the geographical region, the locale (formats) and the time zone.
// Windows reports them through its national-language functions; on Linux
// they come from LANG, LC_* and TZ.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sorvane::platform {

// Primary language identifiers (the low 10 bits of a LANGID).
inline constexpr uint16_t kLangTurkish = 0x1F;
inline constexpr uint16_t kLangEnglish = 0x09;

class ISystemLanguage {
public:
    virtual ~ISystemLanguage() = default;
    // GetUserDefaultUILanguage: a LANGID (primary language in the low 10 bits); 0 when unknown.
    virtual uint16_t user_default_ui_language() = 0;
    // GetUserDefaultGeoName: a two-letter region ("TR"); false when unknown.
    virtual bool user_default_geo_name(std::string& out) = 0;
    // GetUserDefaultLocaleName: "tr-TR"; false when unknown.
    virtual bool user_default_locale_name(std::string& out) = 0;
    // GetDynamicTimeZoneInformation's key name ("Turkey Standard Time"); false when it cannot be read.
    virtual bool time_zone_key_name(std::string& out) = 0;
};

std::unique_ptr<ISystemLanguage> make_system_language();

}  // namespace sorvane::platform
