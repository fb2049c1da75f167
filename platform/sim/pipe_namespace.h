// The simulated machine's pipe namespace: \\.\pipe\NAME is the Unix socket
// pipes/NAME, its security descriptor (SDDL text) lies beside it in
// pipes/NAME.sddl as long as a server holds the name, and pipes/NAME.lock is
// held by that server. A process is known by one SID, "S-1-22-1-<uid>";
// Everyone (WD) and Authenticated Users (AU) match every process, and group
// memberships such as Administrators (BA) are not modelled.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::sim {

struct SddlAce {
    bool allow = true;
    uint32_t mask = 0;
    std::string sid;  // full string SID (abbreviations expanded)
};

// Reads "D:[flags](ace)(ace)..." with ACEs "(A|D;;rights;;;sid)". rights are
// "0x..." or GA/GR/GW/GX/FA/FR/FW; sid is a string SID or SY, BA, BU, WD, AU,
// LS, NS, IU. False for anything else.
bool parse_sddl(std::string_view text, std::vector<SddlAce>& out);

// Access check: walks the ACEs in order; a deny ACE that matches and covers
// a wanted right refuses, allow ACEs add their rights; granted when every
// wanted right is allowed.
bool sddl_grants(const std::vector<SddlAce>& aces, std::string_view sid, uint32_t wanted);

// What a pipe client asks for: read and write of data and attributes, synchronize.
inline constexpr uint32_t kPipeClientAccess = 0x100183;

std::string pipe_sddl_path(const std::string& socket_path);
std::string pipe_lock_path(const std::string& socket_path);

}  // namespace sorvane::sim
