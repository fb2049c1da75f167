// sorvane-sim tray and shell: the notification area as the user sees and
// uses it, and what the shell was asked to open.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/tool/verbs.h"
#include "platform/sim/tray_sim.h"

namespace sorvane::sim::tool {

namespace {

bool machine_ready(Machine& m) {
    if (m.initialized()) return true;
    std::fprintf(stderr, "sorvane-sim: no simulated machine in %s (run sorvane-sim init)\n", m.folder().c_str());
    return false;
}

int failed(const std::string& error) {
    std::fprintf(stderr, "sorvane-sim tray: %s\n", error.c_str());
    return 1;
}

}  // namespace

int verb_tray(Machine& m, const std::vector<std::string>& args) {
    if (!machine_ready(m)) return 1;
    std::string error;
    if (args.empty()) {
        TrayModel tray;
        forget_ended_windows(m);
        if (!m.read([&](const MachineState& s) { tray = s.tray; })) return failed(m.last_error());
        std::fputs(describe_tray(tray).c_str(), stdout);
        return 0;
    }
    const std::string& what = args[0];
    if (what == "click" && args.size() == 2 && (args[1] == "left" || args[1] == "right")) {
        return tray_click(m, args[1] == "left", error) ? 0 : failed(error);
    }
    if (what == "menu" && args.size() == 2) {
        uint64_t command = 0;
        if (!parse_number(args[1], command) || command > 0xFFFF) return 2;
        return tray_choose(m, static_cast<uint32_t>(command), error) ? 0 : failed(error);
    }
    if (what == "balloon-click" && args.size() == 1) {
        return tray_balloon_click(m, error) ? 0 : failed(error);
    }
    if (what == "taskbar-created" && args.size() == 1) {
        size_t told = 0;
        if (!tray_taskbar_created(m, told, error)) return failed(error);
        std::printf("TaskbarCreated sent to %zu window(s)\n", told);
        return 0;
    }
    if (what == "theme" && args.size() == 2 && (args[1] == "light" || args[1] == "dark")) {
        return tray_set_theme(m, args[1] == "light", error) ? 0 : failed(error);
    }
    return 2;
}

int verb_shell(Machine& m, const std::vector<std::string>& args) {
    if (!args.empty()) return 2;
    if (!machine_ready(m)) return 1;
    // Journal entries read "#N stamp program[pid] shell open TARGET".
    const std::string journal = m.journal();
    const std::string marker = "] shell open ";
    size_t start = 0;
    while (start < journal.size()) {
        size_t end = journal.find('\n', start);
        if (end == std::string::npos) end = journal.size();
        const std::string line = journal.substr(start, end - start);
        start = end + 1;
        if (line.empty() || line[0] != '#') continue;
        const size_t at = line.find(marker);
        if (at == std::string::npos || line.find(' ') > at) continue;
        std::printf("%s\n", line.substr(at + marker.size()).c_str());
    }
    return 0;
}

}  // namespace sorvane::sim::tool
