// The simulated machine's pipe namespace: \\.\pipe\NAME is the Unix socket
// pipes/NAME, its security descriptor (SDDL text) lies beside it in
// pipes/NAME.sddl as long as a server holds the name, and pipes/NAME.lock is
// held by that server. Who may open a pipe is decided by an access check of
// the opening process's token (system_model.h) against the descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/system_model.h"

namespace sorvane::sim {

struct SddlAce {
    bool allow = true;
    uint32_t mask = 0;  // generic rights mapped to the file-specific ones
    std::string sid;    // full string SID (aliases expanded)
};

// Reads "[O:sid][G:sid]D:[flags](ace)(ace)..." with DACL flags P, AI, AR and
// ACEs "(A|D;[flags];rights;;;sid)": ACE flags OI, CI, NP, IO, ID; rights
// "0x..." or any run of GA, GR, GW, GX, FA, FR, FW, FX, RC, SD, WD, WO; sid a
// string SID or an alias (SY, BA, BU, BG, WD, AU, LS, NS, IU, NU, SU, AN, CO).
// False (and out empty) for anything else. "D:" alone is an empty list
// (nobody gets in).
bool parse_sddl(std::string_view text, std::vector<SddlAce>& out);

// The access check: walks the ACEs in order; an ACE applies when its SID is
// the token's user or one of its groups (deny ACEs also for deny-only
// groups). A deny ACE covering a wanted right not yet granted refuses; allow
// ACEs add their rights; granted when every wanted right is allowed.
bool access_granted(const std::vector<SddlAce>& aces, const Token& token, uint32_t wanted);

// What a pipe client asks for: read and write of data and attributes, synchronize.
inline constexpr uint32_t kPipeClientAccess = 0x100183;

std::string pipe_sddl_path(const std::string& socket_path);
std::string pipe_lock_path(const std::string& socket_path);

}  // namespace sorvane::sim
