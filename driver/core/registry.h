// The driver's table of monitors: slots (connector indices), ids and EDID
// serials. Not thread-safe; the control plane guards it with its mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "driver/core/types.h"

namespace sorvane::vdd {

enum class MonitorState : uint32_t { creating = 0, arrived = 1, active = 2, departing = 3, stuck = 4 };

// "creating", "arrived", "active", "departing", "stuck"; "unknown" otherwise.
const char* state_name(MonitorState state);

struct MonitorEntry {
    uint32_t id = 0;
    uint32_t slot = 0;
    uint32_t serial = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    uint32_t owner = 0;  // connection that created it
    MonitorState state = MonitorState::creating;
    MonitorState previous_state = MonitorState::creating;  // before the current departure
    Luid os_luid;
    uint32_t os_target = 0;
    bool owner_gone = false;  // to be removed; never cleared
    uint32_t failure_count = 0;
    uint64_t next_retry_ms = 0;
    uint64_t departure_start_ms = 0;
};

// 32-bit FNV-1a.
uint32_t fnv1a32(std::string_view bytes);
// The serial a monitor starts from: FNV-1a of its key (0 becomes 1), or
// 0xDE0000 + slot without a key.
uint32_t base_serial(std::optional<std::string_view> key, uint32_t slot);

class MonitorRegistry {
public:
    explicit MonitorRegistry(uint32_t max_monitors);

    // Appends a creating entry in the lowest free slot with the next id and a
    // serial no other entry has; null when the table is full. The pointer is
    // valid until the next change of the table.
    const MonitorEntry* add_entry(uint32_t owner, uint32_t width, uint32_t height, uint32_t refresh,
                                  std::optional<std::string_view> key);
    // Drops the entry with that id, keeping the order of the others.
    bool erase_entry(uint32_t id);
    MonitorEntry* find(uint32_t id);

    std::vector<MonitorEntry>& entries() { return entries_; }
    const std::vector<MonitorEntry>& entries() const { return entries_; }
    uint32_t max_monitors() const { return max_; }

private:
    uint32_t max_;
    uint32_t next_id_ = 1;
    std::vector<MonitorEntry> entries_;  // creation order
};

}  // namespace sorvane::vdd
