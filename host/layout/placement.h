// Placing a new monitor as an extended display next to the others (at its
// remembered position when that still fits, else at the right edge), with
// checks that nothing else moved and repair attempts; recording where a
// monitor sat relative to a neighbour; and the layout that puts the other
// displays back after a removal.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/core/state_files.h"
#include "host/layout/display_layout.h"
#include "platform/clock.h"

namespace sorvane::layout {

struct TargetMode {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
};

struct AddResult {
    bool ok = false;
    std::string error;
    std::vector<std::string> issues;
    Layout base;
    Layout final;
    uint32_t repairs = 0;
    uint32_t waited_ms = 0;
    bool placed_at_saved = false;
    std::string saved_note;
};

// "<anchor's second #-field> (capanin <side word>), kaydirma <offset>".
std::string saved_position_text(const SavedPosition& p);

class Placement {
public:
    Placement(DisplayConfig& config, platform::IClock& clock) : config_(config), clock_(clock) {}

    AddResult add_extended(const DisplayId& target, const TargetMode& mode, uint32_t timeout_ms,
                           const std::optional<Layout>& base, std::optional<std::pair<int32_t, int32_t>> position);

    // Issues of final against base for our display (empty: compliant).
    static std::vector<std::string> check_compliance(const Layout& base, const Layout& final, const DisplayId& target,
                                                     const TargetMode& mode);
    // The configuration that adds target to base; false with error.
    static bool build_added(const Layout& base, const Layout& all_paths, const DisplayId& target, const TargetMode& mode,
                            bool explicit_modes, std::optional<std::pair<int32_t, int32_t>> position, Layout& out,
                            std::string& error);

private:
    DisplayConfig& config_;
    platform::IClock& clock_;
};

bool record_position(const Layout& layout, const DisplayId& our, SavedPosition& out);
bool resolve_position(const Layout& layout, const SavedPosition& record, uint32_t width, uint32_t height,
                      std::pair<int32_t, int32_t>& out, std::string& error);
Layout restore_layout(const Layout& saved, const std::vector<DisplayId>& current_ids,
                      const std::function<std::string(const DisplayId&)>& device_path_of,
                      std::vector<std::string>& notes);

}  // namespace sorvane::layout
