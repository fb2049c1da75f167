// cmd of the simulated machine: "/c rmdir /s /q PATH" (also "rd") removes a
// folder tree and the access lists set on it and below it. Removing a folder
// on the machine's own drive takes an elevated token. Fault point "cmd.rmdir".
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "platform/sim/ports.h"
#include "platform/sim/standins/standin.h"
#include "platform/win_error.h"

using namespace sorvane;
using namespace sorvane::sim;

int main(int argc, char** argv) {
    auto machine = Machine::open_default();
    machine->set_actor("cmd");
    SystemModel system;
    if (!machine->read([&](const MachineState& s) { system = s.system; })) return 1;
    standin::Console c(system);
    std::vector<std::string> args(argv + 1, argv + argc);
    std::vector<std::string> words;
    for (const auto& a : args)
        if (!iequals_ascii(a, "/s") && !iequals_ascii(a, "/q")) words.push_back(a);
    if (words.size() != 3 || !iequals_ascii(words[0], "/c") ||
        !(iequals_ascii(words[1], "rmdir") || iequals_ascii(words[1], "rd"))) {
        c.line(system.language.rfind("tr", 0) == 0 ? "Komut desteklenmiyor." : "The command is not supported.");
        standin::exit_with(1);
    }
    const std::string canonical = standin::canonical_path(words[2]);
    uint32_t rc = 0;
    if (canonical.empty()) {
        rc = platform::kErrorFileNotFound;
    } else if (!system.elevated && standin::needs_elevation(*machine, canonical)) {
        rc = platform::kErrorAccessDenied;
    } else {
        const bool ok = machine->update("cmd rmdir " + canonical, [&](MachineState& s) {
            rc = s.fault("cmd.rmdir");
            if (rc != 0) return;
            if (!platform::remove_tree(canonical).ok()) {
                rc = platform::kErrorAccessDenied;
                return;
            }
            s.acls.remove_tree(canonical);
        });
        if (!ok) rc = platform::kErrorNotReady;
    }
    if (rc != 0) {
        c.line(sim_format_message(rc, system.language));
        standin::exit_with(rc == platform::kErrorFileNotFound ? 2 : rc);
    }
    return 0;
}
