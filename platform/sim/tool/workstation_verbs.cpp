// The workstation verb: the user account, processors, memory and the
// security products of the simulated machine.
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "platform/sim/tool/verbs.h"

namespace sorvane::sim::tool {

namespace {

// What Windows accepts as an account or profile folder name: 1 to 20
// characters of valid UTF-8, none of " / \ [ ] : ; | = , + * ? < > or a
// control character, and not only dots and blanks.
bool valid_account_name(const std::string& name) {
    if (name.empty() || !is_valid_utf8(name)) return false;
    size_t characters = 0;
    bool only_dots_and_blanks = true;
    for (size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F || std::string_view("\"/\\[]:;|=,+*?<>").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
        if (c != '.' && c != ' ') only_dots_and_blanks = false;
        i += utf8_sequence_length(std::string_view(name).substr(i));
        ++characters;
    }
    return characters <= 20 && !only_dots_and_blanks;
}

std::vector<std::string> product_list(const std::string& text) {
    std::vector<std::string> out;
    if (text == "none") return out;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!item.empty()) out.push_back(scrub_text(item));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

std::string joined(const std::vector<std::string>& items) {
    if (items.empty()) return "(none)";
    std::string out;
    for (const auto& i : items) out += (out.empty() ? "" : ", ") + i;
    return out;
}

}  // namespace

int verb_workstation(Machine& m, const std::vector<std::string>& args) {
    if (args.empty()) {
        WorkstationModel w;
        std::string cpu;
        if (!m.read([&](const MachineState& s) {
                w = s.workstation;
                platform::RegistryValue v;
                if (s.registry.get_value(platform::RegistryHive::local_machine, kProcessorKey, "ProcessorNameString", v) == 0)
                    platform::read_sz(v, cpu);
            }))
            return failed(m);
        std::printf("user %s, profile %s\n", w.user_name.c_str(), profile_path(w).c_str());
        std::printf("processor %s, %" PRIu32 " logical\n", cpu.c_str(), w.logical_processors);
        std::printf("memory %" PRIu64 " MiB\n", w.memory_bytes >> 20);
        std::printf("wmi %s, security center %s\n", w.wmi ? "on" : "off", w.security_center ? "on" : "off");
        std::printf("antivirus %s\n", joined(w.antivirus).c_str());
        std::printf("firewall products %s\n", joined(w.firewall_products).c_str());
        return 0;
    }
    const std::string& what = args[0];
    std::function<void(MachineState&)> change;
    uint64_t n = 0;
    bool on = false;
    if (what == "user" && (args.size() == 2 || (args.size() == 4 && args[2] == "--profile"))) {
        const std::string name = args[1];
        const std::string profile = args.size() == 4 ? args[3] : std::string();
        if (!valid_account_name(name) || (args.size() == 4 && !valid_account_name(profile))) {
            std::fprintf(stderr, "sorvane-sim workstation: not an account name Windows accepts\n");
            return 2;
        }
        change = [=](MachineState& s) {
            s.workstation.user_name = name;
            if (!profile.empty()) s.workstation.profile_folder = profile;
        };
    } else if (what == "cpus" && args.size() == 2 && parse_number(args[1], n) && n >= 1 && n <= 2048) {
        change = [=](MachineState& s) { s.workstation.logical_processors = static_cast<uint32_t>(n); };
    } else if (what == "memory-mib" && args.size() == 2 && parse_number(args[1], n) && n >= 1 && n <= (1u << 24)) {
        change = [=](MachineState& s) { s.workstation.memory_bytes = n << 20; };
    } else if (what == "cpu-name" && args.size() == 2) {
        const std::string name = scrub_text(args[1]);
        change = [=](MachineState& s) {
            s.registry.set_sz(platform::RegistryHive::local_machine, kProcessorKey, "ProcessorNameString", name);
        };
    } else if (what == "wmi" && args.size() == 2 && parse_on_off(args[1], on)) {
        change = [=](MachineState& s) { s.workstation.wmi = on; };
    } else if (what == "security-center" && args.size() == 2 && parse_on_off(args[1], on)) {
        change = [=](MachineState& s) { s.workstation.security_center = on; };
    } else if (what == "antivirus" && args.size() == 2) {
        const auto list = product_list(args[1]);
        change = [=](MachineState& s) { s.workstation.antivirus = list; };
    } else if (what == "firewall-products" && args.size() == 2) {
        const auto list = product_list(args[1]);
        change = [=](MachineState& s) { s.workstation.firewall_products = list; };
    } else {
        return 2;
    }
    return m.update("workstation " + what, change) ? 0 : failed(m);
}

}  // namespace sorvane::sim::tool
