// icacls of the simulated machine: records "/inheritance:d" (or ":r") and
// "/grant" in the machine's access lists, keyed by the object's canonical
// path and tied to the folder it names. Changing an object on the machine's
// own drive takes an elevated token. Fault points: "icacls.inheritance",
// "icacls.grant".
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
    machine->set_actor("icacls");
    SystemModel system;
    if (!machine->read([&](const MachineState& s) { system = s.system; })) return 1;
    standin::Console c(system);
    const bool tr = c.turkish();
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() < 2) {
        c.line(tr ? "Geçersiz parametre" : "Invalid parameter");
        standin::exit_with(platform::kErrorInvalidParameter);
    }
    const std::string path = args[0];
    const std::string canonical = standin::canonical_path(path);
    uint32_t rc = 0;
    if (canonical.empty()) {
        rc = platform::kErrorFileNotFound;
    } else if (!system.elevated && standin::needs_elevation(*machine, canonical)) {
        rc = platform::kErrorAccessDenied;
    } else {
        const std::string id = standin::file_id(canonical);
        const bool ok = machine->update("icacls " + canonical, [&](MachineState& s) {
            // Lists of folders that are gone do not pass to what stands at their paths now.
            s.acls.prune([](const std::string& p) { return standin::file_id(p); });
            AclModel::Entry entry;
            const auto known = s.acls.entries.find(canonical);
            if (known != s.acls.entries.end()) entry = known->second;
            entry.folder_id = id;
            for (size_t i = 1; i < args.size() && rc == 0; ++i) {
                const std::string a = ascii_lower(args[i]);
                if (a == "/inheritance:d" || a == "/inheritance:r") {
                    rc = s.fault("icacls.inheritance");
                    if (rc == 0) entry.inheritance_disabled = true;
                } else if (a == "/grant" && i + 1 < args.size()) {
                    rc = s.fault("icacls.grant");
                    if (rc == 0) entry.grants.push_back(args[++i]);
                } else {
                    rc = platform::kErrorInvalidParameter;
                }
            }
            // One failed switch leaves the list as it was.
            if (rc == 0) s.acls.entries[canonical] = entry;
        });
        if (!ok) rc = platform::kErrorNotReady;
    }
    std::string shown = path;
    while (shown.size() > 1 && shown.back() == '/') shown.pop_back();
    if (rc != 0) {
        c.line(shown + ": " + sim_format_message(rc, system.language));
        c.line(tr ? "0 dosya başarıyla işlendi; 1 dosya işlenemedi" : "Successfully processed 0 files; Failed processing 1 files");
        standin::exit_with(rc);
    }
    c.line((tr ? "işlenen dosya: " : "processed file: ") + shown);
    c.line(tr ? "1 dosya başarıyla işlendi; 0 dosya işlenemedi" : "Successfully processed 1 files; Failed processing 0 files");
    return 0;
}
