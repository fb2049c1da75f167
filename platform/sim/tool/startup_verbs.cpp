// sorvane-sim startup: the user's Startup folder and its shortcuts.
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/sim/tool/verbs.h"

namespace sorvane::sim::tool {

int verb_startup(Machine& m, const std::vector<std::string>& args) {
    if (!args.empty()) return 2;
    StartupModel startup;
    if (!m.read([&](const MachineState& s) { startup = s.startup; })) {
        std::fprintf(stderr, "sorvane-sim: %s\n", m.last_error().c_str());
        return 1;
    }
    std::printf("%s\n", kStartupFolder);
    if (startup.shortcuts.empty()) std::printf("  (no shortcuts)\n");
    for (const auto& s : startup.shortcuts) {
        std::printf("  %s\n    target: %s\n    working directory: %s\n    description: %s\n",
                    scrub_text(s.name).c_str(), scrub_text(s.link.target).c_str(),
                    scrub_text(s.link.working_directory).c_str(), scrub_text(s.link.description).c_str());
    }
    return 0;
}

}  // namespace sorvane::sim::tool
