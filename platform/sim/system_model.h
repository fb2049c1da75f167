// The simulated system's facts: computer name, processor architecture, OEM
// code page, display language, the process token (elevation and user) and
// the interactive user. The build number and S mode live in the registry,
// where Windows keeps them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sim/json.h"

namespace sorvane::sim {

inline constexpr const char* kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr const char* kCiPolicyKey = "SYSTEM\\CurrentControlSet\\Control\\CI\\Policy";

// The SID the simulated machine gives a Linux uid: "S-1-22-1-<uid>". The
// driver's pipe identifies its peers the same way.
std::string sid_of_uid(uint32_t uid);
// The SID of the uid running this process.
std::string current_process_sid();

class SystemModel {
public:
    static constexpr const char* kName = "system";

    std::string computer_name = "SIMPC";
    std::string architecture = "x64";  // x64, arm64, x86
    uint32_t oem_code_page = 437;
    std::string language = "en-US";
    // The token of every process started on the machine.
    bool elevated = true;
    // A SID, or "auto": the SID of whichever uid runs the program.
    std::string user_sid = "auto";
    // The user of explorer.exe in the console session: a SID, "auto" (same
    // rule as user_sid) or "none" (no interactive session).
    std::string interactive_user = "auto";

    std::string effective_user_sid() const;
    // Empty when there is no interactive user.
    std::string effective_interactive_user() const;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

}  // namespace sorvane::sim
