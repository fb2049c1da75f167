// icacls of the simulated machine: records "/inheritance:d" and "/grant"
// on a path in the machine's access lists. Fault points:
// "icacls.inheritance", "icacls.grant".
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
    std::string path_out = path;
    while (path_out.size() > 1 && path_out.back() == '/') path_out.pop_back();
    uint32_t rc = 0;
    if (!platform::file_exists(path)) {
        rc = platform::kErrorFileNotFound;
    } else {
        const bool ok = machine->update("icacls " + path, [&](MachineState& s) {
            for (size_t i = 1; i < args.size() && rc == 0; ++i) {
                const std::string a = ascii_lower(args[i]);
                if (a == "/inheritance:d" || a == "/inheritance:r") {
                    rc = s.fault("icacls.inheritance");
                    if (rc == 0) s.acls.entries[path_out].inheritance_disabled = true;
                } else if (a == "/grant" && i + 1 < args.size()) {
                    rc = s.fault("icacls.grant");
                    if (rc == 0) s.acls.entries[path_out].grants.push_back(args[++i]);
                } else {
                    rc = platform::kErrorInvalidParameter;
                }
            }
        });
        if (!ok) rc = platform::kErrorNotReady;
    }
    if (rc != 0) {
        c.line(path + ": " + sim_format_message(rc, system.language));
        c.line(tr ? "0 dosya başarıyla işlendi; 1 dosya işlenemedi" : "Successfully processed 0 files; Failed processing 1 files");
        standin::exit_with(rc);
    }
    c.line((tr ? "işlenen dosya: " : "processed file: ") + path);
    c.line(tr ? "1 dosya başarıyla işlendi; 0 dosya işlenemedi" : "Successfully processed 1 files; Failed processing 0 files");
    return 0;
}
