#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/sim/tool/verbs.h"

namespace sorvane::sim::tool {

namespace {

bool parse_modes(const std::string& text, std::vector<DisplayMode>& out) {
    out.clear();
    if (text == "none") return true;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos) end = text.size();
        DisplayMode m;
        if (!parse_mode_string(text.substr(start, end - start), m)) return false;
        out.push_back(m);
        start = end + 1;
    }
    return !out.empty();
}

// Columns padded to their widest cell, two blanks apart, each row indented.
void print_table(const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> width;
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size(); ++i) {
            if (width.size() <= i) width.push_back(0);
            width[i] = std::max(width[i], r[i].size());
        }
    for (const auto& r : rows) {
        std::string line = " ";
        for (size_t i = 0; i < r.size(); ++i) {
            line += " " + r[i];
            if (i + 1 < r.size()) line.append(width[i] - r[i].size() + 1, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
    if (rows.size() == 1) std::printf("  (none)\n");
}

std::string hex4(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%04" PRIx32, v);
    return buf;
}

std::string position(int32_t x, int32_t y) { return std::to_string(x) + "," + std::to_string(y); }

std::string target_name(const SimTarget& t) { return luid_string(t.adapter) + "/" + std::to_string(t.id); }

// One row per display target: where it is on the desktop, in which mode, and
// whether it is a physical monitor or a virtual one of an indirect display driver.
void print_displays(const MachineState& s) {
    std::vector<std::vector<std::string>> rows = {
        {"TARGET", "KIND", "STATE", "POSITION", "MODE", "ROTATION", "PRIMARY", "MONITOR"}};
    for (const auto& t : s.display.targets) {
        rows.push_back({target_name(t), t.indirect ? "virtual" : "physical", t.active ? "active" : "inactive",
                        t.active ? position(t.x, t.y) : "-", t.active ? mode_string(t.mode) : "-",
                        t.active ? std::to_string(t.rotation) : "-", t.primary ? "yes" : "-",
                        scrub_control(t.monitor_name) + " (" + t.monitor_key + ")"});
    }
    print_table(rows);
}

void print_topology(const MachineState& s) {
    std::printf("GPUs\n");
    std::vector<std::vector<std::string>> gpus = {{"LUID", "VENDOR", "DEVICE", "KIND", "NAME"}};
    for (const auto& g : s.display.gpus) {
        std::string kind = g.indirect ? "indirect display" : g.software ? "software" : g.renders ? "render" : "no render";
        if (g.low_power) kind += ", low power";
        gpus.push_back({luid_string(g.luid), hex4(g.vendor_id), hex4(g.device_id), kind, scrub_control(g.name)});
    }
    print_table(gpus);
    std::printf("\nDisplays\n");
    print_displays(s);
    std::printf("\nMonitors\n");
    std::vector<std::vector<std::string>> monitors = {{"TARGET", "MODES", "EDID", "DEVICE"}};
    for (const auto& t : s.display.targets) {
        std::string modes;
        for (const auto& m : t.modes) modes += (modes.empty() ? "" : ",") + mode_string(m);
        platform::RegistryValue edid;
        const bool has_edid = s.registry.get_value(platform::RegistryHive::local_machine,
                                                   monitor_parameters_key(t.device), "EDID", edid) == 0;
        monitors.push_back({target_name(t), modes.empty() ? "-" : modes,
                            has_edid ? std::to_string(edid.data.size()) + " bytes" : "none", scrub_control(t.device)});
    }
    print_table(monitors);
    std::printf("\nRemembered positions\n");
    std::vector<std::vector<std::string>> remembered = {{"MONITOR", "POSITION", "MODE", "ROTATION"}};
    for (const auto& p : s.display.persistence)
        remembered.push_back({p.monitor_key, position(p.x, p.y), mode_string(p.mode), std::to_string(p.rotation)});
    print_table(remembered);
}

// "gpu LUID low-power|renders|software yes|no", "gpu LUID vendor|device N", "gpu LUID name TEXT".
int set_gpu(Machine& m, const std::vector<std::string>& args) {
    SimLuid luid;
    if (args.size() != 4 || !parse_luid_string(args[1], luid)) return 2;
    const std::string& key = args[2];
    const std::string& value = args[3];
    const std::string l = ascii_lower(value);
    const bool yes = l == "yes" || l == "on";
    const bool no = l == "no" || l == "off";
    uint64_t n = 0;
    std::function<void(SimGpu&)> change;
    if ((key == "low-power" || key == "renders" || key == "software") && (yes || no)) {
        change = [key, yes](SimGpu& g) { (key == "low-power" ? g.low_power : key == "renders" ? g.renders : g.software) = yes; };
    } else if ((key == "vendor" || key == "device") && parse_number(value, n) && n <= 0xFFFF) {
        change = [key, n](SimGpu& g) { (key == "vendor" ? g.vendor_id : g.device_id) = static_cast<uint32_t>(n); };
    } else if (key == "name") {
        change = [value](SimGpu& g) { g.name = value; };
    } else {
        return 2;
    }
    bool found = false;
    if (!m.update("topology gpu " + args[1] + " " + key, [&](MachineState& s) {
            for (auto& g : s.display.gpus)
                if (g.luid == luid) {
                    change(g);
                    found = true;
                }
        })) {
        std::fprintf(stderr, "sorvane-sim: %s\n", m.last_error().c_str());
        return 1;
    }
    if (!found) {
        std::fprintf(stderr, "sorvane-sim topology: no GPU %s\n", scrub_control(args[1]).c_str());
        return 1;
    }
    return 0;
}

}  // namespace

bool parse_display_option(const std::string& option, const std::string& value, MachineSetup& setup) {
    uint64_t n = 0;
    if (option == "--gpus") {
        if (!parse_number(value, n) || n > 8) return false;
        setup.render_gpus = static_cast<uint32_t>(n);
        return true;
    }
    if (option == "--monitors") return parse_modes(value, setup.monitors);
    return false;
}

int verb_topology(Machine& m, const std::vector<std::string>& args) {
    if (args.empty() || (args.size() == 1 && args[0] == "displays")) {
        if (m.read(args.empty() ? print_topology : print_displays)) return 0;
        std::fprintf(stderr, "sorvane-sim: %s\n", m.last_error().c_str());
        return 1;
    }
    if (!args.empty() && args[0] == "gpu") return set_gpu(m, args);
    if (args.size() != 2 || args[0] != "edid") return 2;
    // "edid LUID/TARGET": the EDID Windows keeps for the monitor, as raw bytes.
    const size_t slash = args[1].find('/');
    SimLuid luid;
    uint64_t target = 0;
    if (slash == std::string::npos || !parse_luid_string(args[1].substr(0, slash), luid) ||
        !parse_number(args[1].substr(slash + 1), target)) {
        return 2;
    }
    std::vector<uint8_t> edid;
    const bool ok = m.read([&](const MachineState& s) {
        const SimTarget* t = s.display.find_target(luid, static_cast<uint32_t>(target));
        platform::RegistryValue v;
        if (t != nullptr && s.registry.get_value(platform::RegistryHive::local_machine, monitor_parameters_key(t->device),
                                                 "EDID", v) == 0) {
            edid = v.data;
        }
    });
    if (!ok || edid.empty()) {
        std::fprintf(stderr, "sorvane-sim topology: no monitor EDID for %s\n", scrub_control(args[1]).c_str());
        return 1;
    }
    std::fwrite(edid.data(), 1, edid.size(), stdout);
    return 0;
}

}  // namespace sorvane::sim::tool
