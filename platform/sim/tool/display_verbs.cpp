#include <cinttypes>
#include <cstdio>
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

void print_topology(const MachineState& s) {
    for (const auto& g : s.display.gpus) {
        std::printf("gpu %s  vendor 0x%04" PRIx32 " device 0x%04" PRIx32 "  \"%s\"%s%s%s\n", luid_string(g.luid).c_str(),
                    g.vendor_id, g.device_id, scrub_control(g.name).c_str(), g.renders ? "  renders" : "",
                    g.software ? "  software" : "", g.indirect ? "  indirect display" : "");
    }
    for (const auto& t : s.display.targets) {
        std::string modes;
        for (const auto& m : t.modes) modes += (modes.empty() ? "" : ",") + mode_string(m);
        std::printf("target %s/%" PRIu32 "  %s \"%s\" %s  %s", luid_string(t.adapter).c_str(), t.id,
                    t.indirect ? "indirect" : "physical", scrub_control(t.monitor_name).c_str(),
                    t.monitor_key.c_str(), t.active ? "active" : "inactive");
        if (t.active) {
            std::printf(" %s at (%" PRId32 ",%" PRId32 ") rotation %" PRIu32 "%s", mode_string(t.mode).c_str(), t.x, t.y,
                        t.rotation, t.primary ? " primary" : "");
        }
        platform::RegistryValue edid;
        const bool has_edid = s.registry.get_value(platform::RegistryHive::local_machine,
                                                   monitor_parameters_key(t.device), "EDID", edid) == 0;
        std::printf("\n    modes %s\n    device %s  EDID %zu bytes\n", modes.c_str(), scrub_control(t.device).c_str(),
                    has_edid ? edid.data.size() : static_cast<size_t>(0));
    }
    for (const auto& p : s.display.persistence) {
        std::printf("remembered %s at (%" PRId32 ",%" PRId32 ") %s rotation %" PRIu32 "\n", p.monitor_key.c_str(), p.x,
                    p.y, mode_string(p.mode).c_str(), p.rotation);
    }
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
    if (args.empty()) return m.read(print_topology) ? 0 : (std::fprintf(stderr, "sorvane-sim: %s\n", m.last_error().c_str()), 1);
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
