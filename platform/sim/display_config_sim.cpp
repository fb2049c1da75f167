#include "platform/sim/display_config_sim.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace sorvane::sim {

namespace {

using platform::DcLuid;
using platform::DcModeInfo;
using platform::DcPathInfo;

DcLuid to_dc(const SimLuid& l) { return DcLuid{l.low, static_cast<int32_t>(l.high)}; }
SimLuid from_dc(const DcLuid& l) { return SimLuid{static_cast<uint32_t>(l.high), l.low}; }

uint32_t rotation_code(uint32_t degrees) {
    switch (degrees) {
        case 90: return 2;
        case 180: return 3;
        case 270: return 4;
        default: return 1;
    }
}

uint32_t rotation_degrees(uint32_t code) {
    switch (code) {
        case 2: return 90;
        case 3: return 180;
        case 4: return 270;
        default: return 0;
    }
}

uint32_t sources_of(const DisplayModel& d, const SimLuid& adapter) {
    uint32_t n = 0;
    for (const auto& t : d.targets)
        if (t.adapter == adapter) ++n;
    return std::max<uint32_t>(n, 1);
}

DcModeInfo source_mode(const SimTarget& t) {
    DcModeInfo m;
    m.info_type = platform::kModeInfoSource;
    m.id = t.source;
    m.adapter = to_dc(t.adapter);
    m.width = DisplayModel::path_width(t);
    m.height = DisplayModel::path_height(t);
    m.pixel_format = 4;
    m.x = t.x;
    m.y = t.y;
    return m;
}

DcModeInfo target_mode(const SimTarget& t) {
    DcModeInfo m;
    m.info_type = platform::kModeInfoTarget;
    m.id = t.id;
    m.adapter = to_dc(t.adapter);
    m.pixel_rate = static_cast<uint64_t>(t.mode.refresh) * t.mode.width * t.mode.height;
    m.hsync = {t.mode.refresh * t.mode.height, 1};
    m.vsync = {t.mode.refresh, 1};
    m.active_width = m.total_width = t.mode.width;
    m.active_height = m.total_height = t.mode.height;
    m.video_standard = 255;
    m.vsync_divider = 1;
    m.scan_line_ordering = 1;
    return m;
}

void active_config(const DisplayModel& d, std::vector<DcPathInfo>& paths, std::vector<DcModeInfo>& modes) {
    for (const auto& t : d.targets) {
        if (!t.active) continue;
        DcPathInfo p;
        p.source_adapter = to_dc(t.adapter);
        p.source_id = t.source;
        p.target_adapter = to_dc(t.adapter);
        p.target_id = t.id;
        p.output_technology = t.indirect ? 0xFFFFFFFFu : 5;  // other, or DisplayPort external
        p.rotation = rotation_code(t.rotation);
        p.refresh = {t.mode.refresh, 1};
        p.target_available = true;
        p.flags = platform::kPathActive;
        const DcModeInfo sm = source_mode(t);
        const auto shared = std::find_if(modes.begin(), modes.end(), [&](const DcModeInfo& m) {
            return m.info_type == platform::kModeInfoSource && m.adapter == sm.adapter && m.id == sm.id;
        });
        if (shared != modes.end()) {
            p.source_mode_index = static_cast<uint32_t>(shared - modes.begin());
        } else {
            p.source_mode_index = static_cast<uint32_t>(modes.size());
            modes.push_back(sm);
        }
        p.target_mode_index = static_cast<uint32_t>(modes.size());
        modes.push_back(target_mode(t));
        paths.push_back(p);
    }
}

void all_config(const DisplayModel& d, std::vector<DcPathInfo>& paths, std::vector<DcModeInfo>& modes) {
    active_config(d, paths, modes);
    for (const auto& t : d.targets) {
        const uint32_t n = sources_of(d, t.adapter);
        for (uint32_t s = 0; s < n; ++s) {
            if (t.active && t.source == s) continue;
            DcPathInfo p;
            p.source_adapter = to_dc(t.adapter);
            p.source_id = s;
            p.target_adapter = to_dc(t.adapter);
            p.target_id = t.id;
            p.output_technology = t.indirect ? 0xFFFFFFFFu : 5;
            p.target_available = !t.modes.empty();
            paths.push_back(p);
        }
    }
}

struct Placed {
    SimTarget* target = nullptr;
    uint32_t source = 0;
    DisplayMode mode;
    uint32_t rotation = 0;
    std::optional<std::pair<int32_t, int32_t>> position;
};

bool supports(const SimTarget& t, const DisplayMode& m) {
    return std::find(t.modes.begin(), t.modes.end(), m) != t.modes.end();
}

uint32_t rounded_refresh(const platform::DcRational& r) {
    return r.denominator == 0 ? 0 : (r.numerator + r.denominator / 2) / r.denominator;
}

// Windows' checks and its choices for what the caller left open. Returns the
// Win32 code; 0 with placed filled in.
int32_t plan(DisplayModel& d, const std::vector<DcPathInfo>& paths, const std::vector<DcModeInfo>& modes,
             std::vector<Placed>& placed) {
    for (const auto& p : paths) {
        if ((p.flags & platform::kPathActive) == 0) continue;
        if (!(p.source_adapter == p.target_adapter)) return platform::kDcErrorInvalidParameter;
        SimTarget* t = d.find_target(from_dc(p.target_adapter), p.target_id);
        if (t == nullptr || t->modes.empty()) return platform::kDcErrorInvalidParameter;
        if (std::any_of(placed.begin(), placed.end(), [&](const Placed& q) { return q.target == t; }))
            return platform::kDcErrorInvalidParameter;
        if (p.source_id >= sources_of(d, t->adapter)) return platform::kDcErrorInvalidParameter;
        Placed q;
        q.target = t;
        q.source = p.source_id;
        q.rotation = rotation_degrees(p.rotation);
        const DcModeInfo* sm = nullptr;
        const DcModeInfo* tm = nullptr;
        if (p.source_mode_index != platform::kInvalidModeIndex) {
            if (p.source_mode_index >= modes.size()) return platform::kDcErrorInvalidParameter;
            sm = &modes[p.source_mode_index];
            if (sm->info_type != platform::kModeInfoSource || sm->id != p.source_id || !(sm->adapter == p.source_adapter))
                return platform::kDcErrorInvalidParameter;
        }
        if (p.target_mode_index != platform::kInvalidModeIndex) {
            if (p.target_mode_index >= modes.size()) return platform::kDcErrorInvalidParameter;
            tm = &modes[p.target_mode_index];
            if (tm->info_type != platform::kModeInfoTarget || tm->id != p.target_id || !(tm->adapter == p.target_adapter))
                return platform::kDcErrorInvalidParameter;
        }
        const bool turned = q.rotation == 90 || q.rotation == 270;
        if (tm != nullptr) {
            q.mode = {tm->active_width, tm->active_height, rounded_refresh(tm->vsync)};
        } else if (sm != nullptr) {
            q.mode = {turned ? sm->height : sm->width, turned ? sm->width : sm->height, rounded_refresh(p.refresh)};
            if (q.mode.refresh == 0) {
                for (const auto& m : t->modes)
                    if (m.width == q.mode.width && m.height == q.mode.height) {
                        q.mode.refresh = m.refresh;
                        break;
                    }
            }
        } else {
            // Windows chooses: the mode it remembers, else the preferred one.
            q.mode = t->modes.front();
            for (const auto& r : d.persistence)
                if (!t->monitor_key.empty() && r.monitor_key == t->monitor_key && supports(*t, r.mode)) {
                    q.mode = r.mode;
                    q.rotation = r.rotation;
                    q.position = std::make_pair(r.x, r.y);
                }
        }
        if (!supports(*t, q.mode)) return platform::kDcErrorGenFailure;
        if (sm != nullptr) {
            const uint32_t w = turned ? q.mode.height : q.mode.width;
            const uint32_t h = turned ? q.mode.width : q.mode.height;
            if (sm->width != w || sm->height != h) return platform::kDcErrorInvalidParameter;
            q.position = std::make_pair(sm->x, sm->y);
        }
        placed.push_back(q);
    }
    if (placed.empty()) return platform::kDcErrorInvalidParameter;
    // Clones share a source: same mode, same place.
    for (auto& a : placed)
        for (auto& b : placed)
            if (&a != &b && a.target->adapter == b.target->adapter && a.source == b.source) {
                if (!(a.mode == b.mode) || a.rotation != b.rotation) return platform::kDcErrorInvalidParameter;
                if (!a.position && b.position) a.position = b.position;
            }
    // Paths without a place go to the right edge of the placed ones.
    for (auto& q : placed) {
        if (q.position) continue;
        int64_t right = 0;
        for (const auto& o : placed) {
            if (!o.position) continue;
            const bool turned = o.rotation == 90 || o.rotation == 270;
            right = std::max<int64_t>(right, o.position->first + static_cast<int64_t>(turned ? o.mode.height : o.mode.width));
        }
        q.position = std::make_pair(static_cast<int32_t>(right), 0);
        for (auto& o : placed)
            if (&o != &q && !o.position && o.target->adapter == q.target->adapter && o.source == q.source) o.position = q.position;
    }
    // An impossible desktop: overlapping surfaces, or none at (0,0).
    bool origin = false;
    for (size_t i = 0; i < placed.size(); ++i) {
        const auto& a = placed[i];
        const bool ta = a.rotation == 90 || a.rotation == 270;
        const int64_t aw = ta ? a.mode.height : a.mode.width, ah = ta ? a.mode.width : a.mode.height;
        if (a.position->first == 0 && a.position->second == 0) origin = true;
        for (size_t j = i + 1; j < placed.size(); ++j) {
            const auto& b = placed[j];
            if (a.target->adapter == b.target->adapter && a.source == b.source) continue;
            const bool tb = b.rotation == 90 || b.rotation == 270;
            const int64_t bw = tb ? b.mode.height : b.mode.width, bh = tb ? b.mode.width : b.mode.height;
            if (a.position->first < b.position->first + bw && b.position->first < a.position->first + aw &&
                a.position->second < b.position->second + bh && b.position->second < a.position->second + ah)
                return platform::kDcErrorInvalidParameter;
        }
    }
    return origin ? 0 : platform::kDcErrorInvalidParameter;
}

class SimDisplayConfig final : public platform::IDisplayConfigApi {
public:
    explicit SimDisplayConfig(std::shared_ptr<Machine> m) : machine_(std::move(m)) {}

    int32_t buffer_sizes(uint32_t flags, uint32_t& path_count, uint32_t& mode_count) override {
        int32_t rc = 0;
        const bool ok = machine_->update("GetDisplayConfigBufferSizes", [&](MachineState& s) {
            rc = static_cast<int32_t>(s.fault("display.buffer_sizes"));
            if (rc != 0) return;
            std::vector<DcPathInfo> paths;
            std::vector<DcModeInfo> modes;
            if (flags == platform::kQdcAllPaths) all_config(s.display, paths, modes);
            else if (flags == platform::kQdcOnlyActivePaths) active_config(s.display, paths, modes);
            else rc = platform::kDcErrorInvalidParameter;
            path_count = static_cast<uint32_t>(paths.size());
            mode_count = static_cast<uint32_t>(modes.size());
        });
        return ok ? rc : platform::kDcErrorGenFailure;
    }

    int32_t query(uint32_t flags, uint32_t path_capacity, uint32_t mode_capacity, std::vector<DcPathInfo>& paths,
                  std::vector<DcModeInfo>& modes) override {
        int32_t rc = 0;
        paths.clear();
        modes.clear();
        const bool ok = machine_->update("QueryDisplayConfig", [&](MachineState& s) {
            rc = static_cast<int32_t>(s.fault("display.query_config"));
            if (rc != 0) return;
            if (flags == platform::kQdcAllPaths) all_config(s.display, paths, modes);
            else if (flags == platform::kQdcOnlyActivePaths) active_config(s.display, paths, modes);
            else rc = platform::kDcErrorInvalidParameter;
            if (rc == 0 && (paths.size() > path_capacity || modes.size() > mode_capacity))
                rc = platform::kDcErrorInsufficientBuffer;
        });
        if (!ok) rc = platform::kDcErrorGenFailure;
        if (rc != 0) {
            paths.clear();
            modes.clear();
        }
        return rc;
    }

    int32_t set(const std::vector<DcPathInfo>& paths, const std::vector<DcModeInfo>& modes, uint32_t flags) override {
        const bool validate = (flags & platform::kSdcValidate) != 0;
        const bool apply = (flags & platform::kSdcApply) != 0;
        if ((flags & platform::kSdcUseSuppliedDisplayConfig) == 0 || validate == apply)
            return platform::kDcErrorInvalidParameter;
        int32_t rc = 0;
        const bool ok = machine_->update(validate ? "SetDisplayConfig validate" : "SetDisplayConfig apply",
                                         [&](MachineState& s) {
            rc = static_cast<int32_t>(s.fault("display.set_config"));
            if (rc != 0) return;
            DisplayModel& d = s.display;
            std::vector<Placed> placed;
            rc = plan(d, paths, modes, placed);
            if (rc != 0 || validate) return;
            const bool drift = s.fault("display.apply_drift") != 0;
            std::vector<SimTarget> before = d.targets;
            for (auto& t : d.targets) {
                t.active = false;
                t.primary = false;
            }
            for (const auto& q : placed) {
                SimTarget& t = *q.target;
                t.active = true;
                t.source = q.source;
                t.mode = q.mode;
                t.rotation = q.rotation;
                t.x = q.position->first;
                t.y = q.position->second;
                t.primary = t.x == 0 && t.y == 0;
            }
            if (drift) {
                for (auto& t : d.targets) {
                    if (!t.active || t.primary) continue;
                    const auto old = std::find_if(before.begin(), before.end(), [&](const SimTarget& b) {
                        return b.adapter == t.adapter && b.id == t.id;
                    });
                    if (old != before.end() && old->active) t.y += 8;
                }
            }
            if ((flags & platform::kSdcSaveToDatabase) != 0) {
                for (const auto& t : d.targets) {
                    if (!t.active || t.monitor_key.empty()) continue;
                    RememberedPosition p{t.monitor_key, t.x, t.y, t.mode, t.rotation};
                    const auto r = std::find_if(d.persistence.begin(), d.persistence.end(),
                                                [&](const RememberedPosition& x) { return x.monitor_key == t.monitor_key; });
                    if (r != d.persistence.end()) *r = p;
                    else d.persistence.push_back(p);
                }
            }
        });
        return ok ? rc : platform::kDcErrorGenFailure;
    }

    int32_t source_name(const DcLuid& adapter, uint32_t source_id, std::string& out) override {
        int32_t rc = platform::kDcErrorInvalidParameter;
        machine_->read([&](const MachineState& s) {
            if (s.display.find_gpu(from_dc(adapter)) == nullptr || source_id >= sources_of(s.display, from_dc(adapter))) return;
            out = source_gdi_name(s.display, from_dc(adapter), source_id);
            rc = 0;
        });
        return rc;
    }

    int32_t target_device_path(const DcLuid& adapter, uint32_t target_id, std::string& out) override {
        int32_t rc = platform::kDcErrorInvalidParameter;
        machine_->read([&](const MachineState& s) {
            const SimTarget* t = s.display.find_target(from_dc(adapter), target_id);
            if (t == nullptr) return;
            out = monitor_device_path(t->device);
            rc = 0;
        });
        return rc;
    }

    int32_t input_desktop_name(std::string& out) override {
        int32_t rc = 0;
        if (!machine_->read([&](const MachineState& s) { out = s.display.input_desktop; })) rc = platform::kDcErrorGenFailure;
        return rc;
    }

private:
    std::shared_ptr<Machine> machine_;
};

}  // namespace

std::string monitor_device_path(const std::string& device) {
    std::string p = device;
    std::replace(p.begin(), p.end(), '\\', '#');
    return "\\\\?\\" + p + "#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}";
}

std::string source_gdi_name(const DisplayModel& display, const SimLuid& adapter, uint32_t source) {
    uint32_t before = 0;
    for (const auto& g : display.gpus) {
        if (g.luid == adapter) break;
        if (std::any_of(display.targets.begin(), display.targets.end(), [&](const SimTarget& t) { return t.adapter == g.luid; }))
            before += sources_of(display, g.luid);
    }
    return "\\\\.\\DISPLAY" + std::to_string(before + source + 1);
}

std::unique_ptr<platform::IDisplayConfigApi> make_sim_display_config(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimDisplayConfig>(std::move(machine));
}

}  // namespace sorvane::sim
