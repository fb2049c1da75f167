#include "host/layout/placement.h"

#include <algorithm>
#include <map>

#include "common/text.h"

namespace sorvane::layout {

namespace {

using platform::kInvalidModeIndex;

constexpr uint32_t kPollMs = 50;

struct Rect {
    int64_t x, y, w, h;
};

Rect rect_of(const DisplayInfo& d) { return Rect{d.x, d.y, d.width, d.height}; }

bool intersects(const Rect& a, const Rect& b) {
    return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

const DisplayInfo* display_by_id(const Layout& l, const DisplayId& id) {
    for (const auto& d : l.displays)
        if (d.id == id) return &d;
    return nullptr;
}

bool has_target(const Layout& all, const DisplayId& target) {
    return std::any_of(all.paths.begin(), all.paths.end(), [&](const platform::DcPathInfo& p) {
        return p.target_adapter.low == target.luid_low && p.target_adapter.high == target.luid_high &&
               p.target_id == target.target_id;
    });
}

std::string issues_note(const std::vector<std::string>& issues) {
    std::string note = "K10:";
    for (const auto& i : issues) note += " " + i + ";";
    return note;
}

}  // namespace

std::string saved_position_text(const SavedPosition& p) {
    std::string anchor = p.anchor;
    const size_t first = anchor.find('#');
    if (first != std::string::npos) {
        const size_t next = anchor.find('#', first + 1);
        anchor = anchor.substr(first + 1, next == std::string::npos ? std::string::npos : next - first - 1);
    }
    const char* side = p.side == 'L' ? "solunda" : p.side == 'R' ? "saginda" : p.side == 'T' ? "ustunde"
                     : p.side == 'B' ? "altinda" : "?";
    return anchor + " (capanin " + side + "), kaydirma " + std::to_string(p.offset);
}

std::vector<std::string> Placement::check_compliance(const Layout& base, const Layout& final, const DisplayId& target,
                                                     const TargetMode& mode) {
    DiffOptions options;
    options.ignore_ids = {target};
    std::vector<std::string> issues = describe_changes(base, final, options);
    const DisplayInfo* ours = display_by_id(final, target);
    if (ours == nullptr) {
        issues.push_back("our display is not active after the add");
        return issues;
    }
    if (!ours->mirror_peers.empty()) issues.push_back("our display is mirrored (duplicate mode), must be extended");
    if (ours->primary && !base.displays.empty()) issues.push_back("our display became the primary display");
    if (ours->width != mode.width || ours->height != mode.height)
        issues.push_back("our display is " + std::to_string(ours->width) + "x" + std::to_string(ours->height) +
                         ", expected " + std::to_string(mode.width) + "x" + std::to_string(mode.height));
    if (ours->refresh.denominator != 0) {
        const double r = static_cast<double>(ours->refresh.numerator) / ours->refresh.denominator;
        if (r < static_cast<double>(mode.refresh) - 1.0 || r > static_cast<double>(mode.refresh) + 1.0)
            issues.push_back("our display refresh is " + refresh_text(ours->refresh) + ", expected " +
                             std::to_string(mode.refresh));
    }
    for (const auto& d : final.displays)
        if (!(d.id == target) && intersects(rect_of(d), rect_of(*ours))) issues.push_back("our display overlaps " + display_text(d));
    return issues;
}

bool Placement::build_added(const Layout& base, const Layout& all_paths, const DisplayId& target, const TargetMode& mode,
                            bool explicit_modes, std::optional<std::pair<int32_t, int32_t>> position, Layout& out,
                            std::string& error) {
    if (mode.width == 0 || mode.height == 0 || mode.refresh == 0) {
        error = "empty mode";
        return false;
    }
    if (display_by_id(base, target) != nullptr) {
        error = "target is already active in the base layout";
        return false;
    }
    std::vector<uint32_t> used;
    for (const auto& p : base.paths)
        if ((p.flags & platform::kPathActive) != 0 && p.source_adapter.low == target.luid_low &&
            p.source_adapter.high == target.luid_high)
            used.push_back(p.source_id);
    const platform::DcPathInfo* pick = nullptr;
    for (const auto& p : all_paths.paths) {
        if (!(p.target_adapter.low == target.luid_low && p.target_adapter.high == target.luid_high &&
              p.target_id == target.target_id))
            continue;
        if (std::find(used.begin(), used.end(), p.source_id) != used.end()) continue;
        if (pick == nullptr || p.source_id < pick->source_id) pick = &p;
    }
    if (pick == nullptr) {
        error = "no free source for the target in the ALL_PATHS view (target missing or all sources used)";
        return false;
    }
    platform::DcPathInfo path = *pick;
    path.source_mode_index = kInvalidModeIndex;
    path.target_mode_index = kInvalidModeIndex;
    path.rotation = 1;
    path.scaling = 1;
    path.refresh = {mode.refresh, 1};
    path.scan_line_ordering = 1;
    path.target_available = true;
    path.flags = platform::kPathActive;
    out = base;
    if (explicit_modes) {
        int64_t right = 0;
        for (const auto& d : base.displays) right = std::max<int64_t>(right, d.x + static_cast<int64_t>(d.width));
        platform::DcModeInfo source;
        source.info_type = platform::kModeInfoSource;
        source.id = path.source_id;
        source.adapter = path.source_adapter;
        source.width = mode.width;
        source.height = mode.height;
        source.pixel_format = 4;
        source.x = position ? position->first : static_cast<int32_t>(right);
        source.y = position ? position->second : 0;
        platform::DcModeInfo target_mode;
        target_mode.info_type = platform::kModeInfoTarget;
        target_mode.id = path.target_id;
        target_mode.adapter = path.target_adapter;
        target_mode.pixel_rate = static_cast<uint64_t>(mode.refresh) * mode.width * mode.height;
        target_mode.hsync = {mode.refresh * mode.height, 1};
        target_mode.vsync = {mode.refresh, 1};
        target_mode.active_width = target_mode.total_width = mode.width;
        target_mode.active_height = target_mode.total_height = mode.height;
        target_mode.video_standard = 255;
        target_mode.vsync_divider = 1;
        target_mode.scan_line_ordering = 1;
        path.source_mode_index = static_cast<uint32_t>(out.modes.size());
        out.modes.push_back(source);
        path.target_mode_index = static_cast<uint32_t>(out.modes.size());
        out.modes.push_back(target_mode);
    }
    out.paths.push_back(path);
    const std::vector<DisplayInfo> named = base.displays;
    derive_displays_unnamed(out);
    for (auto& d : out.displays)
        if (const DisplayInfo* n = display_by_id(base, d.id)) {
            d.gdi_name = n->gdi_name;
            d.device_path = n->device_path;
        }
    return true;
}

AddResult Placement::add_extended(const DisplayId& target, const TargetMode& mode, uint32_t timeout_ms,
                                  const std::optional<Layout>& given_base,
                                  std::optional<std::pair<int32_t, int32_t>> position) {
    AddResult r;
    const uint64_t start = clock_.now_ms();
    Layout current;
    if (!config_.snapshot(false, current, r.error)) return r;
    r.base = without_displays(given_base ? *given_base : current, {target});
    const Layout& base = r.base;

    Layout all;
    for (;;) {
        std::string qerr;
        const bool queried = config_.query_layout(platform::kQdcAllPaths, all, qerr);
        r.waited_ms = static_cast<uint32_t>(clock_.now_ms() - start);
        if (queried && has_target(all, target)) break;
        if (r.waited_ms >= timeout_ms) {
            r.error = "target did not appear within " + std::to_string(timeout_ms) + " ms";
            return r;
        }
        clock_.sleep_ms(kPollMs);
    }

    auto apply_check = [&](const Layout& config, std::string& error) {
        if (config_.apply_layout(config, ApplyMode::apply_and_save, error) != 0) return false;
        if (!config_.snapshot(false, r.final, error)) return false;
        r.issues = check_compliance(base, r.final, target, mode);
        return true;
    };

    bool saved_not_compliant = false;
    if (position) {
        Layout config;
        std::string err;
        if (!build_added(base, all, target, mode, true, position, config, err) ||
            config_.apply_layout(config, ApplyMode::validate, err) != 0 || !apply_check(config, err)) {
            r.saved_note = err;
        } else if (r.issues.empty()) {
            r.ok = true;
            r.placed_at_saved = true;
            return r;
        } else {
            r.saved_note = issues_note(r.issues);
            saved_not_compliant = true;
        }
    }

    for (const bool explicit_modes : {true, false}) {
        Layout config;
        std::string err;
        if (!build_added(base, all, target, mode, explicit_modes, std::nullopt, config, err)) {
            r.error = err;
            return r;
        }
        if (config_.apply_layout(config, ApplyMode::validate, err) != 0) {
            r.error = err;
            continue;
        }
        for (;;) {
            if (!apply_check(config, err)) {
                r.error = err;
                std::string ignored;
                config_.apply_layout(base, ApplyMode::apply, ignored);
                return r;
            }
            if (r.issues.empty()) {
                r.ok = true;
                r.error.clear();
                return r;
            }
            ++r.repairs;
            if (r.repairs >= 2) break;
        }
        std::string ignored;
        config_.apply_layout(base, ApplyMode::apply, ignored);
        // Whatever an earlier attempt left in error is superseded by this outcome.
        r.error = "layout not compliant after " + std::to_string(r.repairs) + " repair attempt(s); previous layout restored";
        return r;
    }
    if (saved_not_compliant) {
        std::string ignored;
        config_.apply_layout(base, ApplyMode::apply, ignored);
    }
    return r;
}

bool record_position(const Layout& layout, const DisplayId& our, SavedPosition& out) {
    const DisplayInfo* me = display_by_id(layout, our);
    if (me == nullptr) return false;
    const Rect m = rect_of(*me);
    const DisplayInfo* best = nullptr;
    int64_t best_overlap = 0;
    bool best_primary = false;
    SavedPosition best_record;
    for (const auto& d : layout.displays) {
        if (d.id == our || d.device_path.empty()) continue;
        const Rect o = rect_of(d);
        const int64_t vertical = std::min(m.y + m.h, o.y + o.h) - std::max(m.y, o.y);
        const int64_t horizontal = std::min(m.x + m.w, o.x + o.w) - std::max(m.x, o.x);
        SavedPosition rec;
        rec.anchor = d.device_path;
        int64_t overlap = 0;
        if (o.x == m.x + m.w && vertical > 0) {
            rec.side = 'L', rec.offset = static_cast<int32_t>(m.y - o.y), overlap = vertical;
        } else if (o.x + o.w == m.x && vertical > 0) {
            rec.side = 'R', rec.offset = static_cast<int32_t>(m.y - o.y), overlap = vertical;
        } else if (o.y == m.y + m.h && horizontal > 0) {
            rec.side = 'T', rec.offset = static_cast<int32_t>(m.x - o.x), overlap = horizontal;
        } else if (o.y + o.h == m.y && horizontal > 0) {
            rec.side = 'B', rec.offset = static_cast<int32_t>(m.x - o.x), overlap = horizontal;
        } else {
            continue;
        }
        if (best_primary) continue;
        if (d.primary || best == nullptr || overlap > best_overlap) {
            best = &d;
            best_overlap = overlap;
            best_primary = d.primary;
            best_record = rec;
        }
    }
    if (best == nullptr) return false;
    out = best_record;
    return true;
}

bool resolve_position(const Layout& layout, const SavedPosition& record, uint32_t width, uint32_t height,
                      std::pair<int32_t, int32_t>& out, std::string& error) {
    if (width == 0 || height == 0) {
        error = "empty size";
        return false;
    }
    if (record.anchor.empty() || (record.side != 'L' && record.side != 'R' && record.side != 'T' && record.side != 'B')) {
        error = "invalid record";
        return false;
    }
    const DisplayInfo* anchor = nullptr;
    for (const auto& d : layout.displays)
        if (ascii_lower(d.device_path) == ascii_lower(record.anchor)) anchor = &d;
    if (anchor == nullptr) {
        error = "the anchor display is not active";
        return false;
    }
    const int64_t w = width, h = height, aw = anchor->width, ah = anchor->height;
    int64_t x = 0, y = 0;
    if (record.side == 'L' || record.side == 'R') {
        x = record.side == 'L' ? anchor->x - w : anchor->x + aw;
        y = anchor->y + std::clamp<int64_t>(record.offset, 1 - h, std::max<int64_t>(1 - h, ah - 1));
    } else {
        y = record.side == 'T' ? anchor->y - h : anchor->y + ah;
        x = anchor->x + std::clamp<int64_t>(record.offset, 1 - w, std::max<int64_t>(1 - w, aw - 1));
    }
    const Rect ours{x, y, w, h};
    for (const auto& d : layout.displays)
        if (intersects(rect_of(d), ours)) {
            error = "overlaps " + display_text(d);
            return false;
        }
    if (x == 0 && y == 0) {
        error = "would become the primary display (0,0)";
        return false;
    }
    out = {static_cast<int32_t>(x), static_cast<int32_t>(y)};
    return true;
}

Layout restore_layout(const Layout& saved, const std::vector<DisplayId>& current_ids,
                      const std::function<std::string(const DisplayId&)>& device_path_of,
                      std::vector<std::string>& notes) {
    std::map<std::string, DisplayId> by_path;
    std::vector<DisplayId> seen;
    for (const auto& id : current_ids) {
        if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;
        seen.push_back(id);
        const std::string p = device_path_of(id);
        if (!p.empty()) by_path[ascii_lower(p)] = id;
    }
    std::vector<DisplayId> dropped;
    std::vector<std::pair<DisplayId, DisplayId>> remapped;
    for (const auto& d : saved.displays) {
        const auto it = d.device_path.empty() ? by_path.end() : by_path.find(ascii_lower(d.device_path));
        if (it != by_path.end()) {
            if (!(it->second == d.id)) {
                remapped.emplace_back(d.id, it->second);
                notes.push_back("remapped: " + display_id_text(d.id) + " -> " + display_id_text(it->second));
            }
        } else if (std::find(seen.begin(), seen.end(), d.id) == seen.end()) {
            dropped.push_back(d.id);
            notes.push_back("dropped: " + display_text(d) + " no longer exists");
        }
    }
    Layout out = dropped.empty() ? saved : without_displays(saved, dropped);
    for (const auto& [from, to] : remapped) {
        const platform::DcLuid old_luid{from.luid_low, from.luid_high};
        const platform::DcLuid new_luid{to.luid_low, to.luid_high};
        for (auto& p : out.paths) {
            if (!(p.target_adapter == old_luid && p.target_id == from.target_id)) continue;
            p.target_adapter = new_luid;
            p.target_id = to.target_id;
            if (p.source_adapter == old_luid) p.source_adapter = new_luid;
            for (const uint32_t index : {p.source_mode_index, p.target_mode_index}) {
                if (index == kInvalidModeIndex || index >= out.modes.size()) continue;
                auto& m = out.modes[index];
                if (m.adapter == old_luid) m.adapter = new_luid;
                if (m.info_type == platform::kModeInfoTarget && m.id == from.target_id) m.id = to.target_id;
            }
        }
    }
    const std::vector<DisplayInfo> names = saved.displays;
    derive_displays_unnamed(out);
    for (auto& d : out.displays) {
        for (const auto& n : names) {
            const bool same = n.id == d.id || std::any_of(remapped.begin(), remapped.end(), [&](const auto& r) {
                return r.first == n.id && r.second == d.id;
            });
            if (same) {
                d.gdi_name = n.gdi_name;
                d.device_path = n.device_path;
                break;
            }
        }
    }
    return out;
}

}  // namespace sorvane::layout
