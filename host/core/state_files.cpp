#include "host/core/state_files.h"

#include <cstdio>
#include <random>
#include <vector>

#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/random.h"

namespace sorvane {

namespace {

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// Reads a state file up to its limit. When the limit cut the file, the last
// line is incomplete and is dropped.
std::string read_state_text(const std::string& path, size_t limit) {
    std::string text;
    bool truncated = false;
    if (!platform::read_file(path, limit, text, &truncated).ok()) return {};
    if (truncated) {
        const size_t lf = text.rfind('\n');
        text.resize(lf == std::string::npos ? 0 : lf + 1);
    }
    return text;
}

// Lines split at LF, one trailing CR dropped, empty lines skipped.
std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty()) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

void write_state_file(const std::string& path, const std::string& text) {
    const std::string dir = platform::parent_of(path);
    if (!dir.empty()) platform::create_directories(dir);
    platform::write_file_atomic(path, text);
}

bool valid_client_id(std::string_view id) {
    return !id.empty() && id.find_first_of("|\r\n") == std::string_view::npos;
}

std::string normalise_kind(std::string_view kind) {
    if (kind == "phone" || kind == "tablet") return std::string(kind);
    return {};
}

bool valid_position(const SavedPosition& p) {
    if (p.anchor.empty() || p.anchor.find_first_of("\r\n") != std::string::npos) return false;
    if (p.side != 'L' && p.side != 'R' && p.side != 'T' && p.side != 'B') return false;
    return p.offset >= -99'999 && p.offset <= 99'999;
}

}  // namespace

std::string new_host_id() {
    uint32_t halves[2] = {0, 0};
    if (!platform::secure_random(&halves[0], sizeof halves[0]) ||
        !platform::secure_random(&halves[1], sizeof halves[1])) {
        return {};
    }
    const uint64_t seed = static_cast<uint64_t>(halves[0]) << 32 | halves[1];
    std::mt19937_64 gen(seed);
    unsigned char b[16];
    for (unsigned char& byte : b) byte = static_cast<unsigned char>(gen() & 0xFF);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[40];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

bool new_pairing_token(std::string& token) {
    token.clear();
    uint8_t bytes[16];
    if (!platform::secure_random(bytes, sizeof bytes)) return false;
    token = to_hex(bytes, sizeof bytes);
    return true;
}

bool is_host_id(std::string_view t) {
    if (t.size() != 36) return false;
    for (size_t i = 0; i < t.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? t[i] != '-' : !is_hex_digit(t[i])) return false;
    }
    return true;
}

std::string load_or_create_host_id(const std::string& path, const std::string& candidate) {
    std::string text;
    if (platform::read_file(path, 63, text).ok()) {
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
        if (is_host_id(text)) return text;
    }
    if (!is_host_id(candidate)) return {};
    write_state_file(path, candidate);
    return candidate;
}

// --- device_kinds.txt ---

std::string DeviceKindStore::serialize(const std::map<std::string, std::string>& entries) {
    std::string out;
    for (const auto& [id, kind] : entries) {
        if (normalise_kind(kind).empty() || !valid_client_id(id)) continue;
        out += id;
        out += '|';
        out += kind;
        out += '\n';
    }
    return out;
}

std::map<std::string, std::string> DeviceKindStore::parse(std::string_view text) {
    std::map<std::string, std::string> out;
    for (std::string_view line : split_lines(text)) {
        const size_t bar = line.find('|');
        if (bar == std::string_view::npos || bar == 0) continue;
        std::string kind = normalise_kind(line.substr(bar + 1));
        // Only what the writer would write back: a key with a CR inside would
        // vanish at the next save.
        if (kind.empty() || !valid_client_id(line.substr(0, bar))) continue;
        out[std::string(line.substr(0, bar))] = kind;
    }
    return out;
}

void DeviceKindStore::load(const std::string& path) {
    std::lock_guard<std::mutex> g(mutex_);
    path_ = path;
    kinds_ = parse(read_state_text(path, kDeviceKindsReadLimit));
}

void DeviceKindStore::set(const std::string& client_id, const std::string& kind) {
    const std::string k = normalise_kind(kind);
    if (k.empty() || !valid_client_id(client_id)) return;
    std::lock_guard<std::mutex> g(mutex_);
    auto it = kinds_.find(client_id);
    if (it != kinds_.end() && it->second == k) return;
    kinds_[client_id] = k;
    write_locked();
}

std::string DeviceKindStore::kind_of(const std::string& client_id) const {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = kinds_.find(client_id);
    return it == kinds_.end() ? std::string() : it->second;
}

void DeviceKindStore::forget(const std::string& client_id) {
    std::lock_guard<std::mutex> g(mutex_);
    if (kinds_.erase(client_id) > 0) write_locked();
}

void DeviceKindStore::write_locked() const {
    if (!path_.empty()) write_state_file(path_, serialize(kinds_));
}

// --- display_positions.txt ---

std::string DisplayPositionStore::serialize(const std::map<std::string, SavedPosition>& entries) {
    std::string out;
    for (const auto& [id, p] : entries) {
        if (!valid_client_id(id) || !valid_position(p)) continue;
        out += id;
        out += '|';
        out += p.side;
        out += '|';
        out += std::to_string(p.offset);
        out += '|';
        out += p.anchor;
        out += '\n';
    }
    return out;
}

std::map<std::string, SavedPosition> DisplayPositionStore::parse(std::string_view text) {
    std::map<std::string, SavedPosition> out;
    for (std::string_view line : split_lines(text)) {
        const size_t b1 = line.find('|');
        if (b1 == std::string_view::npos || b1 == 0) continue;
        const size_t b2 = line.find('|', b1 + 1);
        if (b2 == std::string_view::npos) continue;
        const size_t b3 = line.find('|', b2 + 1);
        if (b3 == std::string_view::npos) continue;
        const std::string_view side = line.substr(b1 + 1, b2 - b1 - 1);
        const std::string_view offset = line.substr(b2 + 1, b3 - b2 - 1);
        SavedPosition p;
        p.anchor = std::string(line.substr(b3 + 1));
        if (side.size() != 1) continue;
        p.side = side[0];
        int64_t value = 0;
        if (offset.empty() || !parse_int_exact(offset, value) || value < -99'999 || value > 99'999) continue;
        p.offset = static_cast<int32_t>(value);
        if (!valid_position(p) || !valid_client_id(line.substr(0, b1))) continue;
        out[std::string(line.substr(0, b1))] = p;
    }
    return out;
}

void DisplayPositionStore::load(const std::string& path) {
    std::lock_guard<std::mutex> g(mutex_);
    path_ = path;
    positions_ = parse(read_state_text(path, kDisplayPositionsReadLimit));
}

bool DisplayPositionStore::set(const std::string& client_id, const SavedPosition& position) {
    if (!valid_client_id(client_id) || !valid_position(position)) return false;
    std::lock_guard<std::mutex> g(mutex_);
    auto it = positions_.find(client_id);
    if (it != positions_.end() && it->second == position) return true;
    positions_[client_id] = position;
    write_locked();
    return true;
}

std::optional<SavedPosition> DisplayPositionStore::position_of(const std::string& client_id) const {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = positions_.find(client_id);
    if (it == positions_.end()) return std::nullopt;
    return it->second;
}

void DisplayPositionStore::forget(const std::string& client_id) {
    std::lock_guard<std::mutex> g(mutex_);
    if (positions_.erase(client_id) > 0) write_locked();
}

void DisplayPositionStore::write_locked() const {
    if (!path_.empty()) write_state_file(path_, serialize(positions_));
}

}  // namespace sorvane
