// Verbs of the machine's networks and firewall: adapters and the category of
// their networks, the firewall's profile switches and rules. A running host
// sees each change on its watcher's next pass.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/sim/tool/verbs.h"

namespace sorvane::sim::tool {

namespace {

int refuse(const std::string& why) {
    std::fprintf(stderr, "sorvane-sim: %s\n", why.c_str());
    return 2;
}

const char* category_word(int32_t c) {
    switch (c) {
        case platform::kNetworkCategoryPublic: return "public";
        case platform::kNetworkCategoryPrivate: return "private";
        case platform::kNetworkCategoryDomain: return "domain";
        default: return "?";
    }
}

// "public", "private", "domain" or "none" (-1: no connection in the list).
bool parse_category(const std::string& word, int32_t& out) {
    if (word == "public") out = platform::kNetworkCategoryPublic;
    else if (word == "private") out = platform::kNetworkCategoryPrivate;
    else if (word == "domain") out = platform::kNetworkCategoryDomain;
    else if (word == "none") out = -1;
    else return false;
    return true;
}

// Dotted IPv4 with a prefix length: "192.168.1.20/24".
bool parse_address(const std::string& text, platform::AdapterIpv4& out) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    const std::string ip = text.substr(0, slash);
    int64_t prefix = 0;
    if (!parse_int_exact(text.substr(slash + 1), prefix) || prefix < 1 || prefix > 32) return false;
    int parts = 0;
    size_t start = 0;
    while (start <= ip.size()) {
        size_t end = ip.find('.', start);
        if (end == std::string::npos) end = ip.size();
        int64_t octet = 0;
        if (end == start || end - start > 3 || !parse_int_exact(ip.substr(start, end - start), octet) || octet < 0 ||
            octet > 255) {
            return false;
        }
        ++parts;
        start = end + 1;
    }
    if (parts != 4) return false;
    out.ip = ip;
    out.prefix_length = static_cast<uint8_t>(prefix);
    return true;
}

// What Windows would call an adapter of each kind.
struct AdapterKind {
    const char* word;
    uint32_t if_type;
    const char* description;
};
const AdapterKind kKinds[] = {
    {"wifi", platform::kIfTypeIeee80211, "Intel(R) Wi-Fi 6 AX201 160MHz"},
    {"ethernet", platform::kIfTypeEthernet, "Realtek PCIe GbE Family Controller"},
    {"usb", platform::kIfTypeEthernet, "Remote NDIS based Internet Sharing Device"},
    {"virtual", platform::kIfTypeEthernet, "Hyper-V Virtual Ethernet Adapter"},
};

void print_networks(const NetworkModel& n) {
    if (!n.simulated_adapters) std::printf("adapters: the Linux system's own\n");
    for (const auto& a : n.adapters) {
        std::string addresses;
        for (const auto& ip : a.addresses) {
            if (!addresses.empty()) addresses += ",";
            addresses += ip.ip + "/" + std::to_string(ip.prefix_length);
        }
        std::printf("%-12s index %-3" PRIu32 " %-4s %s %s%s  \"%s\"\n", a.friendly_name.c_str(), a.if_index,
                    a.up ? "up" : "down", a.adapter_name.c_str(), addresses.empty() ? "-" : addresses.c_str(),
                    a.if_index == n.default_route && n.default_route != 0 ? " default-route" : "",
                    a.description.c_str());
    }
    for (const auto& [name, category] : n.categories) {
        const auto reach = n.connectivity.find(name);
        std::printf("category %s %s connectivity 0x%" PRIx32 "\n", name.c_str(), category_word(category),
                    reach != n.connectivity.end() ? reach->second : platform::kConnectivityIpv4Internet);
    }
}

int network_add(Machine& m, const std::vector<std::string>& args) {
    // add NAME KIND IP/PREFIX [--category C] [--default-route] [--index N] [--down]
    if (args.size() < 4) return 2;
    const std::string& name = args[1];
    const AdapterKind* kind = nullptr;
    for (const auto& k : kKinds) {
        if (args[2] == k.word) kind = &k;
    }
    if (kind == nullptr) return refuse("adapter kind must be wifi, ethernet, usb or virtual");
    platform::AdapterIpv4 address;
    if (!parse_address(args[3], address)) return refuse("not an address with a prefix length: " + args[3]);
    int32_t category = platform::kNetworkCategoryPublic;  // what Windows gives a network it does not know
    bool default_route = false;
    bool up = true;
    uint64_t index = 0;
    for (size_t i = 4; i < args.size(); ++i) {
        if (args[i] == "--category" && i + 1 < args.size()) {
            if (!parse_category(args[++i], category)) return refuse("category must be public, private, domain or none");
        } else if (args[i] == "--default-route") {
            default_route = true;
        } else if (args[i] == "--down") {
            up = false;
        } else if (args[i] == "--index" && i + 1 < args.size()) {
            if (!parse_number(args[++i], index) || index == 0 || index > 0xFFFFFFFFu) return refuse("bad index");
        } else {
            return 2;
        }
    }
    bool taken = false;
    if (!m.update("network add " + name, [&](MachineState& s) {
            NetworkModel& n = s.network;
            if (n.find(name) != nullptr) {
                taken = true;
                return;
            }
            platform::NetworkAdapter a;
            a.friendly_name = name;
            a.description = kind->description;
            a.adapter_name = s.new_guid();
            a.if_type = kind->if_type;
            a.if_index = index != 0 ? static_cast<uint32_t>(index) : n.free_index();
            a.up = up;
            a.addresses.push_back(address);
            if (!n.simulated_adapters) {
                n.simulated_adapters = true;
                n.default_route = 0;
            }
            if (default_route) n.default_route = a.if_index;
            if (category >= 0) n.set_category(a.adapter_name, category);
            n.adapters.push_back(std::move(a));
        })) {
        return failed(m);
    }
    if (taken) return refuse("an adapter named " + name + " exists");
    return 0;
}

// Applies fn to the simulated adapter named name; refuses when there is none.
template <class F>
int with_adapter(Machine& m, const std::string& what, const std::string& name, F&& fn) {
    bool found = false;
    if (!m.update(what, [&](MachineState& s) {
            platform::NetworkAdapter* a = s.network.find(name);
            if (a == nullptr) return;
            found = true;
            fn(s.network, *a);
        })) {
        return failed(m);
    }
    return found ? 0 : refuse("no simulated adapter named " + name);
}

}  // namespace

int verb_network(Machine& m, const std::vector<std::string>& args) {
    if (args.empty()) {
        NetworkModel n;
        if (!m.read([&](const MachineState& s) { n = s.network; })) return failed(m);
        print_networks(n);
        return 0;
    }
    const std::string& op = args[0];
    if (op == "add") return network_add(m, args);
    if (op == "remove" && args.size() == 2) {
        return with_adapter(m, "network remove " + args[1], args[1], [](NetworkModel& n, platform::NetworkAdapter& a) {
            const std::string guid = a.adapter_name;
            if (n.default_route == a.if_index) n.default_route = 0;
            n.clear_category(guid);
            std::erase_if(n.adapters, [&](const platform::NetworkAdapter& x) { return x.adapter_name == guid; });
        });
    }
    if ((op == "up" || op == "down") && args.size() == 2) {
        const bool up = op == "up";
        return with_adapter(m, "network " + op + " " + args[1], args[1],
                            [up](NetworkModel&, platform::NetworkAdapter& a) { a.up = up; });
    }
    if (op == "default-route" && args.size() == 2) {
        return with_adapter(m, "network default-route " + args[1], args[1],
                            [](NetworkModel& n, platform::NetworkAdapter& a) { n.default_route = a.if_index; });
    }
    if (op == "category" && args.size() == 3) {
        int32_t category = 0;
        if (!parse_category(args[2], category)) return refuse("category must be public, private, domain or none");
        // A simulated adapter by its name, else a Linux adapter by its system name.
        if (!m.update("network category " + args[1] + " " + args[2], [&](MachineState& s) {
                const platform::NetworkAdapter* a = s.network.find(args[1]);
                const std::string key = a != nullptr ? a->adapter_name : args[1];
                if (category < 0) {
                    s.network.clear_category(key);
                } else {
                    s.network.set_category(key, category);
                }
            })) {
            return failed(m);
        }
        return 0;
    }
    if (op == "connectivity" && args.size() == 3) {
        uint64_t bits = 0;
        if (!parse_number(args[2], bits) || bits > 0xFFFF) return refuse("connectivity: NLM_CONNECTIVITY bits, like 0x40");
        if (!m.update("network connectivity " + args[1] + " " + args[2], [&](MachineState& s) {
                const platform::NetworkAdapter* a = s.network.find(args[1]);
                s.network.set_connectivity(a != nullptr ? a->adapter_name : args[1], static_cast<uint32_t>(bits));
            })) {
            return failed(m);
        }
        return 0;
    }
    if (op == "clear" && args.size() == 1) {
        if (!m.update("network clear", [](MachineState& s) {
                s.network = NetworkModel{};
                s.network.simulated_adapters = true;
            })) {
            return failed(m);
        }
        return 0;
    }
    if (op == "real" && args.size() == 1) {
        if (!m.update("network real", [](MachineState& s) { s.network = NetworkModel{}; })) return failed(m);
        return 0;
    }
    return 2;
}

namespace {

bool parse_profile(const std::string& word, int32_t& bit) {
    if (word == "domain") bit = 1;
    else if (word == "private") bit = 2;
    else if (word == "public") bit = 4;
    else return false;
    return true;
}

std::string profiles_text(int32_t profiles) {
    if (profiles == 0x7FFFFFFF || profiles == -1) return "all";
    std::string t;
    const char* names[3] = {"domain", "private", "public"};
    for (int i = 0; i < 3; ++i) {
        if ((profiles & (1 << i)) == 0) continue;
        if (!t.empty()) t += ",";
        t += names[i];
    }
    return t.empty() ? "none" : t;
}

const char* protocol_text(int32_t p) { return p == 6 ? "tcp" : p == 17 ? "udp" : p == 256 ? "any" : "other"; }

void print_firewall(const FirewallModel& f) {
    const char* names[3] = {"domain", "private", "public"};
    for (int i = 0; i < 3; ++i) {
        const FirewallProfileSwitches& p = f.profiles[i];
        std::printf("profile %-7s %s, inbound default %s%s\n", names[i], p.enabled ? "on" : "off",
                    p.default_inbound_block ? "block" : "allow", p.block_all_inbound ? ", ALL INBOUND BLOCKED" : "");
    }
    for (const auto& r : f.rules) {
        std::printf("%s %s %s %s ports %s profiles %s%s%s%s%s  \"%s\"\n", r.enabled ? "on " : "off",
                    r.direction == 1 ? "in " : "out", r.action == 1 ? "allow" : "block", protocol_text(r.protocol),
                    r.local_ports.empty() ? "-" : r.local_ports.c_str(), profiles_text(r.profiles).c_str(),
                    r.application.empty() ? "" : " app ", r.application.c_str(),
                    r.service_name.empty() ? "" : " service ", r.service_name.c_str(), r.name.c_str());
    }
}

int firewall_add(Machine& m, const std::vector<std::string>& args) {
    // add NAME allow|block [--app PATH] [--ports LIST] [--protocol tcp|udp|any]
    //     [--profiles all|LIST] [--service NAME] [--out] [--disabled]
    if (args.size() < 3) return 2;
    FirewallRule r;
    r.name = args[1];
    if (args[2] == "allow") r.action = 1;
    else if (args[2] == "block") r.action = 0;
    else return 2;
    for (size_t i = 3; i < args.size(); ++i) {
        const bool has_value = i + 1 < args.size();
        if (args[i] == "--app" && has_value) {
            r.application = args[++i];
        } else if (args[i] == "--ports" && has_value) {
            r.local_ports = args[++i];
        } else if (args[i] == "--protocol" && has_value) {
            const std::string& p = args[++i];
            if (p == "tcp") r.protocol = 6;
            else if (p == "udp") r.protocol = 17;
            else if (p == "any") r.protocol = 256;
            else return refuse("protocol must be tcp, udp or any");
        } else if (args[i] == "--profiles" && has_value) {
            const std::string& list = args[++i];
            if (list == "all") {
                r.profiles = 0x7FFFFFFF;
                continue;
            }
            r.profiles = 0;
            size_t start = 0;
            while (start <= list.size()) {
                size_t end = list.find(',', start);
                if (end == std::string::npos) end = list.size();
                int32_t bit = 0;
                if (!parse_profile(list.substr(start, end - start), bit)) return refuse("unknown profile in " + list);
                r.profiles |= bit;
                start = end + 1;
            }
        } else if (args[i] == "--service" && has_value) {
            r.service_name = args[++i];
        } else if (args[i] == "--out") {
            r.direction = 2;
        } else if (args[i] == "--disabled") {
            r.enabled = false;
        } else {
            return 2;
        }
    }
    if (!m.update("firewall add " + r.name, [&](MachineState& s) { s.firewall.rules.push_back(r); })) return failed(m);
    return 0;
}

}  // namespace

int verb_firewall(Machine& m, const std::vector<std::string>& args) {
    if (args.empty()) {
        FirewallModel f;
        if (!m.read([&](const MachineState& s) { f = s.firewall; })) return failed(m);
        print_firewall(f);
        return 0;
    }
    const std::string& op = args[0];
    if (op == "add") return firewall_add(m, args);
    if (op == "remove" && args.size() == 2) {
        bool found = false;
        if (!m.update("firewall remove " + args[1], [&](MachineState& s) { found = s.firewall.remove_one(args[1]); })) {
            return failed(m);
        }
        return found ? 0 : refuse("no rule named " + args[1]);
    }
    if (op == "profile" && args.size() == 4) {
        // profile domain|private|public enabled|block-all on|off | inbound block|allow
        int32_t bit = 0;
        if (!parse_profile(args[1], bit)) return 2;
        const std::string& what = args[2];
        bool value = false;
        if (what == "inbound") {
            if (args[3] != "block" && args[3] != "allow") return 2;
            value = args[3] == "block";
        } else if ((what != "enabled" && what != "block-all") || !parse_on_off(args[3], value)) {
            return 2;
        }
        if (!m.update("firewall profile " + args[1] + " " + what + " " + args[3], [&](MachineState& s) {
                FirewallProfileSwitches* p = s.firewall.profile(bit);
                if (what == "enabled") p->enabled = value;
                else if (what == "block-all") p->block_all_inbound = value;
                else p->default_inbound_block = value;
            })) {
            return failed(m);
        }
        return 0;
    }
    return 2;
}

}  // namespace sorvane::sim::tool
