#include "driver/core/registry.h"

#include <algorithm>

namespace sorvane::vdd {

const char* state_name(MonitorState state) {
    switch (state) {
        case MonitorState::creating: return "creating";
        case MonitorState::arrived: return "arrived";
        case MonitorState::active: return "active";
        case MonitorState::departing: return "departing";
        case MonitorState::stuck: return "stuck";
    }
    return "unknown";
}

uint32_t fnv1a32(std::string_view bytes) {
    uint32_t h = 0x811C9DC5u;
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

uint32_t base_serial(std::optional<std::string_view> key, uint32_t slot) {
    if (!key) return 0xDE0000u + slot;
    const uint32_t h = fnv1a32(*key);
    return h == 0 ? 1 : h;
}

MonitorRegistry::MonitorRegistry(uint32_t max_monitors) : max_(max_monitors) {}

const MonitorEntry* MonitorRegistry::add_entry(uint32_t owner, uint32_t width, uint32_t height, uint32_t refresh,
                                               std::optional<std::string_view> key) {
    if (entries_.size() >= max_) return nullptr;
    const auto used = [&](auto field, uint32_t value) {
        return std::any_of(entries_.begin(), entries_.end(), [&](const MonitorEntry& e) { return e.*field == value; });
    };
    uint32_t slot = 0;
    while (slot < max_ && used(&MonitorEntry::slot, slot)) ++slot;
    if (slot == max_) return nullptr;

    // The serial follows the key, so a client that always sends the same key
    // for the same viewer gets the same EDID serial and the OS restores that
    // monitor's settings. Collisions step to the next free value.
    uint32_t serial = base_serial(key, slot);
    while (used(&MonitorEntry::serial, serial)) serial = serial == 0xFFFFFFFFu ? 1 : serial + 1;

    MonitorEntry e;
    e.id = next_id_++;
    e.slot = slot;
    e.serial = serial;
    e.width = width;
    e.height = height;
    e.refresh = refresh;
    e.owner = owner;
    entries_.push_back(e);
    return &entries_.back();
}

bool MonitorRegistry::erase_entry(uint32_t id) {
    const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const MonitorEntry& e) { return e.id == id; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

MonitorEntry* MonitorRegistry::find(uint32_t id) {
    const auto it = std::find_if(entries_.begin(), entries_.end(), [&](const MonitorEntry& e) { return e.id == id; });
    return it == entries_.end() ? nullptr : &*it;
}

}  // namespace sorvane::vdd
