#include "host/core/settings.h"

#include <memory>
#include <mutex>

#include "platform/file_lock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/system.h"

namespace sorvane {
namespace {

std::mutex& settings_mutex() {
    static std::mutex m;
    return m;
}

// The path variable is read into 520 UTF-16 units on Windows; a longer
// value is not a usable path.
constexpr size_t kPathVariableLimit = 519;

SettingsMap read_locked(const std::string& path) {
    std::string text;
    bool truncated = false;
    platform::FileResult r = platform::read_file(path, kSettingsReadLimit, text, &truncated);
    if (!r.ok()) return {};
    return parse_settings(text, truncated);
}

}  // namespace

SettingsMap parse_settings(std::string_view text, bool truncated) {
    SettingsMap out;
    if (truncated) {
        size_t last_lf = text.rfind('\n');
        text = last_lf == std::string_view::npos ? std::string_view() : text.substr(0, last_lf + 1);
    }
    size_t pos = 0;
    while (pos < text.size()) {
        size_t lf = text.find('\n', pos);
        std::string_view line = text.substr(pos, lf == std::string_view::npos ? std::string_view::npos : lf - pos);
        pos = lf == std::string_view::npos ? text.size() : lf + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        size_t eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        // A value holds no CR, as settings_set stores it: one kept here would
        // end up as the line's dropped CR once written back.
        std::string value(line.substr(eq + 1));
        for (char& c : value)
            if (c == '\r') c = '?';
        out[std::string(line.substr(0, eq))] = std::move(value);
    }
    return out;
}

std::string serialize_settings(const SettingsMap& values) {
    std::string text;
    for (const auto& [k, v] : values) {
        text += k;
        text += '=';
        text += v;
        text += '\n';
    }
    return text;
}

bool valid_settings_key(std::string_view key) {
    return !key.empty() && key.find_first_of("=\r\n") == std::string_view::npos;
}

std::string settings_path() {
    std::string path;
    if (platform::get_env(kSettingsPathVariable, path) && !path.empty() && path.size() <= kPathVariableLimit) {
        return path;
    }
    std::string base;
    auto paths = platform::make_system_paths();
    if (!paths || !paths->local_app_data(base) || base.empty()) return {};
    return platform::join_path(platform::join_path(base, "Sorvane"), "settings.txt");
}

std::optional<std::string> settings_get(std::string_view key) {
    std::lock_guard<std::mutex> lock(settings_mutex());
    std::string path = settings_path();
    if (path.empty()) return std::nullopt;
    SettingsMap values = read_locked(path);
    auto it = values.find(std::string(key));
    if (it == values.end() || it->second.empty()) return std::nullopt;
    return it->second;
}

bool settings_set(std::string_view key, const std::optional<std::string>& value) {
    std::lock_guard<std::mutex> lock(settings_mutex());
    std::string path = settings_path();
    if (path.empty() || !valid_settings_key(key)) return false;
    std::string folder = platform::parent_of(path);
    if (!folder.empty()) platform::create_directories(folder);
    // The other host processes of this user take the same lock file.
    std::unique_ptr<platform::FileLock> file_lock = platform::lock_file(path + ".lock");
    SettingsMap values = read_locked(path);
    if (value) {
        // A line break in a value would end its line and start another key.
        std::string v = *value;
        for (char& c : v) {
            if (c == '\r' || c == '\n') c = '?';
        }
        values[std::string(key)] = std::move(v);
    } else {
        values.erase(std::string(key));
    }
    return platform::write_file_atomic(path, serialize_settings(values)).ok();
}

}  // namespace sorvane
