#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/pipe.h"
#include "platform/sim/tool/verbs.h"

namespace sorvane::sim::tool {

namespace {

using platform::RegistryHive;

bool parse_yes_no(const std::string& v, bool& out) {
    const std::string l = ascii_lower(v);
    if (l == "yes" || l == "on" || l == "true" || l == "1") {
        out = true;
        return true;
    }
    if (l == "no" || l == "off" || l == "false" || l == "0") {
        out = false;
        return true;
    }
    return false;
}

bool valid_arch(const std::string& a) { return a == "x64" || a == "arm64" || a == "x86"; }

}  // namespace

int failed(Machine& m) {
    std::fprintf(stderr, "sorvane-sim: %s\n", m.last_error().c_str());
    return 1;
}

bool parse_on_off(const std::string& word, bool& out) {
    if (word == "on" || word == "yes") out = true;
    else if (word == "off" || word == "no") out = false;
    else return false;
    return true;
}

bool parse_number(const std::string& text, uint64_t& out) {
    if (text.empty()) return false;
    int base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        uint64_t d = 0;
        if (c >= '0' && c <= '9') d = static_cast<uint64_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<uint64_t>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<uint64_t>(c - 'A' + 10);
        else return false;
        if (v > (UINT64_MAX - d) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + d;
    }
    out = v;
    return true;
}

int verb_init(Machine& m, const std::vector<std::string>& args) {
    MachineSetup setup;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        uint64_t n = 0;
        if (a == "--not-elevated") {
            setup.elevated = false;
        } else if (a == "--s-mode") {
            setup.s_mode = true;
        } else if (a == "--build" && has_value && parse_number(args[i + 1], n) && n <= UINT32_MAX) {
            setup.build = static_cast<uint32_t>(n);
            ++i;
        } else if (a == "--arch" && has_value && valid_arch(args[i + 1])) {
            setup.architecture = args[++i];
        } else if (a == "--language" && has_value) {
            setup.language = args[++i];
        } else if (a == "--computer-name" && has_value) {
            setup.computer_name = args[++i];
        } else if (has_value && parse_display_option(a, args[i + 1], setup)) {
            ++i;
        } else if (a == "--seed" && has_value && parse_number(args[i + 1], n)) {
            setup.seed = n;
            ++i;
        } else {
            std::fprintf(stderr, "sorvane-sim init: bad argument '%s'\n", scrub_control(a).c_str());
            return 2;
        }
    }
    if (!m.initialize(setup)) return failed(m);
    char self[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string exe = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    if (!m.install_system_programs(exe.substr(0, exe.find_last_of('/')))) return failed(m);
    std::printf("simulated machine ready: %s\n", m.folder().c_str());
    return 0;
}

int verb_dump(Machine& m, const std::vector<std::string>& args) {
    if (!args.empty()) return 2;
    std::string text;
    if (!m.dump(text)) return failed(m);
    std::fputs(text.c_str(), stdout);
    return 0;
}

int verb_set(Machine& m, const std::vector<std::string>& args) {
    if (args.size() != 2) return 2;
    const std::string& key = args[0];
    const std::string& value = args[1];
    bool yes = false;
    uint64_t n = 0;
    std::function<void(MachineState&)> change;
    if (key == "elevated" && parse_yes_no(value, yes)) {
        change = [yes](MachineState& s) { s.system.elevated = yes; };
    } else if (key == "build" && parse_number(value, n) && n <= UINT32_MAX) {
        change = [value](MachineState& s) {
            s.registry.set_sz(RegistryHive::local_machine, kCurrentVersionKey, "CurrentBuildNumber", value);
            s.registry.set_sz(RegistryHive::local_machine, kCurrentVersionKey, "CurrentBuild", value);
        };
    } else if (key == "arch" && valid_arch(value)) {
        change = [value](MachineState& s) { s.system.architecture = value; };
    } else if (key == "language") {
        change = [value](MachineState& s) {
            s.system.language = value;
            s.system.oem_code_page = value.rfind("tr", 0) == 0 ? 857 : 437;
        };
    } else if (key == "code-page" && parse_number(value, n) && n <= UINT32_MAX) {
        change = [n](MachineState& s) { s.system.oem_code_page = static_cast<uint32_t>(n); };
    } else if (key == "s-mode" && parse_yes_no(value, yes)) {
        change = [yes](MachineState& s) {
            if (yes) s.registry.set_dword(RegistryHive::local_machine, kCiPolicyKey, "SkuPolicyRequired", 1);
            else s.registry.delete_value(RegistryHive::local_machine, kCiPolicyKey, "SkuPolicyRequired");
        };
    } else if (key == "computer-name") {
        change = [value](MachineState& s) { s.system.computer_name = value; };
    } else if (key == "user-sid" && (value == "auto" || platform::string_sid_valid(value))) {
        change = [value](MachineState& s) { s.system.user_sid = value; };
    } else if (key == "administrator" && parse_yes_no(value, yes)) {
        change = [yes](MachineState& s) { s.system.administrator = yes; };
    } else if (key == "interactive-user") {
        change = [value](MachineState& s) { s.system.interactive_user = value; };
    } else {
        std::fprintf(stderr, "sorvane-sim set: unknown fact or bad value\n");
        return 2;
    }
    if (!m.update("set " + key + " " + value, change)) return failed(m);
    return 0;
}

int verb_fault(Machine& m, const std::vector<std::string>& args) {
    if (args.empty()) return 2;
    if (args[0] == "list" && args.size() == 1) {
        bool ok = m.read([](const MachineState& s) {
            for (const auto& f : s.faults.faults())
                std::printf("%s nth=%" PRIu64 " code=0x%08" PRIX32 " times=%" PRIu64 " calls=%" PRIu64 "\n",
                            f.point.c_str(), f.nth, f.code, f.times, f.calls);
        });
        return ok ? 0 : failed(m);
    }
    if (args[0] == "clear" && args.size() <= 2) {
        const std::string point = args.size() == 2 ? args[1] : std::string();
        return m.update("fault clear " + point, [&](MachineState& s) { s.faults.clear(point); }) ? 0 : failed(m);
    }
    uint64_t nth = 0;
    uint64_t code = 0;
    uint64_t times = 1;
    if ((args.size() != 3 && args.size() != 4) || !parse_number(args[1], nth) || nth == 0 ||
        !(args[2] == "hang" ? (code = kFaultHang, true) : parse_number(args[2], code)) || code > UINT32_MAX || code == 0 ||
        (args.size() == 4 && (!parse_number(args[3], times) || times == 0)))
        return 2;
    const std::string point = args[0];
    const bool ok = m.update("fault arm " + point, [&](MachineState& s) {
        s.faults.arm(point, nth, static_cast<uint32_t>(code), times);
    });
    return ok ? 0 : failed(m);
}

int verb_reg(Machine& m, const std::vector<std::string>& args) {
    if (args.size() != 1) return 2;
    const std::string& path = args[0];
    const size_t slash = path.find('\\');
    RegistryHive hive;
    if (!RegistryModel::parse_hive(path.substr(0, slash), hive)) return 2;
    const std::string key = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    int rc = 0;
    const bool ok = m.read([&](const MachineState& s) {
        std::vector<std::string> names;
        if (s.registry.list_values(hive, key, names) != 0) {
            std::fprintf(stderr, "sorvane-sim reg: no key %s\n", scrub_control(path).c_str());
            rc = 1;
            return;
        }
        for (const auto& name : names) {
            platform::RegistryValue v;
            s.registry.get_value(hive, key, name, v);
            std::string text;
            std::vector<std::string> list;
            uint32_t d = 0;
            if (platform::read_sz(v, text)) {
                std::printf("  %s  REG_SZ  %s\n", name.c_str(), text.c_str());
            } else if (platform::read_multi_sz(v, list)) {
                std::printf("  %s  REG_MULTI_SZ ", name.c_str());
                for (const auto& item : list) std::printf(" %s", item.c_str());
                std::printf("\n");
            } else if (platform::read_dword(v, d)) {
                std::printf("  %s  REG_DWORD  0x%08" PRIx32 "\n", name.c_str(), d);
            } else {
                std::printf("  %s  type %" PRIu32 "  %s\n", name.c_str(), v.type,
                            to_hex(v.data.data(), v.data.size()).c_str());
            }
        }
        s.registry.list_subkeys(hive, key, names);
        for (const auto& name : names) std::printf("  %s\\\n", name.c_str());
    });
    return ok ? rc : failed(m);
}

int verb_journal(Machine& m, const std::vector<std::string>& args) {
    if (!args.empty()) return 2;
    std::fputs(m.journal().c_str(), stdout);
    return 0;
}

int verb_pipe(Machine& m, const std::vector<std::string>& args) {
    if (args.size() != 1) return 2;
    std::string name = args[0];
    if (name.find('\\') == std::string::npos && name.find('/') == std::string::npos) name = "\\\\.\\pipe\\" + name;
    const std::string path = pipe_socket_path(m.folder(), name);
    if (path.empty()) return 2;
    std::printf("%s\n", path.c_str());
    return 0;
}

}  // namespace sorvane::sim::tool
