#include "platform/sim/display_model.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/text.h"
#include "platform/sim/registry_model.h"

namespace sorvane::sim {

namespace {

// LUIDs the machine hands to indirect display adapters, counted from here.
constexpr uint32_t kIndirectLuidBase = 0x0003F000;
constexpr uint32_t kGpuLuidBase = 0x00012A40;
constexpr uint32_t kPhysicalTargetBase = 0x1100;

bool parse_u32(std::string_view t, uint32_t& out) {
    if (t.empty() || t.size() > 10) return false;
    uint64_t v = 0;
    for (const char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parse_hex8(std::string_view t, uint32_t& out) { return t.size() == 8 && parse_hex_u32(t, out); }

Json mode_list_json(const std::vector<DisplayMode>& modes) {
    Json a = Json::array();
    for (const auto& m : modes) a.push(mode_string(m));
    return a;
}

bool read_mode(const Json& j, DisplayMode& out) { return j.is_string() && parse_mode_string(j.as_string(), out); }

void put_dtd(uint8_t* d, const DisplayMode& m, uint32_t width_mm, uint32_t height_mm) {
    const uint32_t hb = 160, vb = 35, hfp = 48, hsw = 32, vfp = 3, vsw = 5;
    const uint64_t clock = static_cast<uint64_t>(m.width + hb) * (m.height + vb) * m.refresh / 10000;
    const uint32_t c = static_cast<uint32_t>(std::min<uint64_t>(clock, 0xFFFF));
    d[0] = static_cast<uint8_t>(c & 0xFF);
    d[1] = static_cast<uint8_t>(c >> 8);
    d[2] = static_cast<uint8_t>(m.width & 0xFF);
    d[3] = static_cast<uint8_t>(hb & 0xFF);
    d[4] = static_cast<uint8_t>(((m.width >> 8) & 0xF) << 4 | ((hb >> 8) & 0xF));
    d[5] = static_cast<uint8_t>(m.height & 0xFF);
    d[6] = static_cast<uint8_t>(vb & 0xFF);
    d[7] = static_cast<uint8_t>(((m.height >> 8) & 0xF) << 4 | ((vb >> 8) & 0xF));
    d[8] = static_cast<uint8_t>(hfp);
    d[9] = static_cast<uint8_t>(hsw);
    d[10] = static_cast<uint8_t>((vfp & 0xF) << 4 | (vsw & 0xF));
    d[11] = 0;
    d[12] = static_cast<uint8_t>(width_mm & 0xFF);
    d[13] = static_cast<uint8_t>(height_mm & 0xFF);
    d[14] = static_cast<uint8_t>(((width_mm >> 8) & 0xF) << 4 | ((height_mm >> 8) & 0xF));
    d[17] = 0x1E;
}

}  // namespace

std::string luid_string(const SimLuid& luid) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%08" PRIx32 ":%08" PRIx32, luid.high, luid.low);
    return buf;
}

bool parse_luid_string(std::string_view t, SimLuid& out) {
    return t.size() == 17 && t[8] == ':' && parse_hex8(t.substr(0, 8), out.high) && parse_hex8(t.substr(9), out.low);
}

std::string mode_string(const DisplayMode& m) {
    return std::to_string(m.width) + "x" + std::to_string(m.height) + "@" + std::to_string(m.refresh);
}

bool parse_mode_string(std::string_view t, DisplayMode& out) {
    const size_t x = t.find('x');
    const size_t at = t.find('@');
    return x != std::string_view::npos && at != std::string_view::npos && x < at &&
           parse_u32(t.substr(0, x), out.width) && parse_u32(t.substr(x + 1, at - x - 1), out.height) &&
           parse_u32(t.substr(at + 1), out.refresh) && out.width > 0 && out.height > 0 && out.refresh > 0;
}

const SimGpu* DisplayModel::find_gpu(const SimLuid& luid) const {
    for (const auto& g : gpus)
        if (g.luid == luid) return &g;
    return nullptr;
}

SimTarget* DisplayModel::find_target(const SimLuid& adapter, uint32_t id) {
    for (auto& t : targets)
        if (t.adapter == adapter && t.id == id) return &t;
    return nullptr;
}

const SimTarget* DisplayModel::find_target(const SimLuid& adapter, uint32_t id) const {
    for (const auto& t : targets)
        if (t.adapter == adapter && t.id == id) return &t;
    return nullptr;
}

const SimGpu* DisplayModel::default_render_gpu() const {
    for (const auto& g : gpus)
        if (g.renders && !g.software && !g.indirect) return &g;
    return nullptr;
}

SimLuid DisplayModel::add_indirect_adapter(const std::string& name, uint32_t number) {
    SimLuid luid{0, kIndirectLuidBase + number};
    while (find_gpu(luid) != nullptr) ++luid.low;
    SimGpu g;
    g.luid = luid;
    g.name = name;
    g.renders = false;
    g.indirect = true;
    gpus.push_back(g);
    return luid;
}

void DisplayModel::remove_gpu(const SimLuid& luid) {
    gpus.erase(std::remove_if(gpus.begin(), gpus.end(), [&](const SimGpu& g) { return g.luid == luid; }), gpus.end());
    targets.erase(std::remove_if(targets.begin(), targets.end(), [&](const SimTarget& t) { return t.adapter == luid; }),
                  targets.end());
}

uint32_t DisplayModel::free_source(const SimLuid& adapter, uint32_t except_id) const {
    for (uint32_t source = 0;; ++source) {
        const bool used = std::any_of(targets.begin(), targets.end(), [&](const SimTarget& t) {
            return t.active && t.adapter == adapter && t.id != except_id && t.source == source;
        });
        if (!used) return source;
    }
}

uint32_t DisplayModel::path_width(const SimTarget& t) {
    return t.rotation == 90 || t.rotation == 270 ? t.mode.height : t.mode.width;
}

uint32_t DisplayModel::path_height(const SimTarget& t) {
    return t.rotation == 90 || t.rotation == 270 ? t.mode.width : t.mode.height;
}

SimTarget& DisplayModel::arrive(SimTarget target) {
    targets.erase(std::remove_if(targets.begin(), targets.end(),
                                 [&](const SimTarget& t) { return t.adapter == target.adapter && t.id == target.id; }),
                  targets.end());
    target.active = !target.modes.empty();
    target.mode = target.modes.empty() ? DisplayMode{} : target.modes.front();
    target.rotation = 0;
    target.primary = false;
    const auto remembered = std::find_if(persistence.begin(), persistence.end(), [&](const RememberedPosition& p) {
        return !target.monitor_key.empty() && p.monitor_key == target.monitor_key;
    });
    if (remembered != persistence.end()) {
        target.x = remembered->x;
        target.y = remembered->y;
        target.rotation = remembered->rotation;
        if (std::find(target.modes.begin(), target.modes.end(), remembered->mode) != target.modes.end())
            target.mode = remembered->mode;
    } else {
        int64_t right = 0;
        bool any = false;
        for (const auto& t : targets) {
            if (!t.active) continue;
            right = any ? std::max<int64_t>(right, t.x + static_cast<int64_t>(path_width(t)))
                        : t.x + static_cast<int64_t>(path_width(t));
            any = true;
        }
        target.x = static_cast<int32_t>(right);
        target.y = 0;
    }
    target.source = free_source(target.adapter, target.id);
    const bool has_primary = std::any_of(targets.begin(), targets.end(), [](const SimTarget& t) { return t.primary; });
    if (!has_primary && target.active) target.primary = true;
    const auto at = std::find_if(targets.begin(), targets.end(), [&](const SimTarget& t) {
        return t.adapter.high > target.adapter.high ||
               (t.adapter.high == target.adapter.high &&
                (t.adapter.low > target.adapter.low || (t.adapter.low == target.adapter.low && t.id > target.id)));
    });
    return *targets.insert(at, std::move(target));
}

bool DisplayModel::depart(const SimLuid& adapter, uint32_t id) {
    const auto it = std::find_if(targets.begin(), targets.end(),
                                 [&](const SimTarget& t) { return t.adapter == adapter && t.id == id; });
    if (it == targets.end()) return false;
    if (!it->monitor_key.empty() && it->active) {
        RememberedPosition p{it->monitor_key, it->x, it->y, it->mode, it->rotation};
        const auto old = std::find_if(persistence.begin(), persistence.end(),
                                      [&](const RememberedPosition& r) { return r.monitor_key == p.monitor_key; });
        if (old != persistence.end()) *old = p;
        else persistence.push_back(p);
    }
    targets.erase(it);
    return true;
}

Json DisplayModel::to_json() const {
    Json j = Json::object();
    Json g = Json::array();
    for (const auto& gpu : gpus) {
        Json o = Json::object();
        o["luid"] = luid_string(gpu.luid);
        o["vendor_id"] = gpu.vendor_id;
        o["device_id"] = gpu.device_id;
        o["name"] = gpu.name;
        o["renders"] = gpu.renders;
        o["software"] = gpu.software;
        o["indirect"] = gpu.indirect;
        if (gpu.low_power) o["low_power"] = true;
        g.push(std::move(o));
    }
    Json t = Json::array();
    for (const auto& target : targets) {
        Json o = Json::object();
        o["adapter"] = luid_string(target.adapter);
        o["id"] = target.id;
        o["indirect"] = target.indirect;
        o["device"] = target.device;
        o["monitor"] = target.monitor_name;
        o["monitor_key"] = target.monitor_key;
        o["modes"] = mode_list_json(target.modes);
        Json p = Json::object();
        p["active"] = target.active;
        p["x"] = static_cast<int64_t>(target.x);
        p["y"] = static_cast<int64_t>(target.y);
        p["mode"] = mode_string(target.mode);
        p["rotation"] = target.rotation;
        p["primary"] = target.primary;
        p["source"] = target.source;
        o["path"] = std::move(p);
        t.push(std::move(o));
    }
    Json r = Json::array();
    for (const auto& p : persistence) {
        Json o = Json::object();
        o["monitor_key"] = p.monitor_key;
        o["x"] = static_cast<int64_t>(p.x);
        o["y"] = static_cast<int64_t>(p.y);
        o["mode"] = mode_string(p.mode);
        o["rotation"] = p.rotation;
        r.push(std::move(o));
    }
    j["gpus"] = std::move(g);
    j["targets"] = std::move(t);
    j["persistence"] = std::move(r);
    if (input_desktop != "Default") j["input_desktop"] = input_desktop;
    return j;
}

bool DisplayModel::from_json(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "display: not an object";
        return false;
    }
    gpus.clear();
    targets.clear();
    persistence.clear();
    for (const auto& o : j.get("gpus").items()) {
        SimGpu g;
        if (!parse_luid_string(o.get("luid").as_string(), g.luid)) {
            error = "display: bad gpu luid";
            return false;
        }
        g.vendor_id = static_cast<uint32_t>(o.get("vendor_id").as_int());
        g.device_id = static_cast<uint32_t>(o.get("device_id").as_int());
        g.name = o.get("name").as_string();
        g.renders = o.get("renders").as_bool(true);
        g.software = o.get("software").as_bool();
        g.indirect = o.get("indirect").as_bool();
        g.low_power = o.get("low_power").as_bool();
        gpus.push_back(std::move(g));
    }
    for (const auto& o : j.get("targets").items()) {
        SimTarget t;
        if (!parse_luid_string(o.get("adapter").as_string(), t.adapter)) {
            error = "display: bad target adapter";
            return false;
        }
        t.id = static_cast<uint32_t>(o.get("id").as_int());
        t.indirect = o.get("indirect").as_bool();
        t.device = o.get("device").as_string();
        t.monitor_name = o.get("monitor").as_string();
        t.monitor_key = o.get("monitor_key").as_string();
        for (const auto& m : o.get("modes").items()) {
            DisplayMode mode;
            if (read_mode(m, mode)) t.modes.push_back(mode);
        }
        const Json& p = o.get("path");
        t.active = p.get("active").as_bool();
        t.x = static_cast<int32_t>(p.get("x").as_int());
        t.y = static_cast<int32_t>(p.get("y").as_int());
        read_mode(p.get("mode"), t.mode);
        t.rotation = static_cast<uint32_t>(p.get("rotation").as_int());
        t.primary = p.get("primary").as_bool();
        t.source = static_cast<uint32_t>(p.get("source").as_int());
        targets.push_back(std::move(t));
    }
    for (const auto& o : j.get("persistence").items()) {
        RememberedPosition p;
        p.monitor_key = o.get("monitor_key").as_string();
        p.x = static_cast<int32_t>(o.get("x").as_int());
        p.y = static_cast<int32_t>(o.get("y").as_int());
        read_mode(o.get("mode"), p.mode);
        p.rotation = static_cast<uint32_t>(o.get("rotation").as_int());
        persistence.push_back(std::move(p));
    }
    input_desktop = j.get("input_desktop").as_string();
    if (input_desktop.empty()) input_desktop = "Default";
    return true;
}

std::string monitor_parameters_key(const std::string& device) {
    return "SYSTEM\\CurrentControlSet\\Enum\\" + device + "\\Device Parameters";
}

std::vector<uint8_t> make_physical_edid(std::string_view maker, uint16_t product, uint32_t serial,
                                        std::string_view name, const DisplayMode& mode) {
    std::vector<uint8_t> e(128, 0);
    const uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(header, header + 8, e.begin());
    uint32_t id = 0;
    for (size_t i = 0; i < 3; ++i) id = id << 5 | (i < maker.size() ? static_cast<uint32_t>(maker[i] - 'A' + 1) & 0x1F : 0);
    e[8] = static_cast<uint8_t>(id >> 8);
    e[9] = static_cast<uint8_t>(id & 0xFF);
    e[10] = static_cast<uint8_t>(product & 0xFF);
    e[11] = static_cast<uint8_t>(product >> 8);
    for (int i = 0; i < 4; ++i) e[12 + i] = static_cast<uint8_t>(serial >> (8 * i));
    e[16] = 1;   // week
    e[17] = 34;  // 2024
    e[18] = 1;
    e[19] = 3;
    e[20] = 0x80;  // digital input
    const uint32_t width_mm = (mode.width * 254 + 550) / 1100;  // 110 pixels per inch
    const uint32_t height_mm = (mode.height * 254 + 550) / 1100;
    e[21] = static_cast<uint8_t>(std::min<uint32_t>(255, (width_mm + 5) / 10));
    e[22] = static_cast<uint8_t>(std::min<uint32_t>(255, (height_mm + 5) / 10));
    e[23] = 120;   // gamma 2.2
    e[24] = 0x0A;  // RGB colour, preferred timing in DTD 1
    for (int i = 38; i < 54; ++i) e[static_cast<size_t>(i)] = 1;  // no standard timings
    put_dtd(&e[54], mode, width_mm, height_mm);
    uint8_t* d = &e[72];
    d[3] = 0xFC;
    size_t k = 0;
    for (; k < name.size() && k < 13; ++k) d[5 + k] = static_cast<uint8_t>(name[k]);
    if (k < 13) d[5 + k++] = 0x0A;
    for (; k < 13; ++k) d[5 + k] = 0x20;
    e[90 + 3] = 0x10;   // dummy descriptors
    e[108 + 3] = 0x10;
    uint32_t sum = 0;
    for (size_t i = 0; i < 127; ++i) sum += e[i];
    e[127] = static_cast<uint8_t>((256 - sum % 256) % 256);
    return e;
}

std::string edid_monitor_name(const std::vector<uint8_t>& edid) {
    if (edid.size() < 128) return {};
    for (size_t off = 54; off + 18 <= 126; off += 18) {
        const uint8_t* d = &edid[off];
        if (d[0] != 0 || d[1] != 0 || d[3] != 0xFC) continue;
        std::string name;
        for (size_t k = 5; k < 18 && d[k] != 0x0A; ++k) name.push_back(d[k] >= 0x20 && d[k] < 0x7F ? static_cast<char>(d[k]) : '?');
        while (!name.empty() && name.back() == ' ') name.pop_back();
        return name;
    }
    return {};
}

std::string edid_monitor_key(const std::vector<uint8_t>& edid) {
    if (edid.size() < 128) return {};
    const uint32_t id = static_cast<uint32_t>(edid[8]) << 8 | edid[9];
    std::string maker;
    for (int shift = 10; shift >= 0; shift -= 5) maker.push_back(static_cast<char>('A' - 1 + ((id >> shift) & 0x1F)));
    const uint32_t product = static_cast<uint32_t>(edid[10]) | static_cast<uint32_t>(edid[11]) << 8;
    uint32_t serial = 0;
    for (int i = 0; i < 4; ++i) serial |= static_cast<uint32_t>(edid[12 + static_cast<size_t>(i)]) << (8 * i);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04" PRIX32 "/%08" PRIx32, product, serial);
    return maker + buf;
}

void fresh_display(DisplayModel& display, RegistryModel& registry, uint32_t render_gpus,
                   const std::vector<DisplayMode>& monitors) {
    display = DisplayModel{};
    for (uint32_t i = 0; i < render_gpus; ++i) {
        SimGpu g;
        g.luid = {0, kGpuLuidBase + 0x10 * i};
        g.vendor_id = 0xF1A0;
        g.device_id = 0x0100 + i;
        g.name = "Simulated Render GPU " + std::to_string(i + 1);
        display.gpus.push_back(g);
    }
    SimGpu basic;
    basic.luid = {0, kGpuLuidBase + 0x10 * render_gpus};
    basic.vendor_id = 0x1414;
    basic.device_id = 0x008C;
    basic.name = "Basic Render Adapter";
    basic.software = true;
    display.gpus.push_back(basic);
    if (render_gpus == 0) return;
    for (size_t i = 0; i < monitors.size(); ++i) {
        const uint32_t serial = static_cast<uint32_t>(i + 1);
        const std::vector<uint8_t> edid = make_physical_edid("SIM", 0x1001, serial, "Sim Monitor", monitors[i]);
        SimTarget t;
        t.adapter = display.gpus.front().luid;
        t.id = kPhysicalTargetBase + static_cast<uint32_t>(i);
        t.device = "DISPLAY\\SIM1001\\4&1a2b3c4d&0&UID" + std::to_string(0x1100 + i);
        t.monitor_name = edid_monitor_name(edid);
        t.monitor_key = edid_monitor_key(edid);
        t.modes = {monitors[i]};
        display.arrive(t);
        platform::RegistryValue v{platform::kRegBinary, edid};
        registry.set_value(platform::RegistryHive::local_machine, monitor_parameters_key(t.device), "EDID", v);
    }
}

}  // namespace sorvane::sim
