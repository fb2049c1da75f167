// settings.txt: the user's preferences and a few last-event notes, one
// "key=value" line per key, read and written whole under one process-wide
// lock (and a lock file beside it, so two host processes never interleave
// their read-modify-write cycles either).
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane {

inline constexpr size_t kSettingsReadLimit = 4095;
inline constexpr const char* kSettingsPathVariable = "SORVANE_SETTINGS_PATH";

// Keys written by several parts of the host.
inline constexpr const char* kSettingLang = "lang";
inline constexpr const char* kSettingTheme = "theme";
inline constexpr const char* kSettingColorVibrance = "color_vibrance";
inline constexpr const char* kSettingUpdateCheck = "update_check";
inline constexpr const char* kSettingUpdateNotified = "update_notified";
inline constexpr const char* kSettingLastPairingsUnreadable = "last_pairings_unreadable";
inline constexpr const char* kSettingLastTlsIdentityRenewed = "last_tls_identity_renewed";
inline constexpr const char* kSettingLastDeviceRemoved = "last_device_removed";
inline constexpr const char* kSettingLastCaptureStall = "last_capture_stall";

using SettingsMap = std::map<std::string, std::string>;

// Parses the file's bytes: lines split at LF, one CR at a line's end dropped,
// key before the first "=", value after it (any other CR in it read as "?",
// as settings_set stores it), no trimming; lines without "=" or
// with an empty key are skipped; the last line of a key wins. When the text
// was cut at the read limit (truncated), its last line is incomplete and is
// dropped rather than read as a cut value.
SettingsMap parse_settings(std::string_view text, bool truncated = false);
// One "key=value\n" per key in ascending byte order of the keys.
std::string serialize_settings(const SettingsMap& values);

// A key is non-empty and holds no "=", CR or LF.
bool valid_settings_key(std::string_view key);

// Where settings.txt is: SORVANE_SETTINGS_PATH when set, else the local
// application data folder + "Sorvane" + "settings.txt"; empty when neither
// is known (settings are then neither read nor written).
std::string settings_path();

// The value of key; nothing when the file, the key or a non-empty value is missing.
std::optional<std::string> settings_get(std::string_view key);
// Stores value under key, or removes the key without one. The file is read,
// changed and rewritten atomically (temporary file and rename). CR and LF in
// a value are stored as "?". False for an invalid key, when there is no path
// or when the write failed (callers may ignore it).
bool settings_set(std::string_view key, const std::optional<std::string>& value);

}  // namespace sorvane
