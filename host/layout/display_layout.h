// The display configuration as Windows keeps it: snapshots (paths, modes and
// the active displays derived from them), the identity of a display, reading
// and applying configurations, removing displays from one, and describing in
// words what changed between two snapshots.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/display_config.h"

namespace sorvane::layout {

struct DisplayId {
    uint32_t luid_low = 0;
    int32_t luid_high = 0;
    uint32_t target_id = 0;
    bool operator==(const DisplayId&) const = default;
    bool operator<(const DisplayId& o) const;
};
// "%08lx:%08lx/%u", high part first.
std::string display_id_text(const DisplayId& id);

struct DisplayInfo {
    DisplayId id;
    uint32_t source_id = 0;
    std::string gdi_name;
    std::string device_path;
    int32_t x = 0, y = 0;
    uint32_t width = 0, height = 0;
    platform::DcRational refresh;
    uint32_t rotation = 0, scaling = 0, scan_line_order = 0;
    bool primary = false;
    std::vector<DisplayId> mirror_peers;
};
// gdi_name when known, else the id's text.
std::string display_text(const DisplayInfo& d);
// "%.2f" of the ratio, or "?".
std::string refresh_text(const platform::DcRational& r);

struct Layout {
    std::vector<platform::DcPathInfo> paths;
    std::vector<platform::DcModeInfo> modes;
    std::vector<DisplayInfo> displays;
};

struct DiffOptions {
    std::vector<DisplayId> ignore_ids;
    std::vector<std::string> ignore_paths;  // lower case
    bool match_by_path = false;
};

enum class ApplyMode { validate, apply, apply_and_save };

class DisplayConfig {
public:
    explicit DisplayConfig(platform::IDisplayConfigApi& api) : api_(api) {}

    bool query_layout(uint32_t flags, Layout& out, std::string& error);
    bool snapshot(bool with_names, Layout& out, std::string& error);
    int32_t apply_layout(const Layout& layout, ApplyMode mode, std::string& error);
    // Displays of the layout's active paths (names asked for when with_names).
    void derive_displays(Layout& layout, bool with_names);
    std::string target_device_path(const DisplayId& id);
    bool check_input_desktop(std::string& error);
    platform::IDisplayConfigApi& api() { return api_; }

private:
    platform::IDisplayConfigApi& api_;
};

// Displays derived from paths and modes without names.
void derive_displays_unnamed(Layout& layout);
Layout without_displays(const Layout& layout, const std::vector<DisplayId>& ids);
std::optional<DisplayInfo> find_display(const Layout& layout, const DisplayInfo& display, bool match_by_path);
std::vector<std::string> describe_changes(const Layout& before, const Layout& after, const DiffOptions& options);

// A readable table of a layout's displays (one line each), for logs and tools.
std::string layout_text(const Layout& layout);

}  // namespace sorvane::layout
