// Verbs of the interactive desktop: the foreground process, the input
// journal, the input desktop and power events.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/power.h"
#include "platform/sim/power_sim.h"
#include "platform/sim/tool/verbs.h"

namespace sorvane::sim::tool {

namespace {

// An image name as Windows could show it: printable ASCII, no quotes or
// wildcards, at most MAX_PATH characters.
bool valid_image_name(const std::string& name) {
    if (name.empty() || name.size() > 260) return false;
    for (const char c : name) {
        if (c < 0x20 || c > 0x7E || c == '"' || c == '*' || c == '?' || c == '<' || c == '>' || c == '|') return false;
    }
    return true;
}

}  // namespace

int verb_foreground(Machine& m, const std::vector<std::string>& args) {
    if (args.empty()) {
        InputModel input;
        if (!m.read([&](const MachineState& s) { input = s.input; })) return failed(m);
        if (input.foreground.empty()) {
            std::printf("no foreground window\n");
        } else {
            std::printf("%s pid %u %s\n", input.foreground_image_path().c_str(), input.foreground_pid,
                        input.foreground_elevated ? "elevated" : "not elevated");
        }
        return 0;
    }
    std::string name;
    bool elevated = false;
    if (args[0] == "--elevated" && args.size() == 2) {
        name = args[1];
        elevated = true;
    } else if (args[0] == "--normal" && args.size() <= 2) {
        name = args.size() == 2 ? args[1] : std::string("explorer.exe");
    } else if (args[0] == "--none" && args.size() == 1) {
        name.clear();
    } else {
        return 2;
    }
    if (!name.empty() && !valid_image_name(name)) {
        std::fprintf(stderr, "sorvane-sim: not an image name\n");
        return 2;
    }
    const std::string what = name.empty() ? std::string("foreground: none")
                                          : "foreground " + name + (elevated ? " (elevated)" : "");
    if (!m.update(what, [&](MachineState& s) { s.input.set_foreground(name, elevated); })) return failed(m);
    return 0;
}

int verb_input(Machine& m, const std::vector<std::string>& args) {
    const std::string path = m.folder() + "/input.log";
    if (args.empty()) {
        if (!m.initialized()) {
            std::fprintf(stderr, "sorvane-sim: no simulated machine in %s (run sorvane-sim init)\n", m.folder().c_str());
            return 1;
        }
        std::string text;
        const auto r = platform::read_file(path, 64u << 20, text);
        if (!r.ok() && r.status != platform::FileStatus::not_found) {
            std::fprintf(stderr, "sorvane-sim: read %s: %s\n", path.c_str(), platform::describe(r).c_str());
            return 1;
        }
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    if (args.size() == 1 && args[0] == "clear") {
        std::FILE* f = std::fopen(path.c_str(), "w");
        if (f == nullptr) return 1;
        std::fclose(f);
        return 0;
    }
    if (args.size() == 2 && args[0] == "desktop") {
        if (args[1] != "Default" && args[1] != "Winlogon") return 2;
        if (!m.update("input desktop " + args[1], [&](MachineState& s) { s.input.input_desktop = args[1]; })) {
            return failed(m);
        }
        return 0;
    }
    return 2;
}

int verb_power(Machine& m, const std::vector<std::string>& args) {
    if (args.size() != 1) return 2;
    uint32_t type = 0;
    if (args[0] == "suspend") type = platform::kPowerSuspend;
    else if (args[0] == "resume-user") type = platform::kPowerResumeSuspend;
    else if (args[0] == "resume-auto") type = platform::kPowerResumeAutomatic;
    else return 2;
    if (!m.initialized()) {
        std::fprintf(stderr, "sorvane-sim: no simulated machine in %s (run sorvane-sim init)\n", m.folder().c_str());
        return 1;
    }
    size_t delivered = 0;
    std::string error;
    if (!send_machine_power_event(m.folder(), type, delivered, error)) {
        std::fprintf(stderr, "sorvane-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("power %s delivered to %zu process(es)\n", args[0].c_str(), delivered);
    return 0;
}

}  // namespace sorvane::sim::tool
