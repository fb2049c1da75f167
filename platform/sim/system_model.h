// The simulated system's facts: computer name, processor architecture, OEM
// code page, display language, the process token (elevation and user) and
// the interactive user. The build number and S mode live in the registry,
// where Windows keeps them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/json.h"

namespace sorvane::sim {

inline constexpr const char* kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
inline constexpr const char* kCiPolicyKey = "SYSTEM\\CurrentControlSet\\Control\\CI\\Policy";

inline constexpr const char* kLocalServiceSid = "S-1-5-19";
inline constexpr const char* kAdministratorsSid = "S-1-5-32-544";

// The SID the simulated machine gives a Linux uid: "S-1-22-1-<uid>", the
// user of a process whose machine has no token of its own.
std::string sid_of_uid(uint32_t uid);
// The SID of the uid running this process.
std::string current_process_sid();

// An access token as an access check sees it: the user, the groups that
// grant access, and the groups that only ever deny (Administrators in the
// filtered token an administrator gets while not elevated).
struct Token {
    std::string user;
    std::vector<std::string> groups;
    std::vector<std::string> deny_only;
};

// The token of a service running under sid (LOCAL SERVICE for driver hosts).
Token service_token(const std::string& sid);
// The token of a user outside any simulated machine: the uid's SID, no administrator.
Token uid_token(uint32_t uid);

class SystemModel {
public:
    static constexpr const char* kName = "system";

    std::string computer_name = "SIMPC";
    std::string architecture = "x64";  // x64, arm64, x86
    uint32_t oem_code_page = 437;
    std::string language = "en-US";
    // The token of every process the user starts on the machine (services
    // have their own accounts).
    bool elevated = true;
    // A SID, or "auto": the SID of whichever uid runs the program.
    std::string user_sid = "auto";
    // The user is a member of Administrators; the group grants access only
    // while the token is elevated.
    bool administrator = true;
    // The user of explorer.exe in the console session: a SID, "auto" (same
    // rule as user_sid) or "none" (no interactive session).
    std::string interactive_user = "auto";

    std::string effective_user_sid() const;
    Token user_token() const;
    // Empty when there is no interactive user.
    std::string effective_interactive_user() const;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

}  // namespace sorvane::sim
