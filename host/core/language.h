// The user's language: Turkish or English for every user-visible text,
// decided from the stored preference or, without one, from the system's UI
// language, region, locale and time zone. The decision is made and logged
// once per change of preference. Also the theme preference.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/system_language.h"

namespace sorvane {

struct LanguageDecision {
    bool turkish = false;
    std::string log_line;  // the "[lang] karar: ..." line
};

// The decision table alone: preference ("tr"/"en"/other or nothing) first,
// then the UI language, the region, the locale and the time zone.
LanguageDecision decide_language(const std::optional<std::string>& preference, platform::ISystemLanguage& system);

// Replaces the system facts used by language_is_turkish (tests; null restores
// the platform's) and forgets the cached decision.
void set_system_language_source(std::unique_ptr<platform::ISystemLanguage> source);

// The cached decision; recomputed (and logged) after a preference change.
bool language_is_turkish();
// "tr" or "en" when "lang" holds exactly one of them.
std::optional<std::string> language_preference();
// Stores or removes "lang", invalidates the decision and logs the change.
void set_language_preference(const std::optional<std::string>& value);

// "light" or "dark" when "theme" holds exactly one of them.
std::optional<std::string> theme_preference();
void set_theme_preference(const std::optional<std::string>& value);

// The texts of the tray and the update balloon.
enum class UiText : uint8_t { add_device, report_problem, exit, no_device, new_version_title };
const char* ui_text(UiText text);
std::string ui_text_connected(const std::string& name);
std::string ui_text_devices_connected(uint32_t count);
std::string ui_text_new_version(const std::string& version);

}  // namespace sorvane
