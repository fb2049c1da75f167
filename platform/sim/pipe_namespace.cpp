#include "platform/sim/pipe_namespace.h"

#include <algorithm>

#include "common/text.h"
#include "platform/pipe.h"

namespace sorvane::sim {

namespace {

struct Alias {
    const char* code;
    const char* sid;
};

constexpr Alias kSids[] = {
    {"SY", "S-1-5-18"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"BG", "S-1-5-32-546"},
    {"WD", "S-1-1-0"},      {"AU", "S-1-5-11"},     {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},
    {"IU", "S-1-5-4"},      {"NU", "S-1-5-2"},      {"SU", "S-1-5-6"},      {"AN", "S-1-5-7"},
    {"CO", "S-1-3-0"},
};

struct Right {
    const char* code;
    uint32_t mask;
};

constexpr Right kRights[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000}, {"FA", 0x001F01FF},
    {"FR", 0x00120089}, {"FW", 0x00120116}, {"FX", 0x001200A0}, {"RC", 0x00020000}, {"SD", 0x00010000},
    {"WD", 0x00040000}, {"WO", 0x00080000},
};

bool parse_rights(std::string_view t, uint32_t& out) {
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) return parse_hex_u32(t.substr(2), out);
    if (t.empty() || t.size() % 2 != 0) return false;
    out = 0;
    for (size_t i = 0; i < t.size(); i += 2) {
        const auto r = std::find_if(std::begin(kRights), std::end(kRights),
                                    [&](const Right& x) { return t.substr(i, 2) == x.code; });
        if (r == std::end(kRights)) return false;
        out |= r->mask;
    }
    return true;
}

// Two-letter codes from a fixed set, in any order, each at most once.
bool parse_flags(std::string_view t, std::initializer_list<std::string_view> allowed) {
    std::vector<std::string_view> seen;
    for (size_t i = 0; i < t.size();) {
        bool known = false;
        for (const std::string_view f : allowed) {
            if (t.substr(i, f.size()) != f) continue;
            if (std::find(seen.begin(), seen.end(), f) != seen.end()) return false;
            seen.push_back(f);
            i += f.size();
            known = true;
            break;
        }
        if (!known) return false;
    }
    return true;
}

bool parse_sid(std::string_view t, std::string& out) {
    for (const auto& a : kSids) {
        if (t == a.code) {
            out = a.sid;
            return true;
        }
    }
    if (!platform::string_sid_valid(t)) return false;
    out = std::string(t);
    return true;
}

// Generic rights of a file object mapped to the specific ones.
uint32_t map_generic(uint32_t mask) {
    if (mask & 0x10000000) mask |= 0x001F01FF;
    if (mask & 0x80000000) mask |= 0x00120089;
    if (mask & 0x40000000) mask |= 0x00120116;
    if (mask & 0x20000000) mask |= 0x001200A0;
    return mask & 0x0FFFFFFF;
}

bool parse_ace(std::string_view ace, SddlAce& out) {
    std::vector<std::string_view> f;
    size_t s = 0;
    while (true) {
        const size_t semi = ace.find(';', s);
        f.push_back(ace.substr(s, semi == std::string_view::npos ? std::string_view::npos : semi - s));
        if (semi == std::string_view::npos) break;
        s = semi + 1;
    }
    if (f.size() != 6 || (f[0] != "A" && f[0] != "D") || !f[3].empty() || !f[4].empty()) return false;
    if (!parse_flags(f[1], {"OI", "CI", "NP", "IO", "ID"})) return false;
    out.allow = f[0] == "A";
    if (!parse_rights(f[2], out.mask) || !parse_sid(f[5], out.sid)) return false;
    out.mask = map_generic(out.mask);
    return true;
}

}  // namespace

bool parse_sddl(std::string_view t, std::vector<SddlAce>& out) {
    out.clear();
    std::vector<SddlAce> aces;
    // Owner and group come first when present; they take part in no check here.
    for (const std::string_view part : {std::string_view("O:"), std::string_view("G:")}) {
        if (t.substr(0, 2) != part) continue;
        const size_t end = t.find(':', 2);
        if (end == std::string_view::npos || end < 3) return false;
        std::string sid;
        if (!parse_sid(t.substr(2, end - 3), sid)) return false;
        t.remove_prefix(end - 1);
    }
    if (t.substr(0, 2) != "D:") return false;
    size_t pos = 2;
    const size_t first = std::min(t.find('(', pos), t.size());
    if (!parse_flags(t.substr(pos, first - pos), {"P", "AI", "AR"})) return false;
    pos = first;
    while (pos < t.size()) {
        if (t[pos] != '(') return false;
        const size_t end = t.find(')', pos);
        if (end == std::string_view::npos) return false;
        SddlAce a;
        if (!parse_ace(t.substr(pos + 1, end - pos - 1), a)) return false;
        aces.push_back(std::move(a));
        pos = end + 1;
    }
    out = std::move(aces);
    return true;
}

bool access_granted(const std::vector<SddlAce>& aces, const Token& token, uint32_t wanted) {
    const auto has = [](const std::vector<std::string>& list, const std::string& sid) {
        return std::find(list.begin(), list.end(), sid) != list.end();
    };
    uint32_t granted = 0;
    for (const SddlAce& a : aces) {
        const bool enabled = a.sid == token.user || has(token.groups, a.sid);
        if (!a.allow) {
            if ((enabled || has(token.deny_only, a.sid)) && (a.mask & wanted & ~granted) != 0) return false;
            continue;
        }
        if (!enabled) continue;
        granted |= a.mask;
        if ((granted & wanted) == wanted) return true;
    }
    return false;
}

std::string pipe_sddl_path(const std::string& socket_path) { return socket_path + ".sddl"; }
std::string pipe_lock_path(const std::string& socket_path) { return socket_path + ".lock"; }

}  // namespace sorvane::sim
