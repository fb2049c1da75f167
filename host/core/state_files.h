// The host's small state files: host_id.txt (the permanent host id),
// device_kinds.txt (phone or tablet per paired device) and
// display_positions.txt (where each device's monitor was last placed).
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane {

// A fresh random version-4 UUID text, lowercase, 8-4-4-4-12; empty when the
// system's random source failed (an id from a zero seed would be the same on
// every machine where that happens).
std::string new_host_id();

// A fresh one-time pairing token: 32 lowercase hexadecimal digits of 16
// random bytes. False (token cleared) when the random source failed: a token
// is never made of bytes that were not filled.
bool new_pairing_token(std::string& token);

// True for exactly 36 characters of hexadecimal digits in the groups 8-4-4-4-12.
bool is_host_id(std::string_view text);

// The id stored at path when the file holds one; otherwise writes candidate
// there (creating the folder) and returns it, also when the write failed. A
// candidate that is not a host id (new_host_id failed) is never written:
// the result is then empty, and the host cannot start without an id.
std::string load_or_create_host_id(const std::string& path, const std::string& candidate);

class DeviceKindStore {
public:
    // Remembers the path, forgets what it held and reads the file.
    void load(const std::string& path);
    // kind is "phone" or "tablet"; anything else, an empty client id or a client
    // id with "|", CR or LF changes nothing. Writes the file on a change.
    void set(const std::string& client_id, const std::string& kind);
    std::string kind_of(const std::string& client_id) const;
    void forget(const std::string& client_id);

    // The file's text for entries (exposed for tests).
    static std::string serialize(const std::map<std::string, std::string>& entries);
    static std::map<std::string, std::string> parse(std::string_view text);

private:
    void write_locked() const;

    mutable std::mutex mutex_;
    std::string path_;
    std::map<std::string, std::string> kinds_;
};

// Where a device's monitor sits relative to the display it touches.
struct SavedPosition {
    std::string anchor;  // identifies the touched display; may hold "|", never CR or LF
    char side = 'R';     // L, R, T or B
    int32_t offset = 0;  // -99,999 .. 99,999
    bool operator==(const SavedPosition&) const = default;
};

class DisplayPositionStore {
public:
    void load(const std::string& path);
    // False without change for an invalid client id or position.
    bool set(const std::string& client_id, const SavedPosition& position);
    std::optional<SavedPosition> position_of(const std::string& client_id) const;
    void forget(const std::string& client_id);

    static std::string serialize(const std::map<std::string, SavedPosition>& entries);
    static std::map<std::string, SavedPosition> parse(std::string_view text);

private:
    void write_locked() const;

    mutable std::mutex mutex_;
    std::string path_;
    std::map<std::string, SavedPosition> positions_;
};

inline constexpr size_t kDeviceKindsReadLimit = 16'383;
inline constexpr size_t kDisplayPositionsReadLimit = 65'536;

}  // namespace sorvane
