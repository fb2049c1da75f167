// The current user's Startup folder of the simulated machine and the
// shortcuts in it (the programs Windows starts at logon).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/shell_links.h"
#include "platform/sim/json.h"

namespace sorvane::sim {

// FOLDERID_Startup of the machine's user.
inline constexpr const char* kStartupFolder =
    "C:\\Users\\SimUser\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";

class StartupModel {
public:
    static constexpr const char* kName = "startup";

    struct Shortcut {
        std::string name;  // the file name in the folder, as created
        platform::ShellLink link;
    };
    // Sorted by name without regard to case, as the folder lists them.
    std::vector<Shortcut> shortcuts;

    // File names compare without regard to ASCII case.
    Shortcut* find(std::string_view name);
    void put(const std::string& name, const platform::ShellLink& link);
    bool remove(std::string_view name);

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

class Machine;

// The shell-link port over the machine: only the Startup folder exists, so a
// shortcut anywhere else fails as Windows fails for a missing folder.
// Fault points: "shell.save_link", "shell.delete_link" (their code is the
// HRESULT or Win32 error returned).
std::unique_ptr<platform::IShellLinks> make_sim_shell_links(std::shared_ptr<Machine> machine);

}  // namespace sorvane::sim
