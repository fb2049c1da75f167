#include "viewer/app/arguments.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "common/text.h"
#include "platform/socket.h"

namespace sorvane::viewer::app {

bool parse_decimal(const std::string& v, double& out) {
    if (v.empty() || v.size() > 32 || v.find_first_not_of("0123456789.") != std::string::npos) return false;
    const auto r = std::from_chars(v.data(), v.data() + v.size(), out);
    return r.ec == std::errc() && r.ptr == v.data() + v.size();
}

bool split_at(const std::string& v, std::string& what, uint64_t& at_ms) {
    const size_t at = v.rfind('@');
    if (at == std::string::npos) return false;
    double s = 0;
    if (!parse_decimal(v.substr(at + 1), s) || s < 0 || s > 86'400) return false;
    what = v.substr(0, at);
    at_ms = static_cast<uint64_t>(s * 1000.0 + 0.5);
    return true;
}

bool parse_mode(const std::string& v, DisplayMode& out) {
    const size_t x = v.find('x');
    const size_t at = v.find('@');
    if (x == std::string::npos || at == std::string::npos || at < x) return false;
    int64_t w = 0, h = 0, hz = 0;
    if (!parse_int_exact(v.substr(0, x), w) || !parse_int_exact(v.substr(x + 1, at - x - 1), h) ||
        !parse_int_exact(v.substr(at + 1), hz))
        return false;
    if (w < 1 || w > 16'384 || h < 1 || h > 16'384 || hz < 1 || hz > 1'000) return false;
    out = {static_cast<uint16_t>(w), static_cast<uint16_t>(h), static_cast<uint16_t>(hz)};
    return true;
}

bool parse_host_address(const std::string& v, std::string& address, std::optional<uint16_t>& port) {
    const size_t colon = v.find(':');
    uint32_t ip = 0;
    if (!platform::parse_ipv4(v.substr(0, colon), ip)) return false;
    address = v.substr(0, colon);
    if (colon == std::string::npos) return true;
    int64_t n = 0;
    if (!parse_int_exact(v.substr(colon + 1), n) || n < 1 || n > 65'535) return false;
    port = static_cast<uint16_t>(n);
    return true;
}

int read_host_command(const std::vector<std::string>& args, const char* command, const Streams& streams,
                      std::string& address, std::optional<uint16_t>& port,
                      const std::function<bool(const std::string& option, const TakeValue& value)>& option) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const TakeValue value = [&](std::string& out) {
            if (i + 1 >= args.size()) return false;
            out = args[++i];
            return true;
        };
        const bool ok = arg.rfind("--", 0) == 0 ? option(arg, value)
                                                : address.empty() && parse_host_address(arg, address, port);
        if (!ok) {
            std::fprintf(streams.err, "sorvane-viewer %s: bad argument %s (see sorvane-viewer --help)\n", command,
                         scrub_control(arg).c_str());
            return kExitUsage;
        }
    }
    if (address.empty()) {
        std::fprintf(streams.err, "sorvane-viewer %s: the host address is missing\n", command);
        return kExitUsage;
    }
    return 0;
}

bool choose_paired_host(const std::string& state_dir, const std::string& address, PairedTarget& out,
                        std::string& error) {
    std::vector<KnownHost> hosts = list_known_hosts(state_dir);
    const KnownHost* chosen = nullptr;
    for (const KnownHost& h : hosts) {
        const std::vector<std::string> order = connect_order(h);
        if (std::find(order.begin(), order.end(), address) != order.end()) chosen = &h;
    }
    if (chosen == nullptr && hosts.size() == 1) chosen = &hosts[0];
    if (chosen == nullptr) {
        error = hosts.empty() ? "no paired host is known in " + state_dir + " (pair first)"
                              : "no paired host has the address " + address;
        return false;
    }
    out.host = *chosen;
    out.candidates = {address};
    for (const std::string& other : connect_order(out.host))
        if (other != address) out.candidates.push_back(other);
    return true;
}

}  // namespace sorvane::viewer::app
