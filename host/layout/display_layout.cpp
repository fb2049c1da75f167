#include "host/layout/display_layout.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <tuple>

#include "common/text.h"

namespace sorvane::layout {

namespace {

using platform::DcPathInfo;
using platform::kInvalidModeIndex;

DisplayId target_of(const DcPathInfo& p) {
    return DisplayId{p.target_adapter.low, p.target_adapter.high, p.target_id};
}

bool same_ratio(const platform::DcRational& a, const platform::DcRational& b) {
    return static_cast<uint64_t>(a.numerator) * b.denominator == static_cast<uint64_t>(b.numerator) * a.denominator;
}

bool ignored(const DisplayInfo& d, const DiffOptions& o) {
    if (std::find(o.ignore_ids.begin(), o.ignore_ids.end(), d.id) != o.ignore_ids.end()) return true;
    const std::string path = ascii_lower(d.device_path);
    for (const auto& p : o.ignore_paths)
        if (!p.empty() && path.find(p) != std::string::npos) return true;
    return false;
}

bool peers_match(const Layout& before, const DisplayInfo& a, const Layout& after, const DisplayInfo& b, bool by_path) {
    if (a.mirror_peers.size() != b.mirror_peers.size()) return false;
    auto path_of = [](const Layout& l, const DisplayId& id) {
        for (const auto& d : l.displays)
            if (d.id == id) return d.device_path;
        return std::string();
    };
    for (const auto& pa : a.mirror_peers) {
        const std::string path_a = path_of(before, pa);
        const bool found = std::any_of(b.mirror_peers.begin(), b.mirror_peers.end(), [&](const DisplayId& pb) {
            const std::string path_b = path_of(after, pb);
            if (by_path && !path_a.empty() && !path_b.empty()) return ascii_lower(path_a) == ascii_lower(path_b);
            return pa == pb;
        });
        if (!found) return false;
    }
    return true;
}

}  // namespace

bool DisplayId::operator<(const DisplayId& o) const {
    return std::tie(luid_high, luid_low, target_id) < std::tie(o.luid_high, o.luid_low, o.target_id);
}

std::string display_id_text(const DisplayId& id) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%08" PRIx32 ":%08" PRIx32 "/%" PRIu32, static_cast<uint32_t>(id.luid_high), id.luid_low,
                  id.target_id);
    return buf;
}

std::string display_text(const DisplayInfo& d) { return d.gdi_name.empty() ? display_id_text(d.id) : d.gdi_name; }

std::string refresh_text(const platform::DcRational& r) {
    if (r.denominator == 0) return "?";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", static_cast<double>(r.numerator) / r.denominator);
    return buf;
}

bool DisplayConfig::query_layout(uint32_t flags, Layout& out, std::string& error) {
    out = Layout{};
    for (int attempt = 0; attempt < 4; ++attempt) {
        uint32_t np = 0, nm = 0;
        const int32_t rc = api_.buffer_sizes(flags, np, nm);
        if (rc != 0) {
            error = "GetDisplayConfigBufferSizes error " + std::to_string(rc);
            return false;
        }
        if (np == 0 && nm == 0) return true;
        const int32_t q = api_.query(flags, np, nm, out.paths, out.modes);
        if (q == 0) return true;
        if (q != platform::kDcErrorInsufficientBuffer) {
            error = "QueryDisplayConfig error " + std::to_string(q);
            out = Layout{};
            return false;
        }
    }
    out = Layout{};
    error = "QueryDisplayConfig kept returning ERROR_INSUFFICIENT_BUFFER";
    return false;
}

void derive_displays_unnamed(Layout& layout) {
    layout.displays.clear();
    for (const auto& p : layout.paths) {
        if ((p.flags & platform::kPathActive) == 0) continue;
        DisplayInfo d;
        d.id = target_of(p);
        d.source_id = p.source_id;
        if (p.source_mode_index != kInvalidModeIndex && p.source_mode_index < layout.modes.size()) {
            const auto& m = layout.modes[p.source_mode_index];
            d.x = m.x;
            d.y = m.y;
            d.width = m.width;
            d.height = m.height;
        }
        d.refresh = p.refresh;
        if (p.target_mode_index != kInvalidModeIndex && p.target_mode_index < layout.modes.size() &&
            layout.modes[p.target_mode_index].vsync.denominator != 0) {
            d.refresh = layout.modes[p.target_mode_index].vsync;
        }
        d.rotation = p.rotation;
        d.scaling = p.scaling;
        d.scan_line_order = p.scan_line_ordering;
        d.primary = d.x == 0 && d.y == 0 && d.width != 0;
        layout.displays.push_back(std::move(d));
    }
    // Mirror peers: other active paths that share the source.
    size_t i = 0;
    for (const auto& p : layout.paths) {
        if ((p.flags & platform::kPathActive) == 0) continue;
        auto& d = layout.displays[i++];
        for (const auto& q : layout.paths) {
            if ((q.flags & platform::kPathActive) == 0 || &q == &p) continue;
            if (q.source_adapter == p.source_adapter && q.source_id == p.source_id) {
                const DisplayId peer = target_of(q);
                if (peer == d.id) continue;
                if (std::find(d.mirror_peers.begin(), d.mirror_peers.end(), peer) == d.mirror_peers.end())
                    d.mirror_peers.push_back(peer);
            }
        }
        std::sort(d.mirror_peers.begin(), d.mirror_peers.end());
    }
}

void DisplayConfig::derive_displays(Layout& layout, bool with_names) {
    derive_displays_unnamed(layout);
    if (!with_names) return;
    size_t i = 0;
    for (const auto& p : layout.paths) {
        if ((p.flags & platform::kPathActive) == 0) continue;
        auto& d = layout.displays[i++];
        std::string name;
        if (api_.source_name(p.source_adapter, p.source_id, name) == 0) d.gdi_name = name;
        std::string path;
        if (api_.target_device_path(p.target_adapter, p.target_id, path) == 0) d.device_path = path;
    }
}

bool DisplayConfig::snapshot(bool with_names, Layout& out, std::string& error) {
    if (!query_layout(platform::kQdcOnlyActivePaths, out, error)) return false;
    derive_displays(out, with_names);
    return true;
}

int32_t DisplayConfig::apply_layout(const Layout& layout, ApplyMode mode, std::string& error) {
    uint32_t flags = platform::kSdcUseSuppliedDisplayConfig;
    flags |= mode == ApplyMode::validate ? platform::kSdcValidate : platform::kSdcApply;
    if (mode == ApplyMode::apply_and_save) flags |= platform::kSdcSaveToDatabase;
    const int32_t rc = api_.set(layout.paths, layout.modes, flags);
    if (rc != 0)
        error = std::string(mode == ApplyMode::validate ? "SetDisplayConfig(VALIDATE)" : "SetDisplayConfig(APPLY)") +
                " error " + std::to_string(rc);
    return rc;
}

std::string DisplayConfig::target_device_path(const DisplayId& id) {
    std::string out;
    if (api_.target_device_path(platform::DcLuid{id.luid_low, id.luid_high}, id.target_id, out) != 0) return {};
    return out;
}

bool DisplayConfig::check_input_desktop(std::string& error) {
    std::string name;
    const int32_t rc = api_.input_desktop_name(name);
    if (rc != 0) {
        error = "input desktop cannot be opened (OpenInputDesktop error " + std::to_string(rc) +
                ": lock screen, a permission prompt or another session)";
        return false;
    }
    if (name != "Default") {
        error = "input desktop is \"" + name + "\" (lock screen, a permission prompt or setup)";
        return false;
    }
    Layout current;
    std::string qerr;
    if (!query_layout(platform::kQdcOnlyActivePaths, current, qerr)) {
        const std::string tail = " error 5";
        if (qerr.size() >= tail.size() && qerr.compare(qerr.size() - tail.size(), tail.size(), tail) == 0) {
            error = "QueryDisplayConfig access denied (" + qerr + ")";
            return false;
        }
        return true;
    }
    if (!current.paths.empty()) {
        std::string verr;
        if (apply_layout(current, ApplyMode::validate, verr) == platform::kDcErrorAccessDenied) {
            error = "SetDisplayConfig(VALIDATE) of the current layout: error 5 (ERROR_ACCESS_DENIED)";
            return false;
        }
    }
    return true;
}

Layout without_displays(const Layout& layout, const std::vector<DisplayId>& ids) {
    Layout out;
    std::vector<uint32_t> remap(layout.modes.size(), kInvalidModeIndex);
    auto take = [&](uint32_t index) {
        if (index == kInvalidModeIndex || index >= layout.modes.size()) return index;
        if (remap[index] == kInvalidModeIndex) {
            remap[index] = static_cast<uint32_t>(out.modes.size());
            out.modes.push_back(layout.modes[index]);
        }
        return remap[index];
    };
    for (auto p : layout.paths) {
        // The whole id: the same target id on another adapter is another display.
        if (std::find(ids.begin(), ids.end(), target_of(p)) != ids.end()) continue;
        p.source_mode_index = take(p.source_mode_index);
        p.target_mode_index = take(p.target_mode_index);
        out.paths.push_back(p);
    }
    derive_displays_unnamed(out);
    for (auto& d : out.displays)
        for (const auto& s : layout.displays)
            if (s.id == d.id) {
                d.gdi_name = s.gdi_name;
                d.device_path = s.device_path;
                break;
            }
    return out;
}

std::optional<DisplayInfo> find_display(const Layout& layout, const DisplayInfo& display, bool match_by_path) {
    for (const auto& d : layout.displays) {
        if (match_by_path && !d.device_path.empty() && !display.device_path.empty()) {
            if (ascii_lower(d.device_path) == ascii_lower(display.device_path)) return d;
        } else if (d.id == display.id) {
            return d;
        }
    }
    return std::nullopt;
}

std::vector<std::string> describe_changes(const Layout& before, const Layout& after, const DiffOptions& options) {
    std::vector<std::string> lines;
    auto num = [](int64_t v) { return std::to_string(v); };
    for (const auto& b : before.displays) {
        if (ignored(b, options)) continue;
        const std::string name = display_text(b);
        const auto a = find_display(after, b, options.match_by_path);
        if (!a) {
            lines.push_back(name + ": display disappeared (was " + num(b.width) + "x" + num(b.height) + " at " + num(b.x) +
                            "," + num(b.y) + ")");
            continue;
        }
        if (a->x != b.x || a->y != b.y)
            lines.push_back(name + ": position (" + num(b.x) + "," + num(b.y) + ") -> (" + num(a->x) + "," + num(a->y) + ")");
        if (a->width != b.width || a->height != b.height)
            lines.push_back(name + ": size " + num(b.width) + "x" + num(b.height) + " -> " + num(a->width) + "x" +
                            num(a->height));
        if (!same_ratio(a->refresh, b.refresh))
            lines.push_back(name + ": refresh " + refresh_text(b.refresh) + " -> " + refresh_text(a->refresh));
        if (a->rotation != b.rotation) lines.push_back(name + ": rotation " + num(b.rotation) + " -> " + num(a->rotation));
        if (a->scaling != b.scaling) lines.push_back(name + ": scaling " + num(b.scaling) + " -> " + num(a->scaling));
        if (a->scan_line_order != b.scan_line_order)
            lines.push_back(name + ": scan-line order " + num(b.scan_line_order) + " -> " + num(a->scan_line_order));
        if (a->primary != b.primary) lines.push_back(name + (a->primary ? ": became primary" : ": is no longer primary"));
        if (!peers_match(before, b, after, *a, options.match_by_path))
            lines.push_back(name + ": mirror group changed (" + num(static_cast<int64_t>(b.mirror_peers.size())) + " -> " +
                            num(static_cast<int64_t>(a->mirror_peers.size())) + " peers)");
    }
    for (const auto& a : after.displays) {
        if (ignored(a, options)) continue;
        if (!find_display(before, a, options.match_by_path)) lines.push_back(display_text(a) + ": display appeared");
    }
    return lines;
}

std::string layout_text(const Layout& layout) {
    std::string out;
    for (const auto& d : layout.displays) {
        char buf[160];
        std::snprintf(buf, sizeof buf, "%s %" PRIu32 "x%" PRIu32 "@%s at (%" PRId32 ",%" PRId32 ") rot %" PRIu32 "%s",
                      display_id_text(d.id).c_str(), d.width, d.height, refresh_text(d.refresh).c_str(), d.x, d.y,
                      d.rotation, d.primary ? " primary" : "");
        out += buf;
        if (!d.gdi_name.empty()) out += " " + d.gdi_name;
        if (!d.mirror_peers.empty()) out += " mirrored";
        out += "\n";
    }
    return out;
}

}  // namespace sorvane::layout
