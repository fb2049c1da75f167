#include "platform/sim/pipe_namespace.h"

#include "platform/pipe.h"

namespace sorvane::sim {

namespace {

struct Abbreviation {
    const char* code;
    const char* sid;
};

constexpr Abbreviation kSids[] = {
    {"SY", "S-1-5-18"},     {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"},
    {"AU", "S-1-5-11"},     {"LS", "S-1-5-19"},     {"NS", "S-1-5-20"},     {"IU", "S-1-5-4"},
};

struct Right {
    const char* code;
    uint32_t mask;
};

constexpr Right kRights[] = {
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000},
    {"FA", 0x001F01FF}, {"FR", 0x00120089}, {"FW", 0x00120116},
};

bool parse_rights(std::string_view t, uint32_t& out) {
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        if (t.size() > 10) return false;
        uint32_t v = 0;
        for (size_t i = 2; i < t.size(); ++i) {
            const char c = t[i];
            uint32_t d = 0;
            if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
            else return false;
            v = v << 4 | d;
        }
        out = v;
        return true;
    }
    if (t.empty() || t.size() % 2 != 0) return false;
    out = 0;
    for (size_t i = 0; i < t.size(); i += 2) {
        bool known = false;
        for (const auto& r : kRights) {
            if (t.substr(i, 2) == r.code) {
                out |= r.mask;
                known = true;
            }
        }
        if (!known) return false;
    }
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

}  // namespace

bool parse_sddl(std::string_view t, std::vector<SddlAce>& out) {
    out.clear();
    if (t.substr(0, 2) != "D:") return false;
    size_t pos = 2;
    while (pos < t.size() && t[pos] != '(') {
        const char c = t[pos];
        if (c != 'P' && c != 'A' && c != 'I' && c != 'R') return false;
        ++pos;
    }
    while (pos < t.size()) {
        if (t[pos] != '(') return false;
        const size_t end = t.find(')', pos);
        if (end == std::string_view::npos) return false;
        const std::string_view ace = t.substr(pos + 1, end - pos - 1);
        std::vector<std::string_view> f;
        size_t s = 0;
        while (true) {
            const size_t semi = ace.find(';', s);
            f.push_back(ace.substr(s, semi == std::string_view::npos ? std::string_view::npos : semi - s));
            if (semi == std::string_view::npos) break;
            s = semi + 1;
        }
        if (f.size() != 6 || (f[0] != "A" && f[0] != "D") || !f[1].empty() || !f[3].empty() || !f[4].empty())
            return false;
        SddlAce a;
        a.allow = f[0] == "A";
        if (!parse_rights(f[2], a.mask)) return false;
        a.sid = std::string(f[5]);
        for (const auto& ab : kSids)
            if (f[5] == ab.code) a.sid = ab.sid;
        if (!platform::string_sid_valid(a.sid)) return false;
        a.mask = map_generic(a.mask);
        out.push_back(std::move(a));
        pos = end + 1;
    }
    return true;
}

bool sddl_grants(const std::vector<SddlAce>& aces, std::string_view sid, uint32_t wanted) {
    uint32_t granted = 0;
    for (const SddlAce& a : aces) {
        const bool matches = a.sid == sid || a.sid == "S-1-1-0" || a.sid == "S-1-5-11";
        if (!matches) continue;
        if (!a.allow) {
            if (a.mask & wanted & ~granted) return false;
            continue;
        }
        granted |= a.mask;
        if ((granted & wanted) == wanted) return true;
    }
    return false;
}

std::string pipe_sddl_path(const std::string& socket_path) { return socket_path + ".sddl"; }
std::string pipe_lock_path(const std::string& socket_path) { return socket_path + ".lock"; }

}  // namespace sorvane::sim
