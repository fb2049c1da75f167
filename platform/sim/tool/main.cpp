// sorvane-sim: creates, shows and steers the simulated Windows machine in
// $SORVANE_SIM_ROOT (or the per-user default folder).
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/tool/verbs.h"

namespace {

using sorvane::sim::tool::Verb;

const Verb kVerbs[] = {
    {"init",
     "init [--build N] [--arch x64|arm64|x86] [--language en-US|tr-TR] [--not-elevated] [--s-mode]\n"
     "     [--computer-name NAME] [--seed N] [--gpus N] [--monitors WxH@R[,WxH@R...]|none]\n"
     "                                        a fresh machine (default: Windows 11 x64, elevated admin,\n"
     "                                        one render GPU with one 1920x1080@60 monitor)",
     sorvane::sim::tool::verb_init},
    {"dump", "dump                                   the canonical dump of every model", sorvane::sim::tool::verb_dump},
    {"set",
     "set elevated yes|no | build N | arch A | language L | s-mode on|off | computer-name NAME\n"
     "    | code-page N | user-sid SID|auto | administrator yes|no | interactive-user SID|auto|none\n"
     "                                        the token every process of the user gets: elevated, its\n"
     "                                        user, and whether that user is in Administrators (the\n"
     "                                        group admits only while elevated); drivers run as LOCAL SERVICE",
     sorvane::sim::tool::verb_set},
    {"fault",
     "fault POINT NTH CODE [TIMES]           the NTH call of POINT fails with CODE (TIMES calls)\n"
     "fault POINT NTH hang                   from the NTH call on, calls of POINT never answer until cleared\n"
     "fault clear [POINT] | fault list",
     sorvane::sim::tool::verb_fault},
    {"reg", "reg HKLM|HKCU\\KEY                      the key's values and subkeys", sorvane::sim::tool::verb_reg},
    {"journal", "journal                                the change journal", sorvane::sim::tool::verb_journal},
    {"topology",
     "topology                               tables of the GPUs, the displays (position, mode, physical\n"
     "                                       or virtual), the monitors and the remembered positions\n"
     "topology displays                      the displays table only\n"
     "topology gpu LUID low-power|renders|software yes|no | vendor|device N | name TEXT\n"
     "topology edid LUID/TARGET              the EDID Windows keeps for that monitor (raw bytes)",
     sorvane::sim::tool::verb_topology},
    {"foreground",
     "foreground [--elevated NAME | --normal [NAME] | --none]\n"
     "                                       the process of the foreground window (UIPI drops input\n"
     "                                       of a process that is not elevated to an elevated one)",
     sorvane::sim::tool::verb_foreground},
    {"input",
     "input                                  the input journal: keys, text, pointer, touch\n"
     "input clear | input desktop Default|Winlogon",
     sorvane::sim::tool::verb_input},
    {"power", "power suspend|resume-user|resume-auto  the event, to every process of the machine",
     sorvane::sim::tool::verb_power},
    {"startup", "startup                                the user's Startup folder and its shortcuts",
     sorvane::sim::tool::verb_startup},
    {"network",
     "network                                adapters, default route and network categories\n"
     "network add NAME wifi|ethernet|usb|virtual IP/PREFIX [--category public|private|domain|none]\n"
     "        [--default-route] [--index N] [--down]\n"
     "                                       a simulated adapter (from the first one on, the machine's\n"
     "                                       adapters are its simulated ones; new networks are public)\n"
     "network remove|up|down|default-route NAME | network clear (no adapters) | network real\n"
     "network category NAME public|private|domain|none | network connectivity NAME BITS\n"
     "                                       NAME: a simulated adapter, or a Linux adapter's name",
     sorvane::sim::tool::verb_network},
    {"firewall",
     "firewall                               profiles and rules\n"
     "firewall profile domain|private|public enabled|block-all on|off | inbound block|allow\n"
     "firewall add NAME allow|block [--app PATH] [--ports LIST] [--protocol tcp|udp|any]\n"
     "        [--profiles all|private,public,...] [--service NAME] [--out] [--disabled]\n"
     "firewall remove NAME",
     sorvane::sim::tool::verb_firewall},
    {"tray",
     "tray                                   each tray window: icon (state, symbols), tooltip, balloons, open menu\n"
     "tray click left|right | tray menu ID | tray balloon-click\n"
     "                                       what the user does to the notification icon and its menu\n"
     "tray taskbar-created | tray theme light|dark\n"
     "                                       Explorer restarts / Windows switches its theme",
     sorvane::sim::tool::verb_tray},
    {"shell", "shell                                  what the shell was asked to open, oldest first",
     sorvane::sim::tool::verb_shell},
    {"workstation",
     "workstation                            the user, processors, memory and security products\n"
     "workstation user NAME [--profile FOLDER]  rename the account (the profile folder keeps its name)\n"
     "workstation cpus N | memory-mib N | cpu-name TEXT\n"
     "workstation wmi on|off | security-center on|off\n"
     "workstation antivirus NAME[,NAME...]|none | firewall-products NAME[,NAME...]|none",
     sorvane::sim::tool::verb_workstation},
    {"pipe", "pipe NAME                              the socket path of \\\\.\\pipe\\NAME",
     sorvane::sim::tool::verb_pipe},
};

void usage() {
    std::fputs("usage: sorvane-sim VERB ...   (machine folder: $SORVANE_SIM_ROOT)\n", stderr);
    for (const auto& v : kVerbs) {
        std::string u = v.usage;
        size_t start = 0;
        while (start < u.size()) {
            size_t end = u.find('\n', start);
            if (end == std::string::npos) end = u.size();
            std::fprintf(stderr, "  sorvane-sim %s\n", u.substr(start, end - start).c_str());
            start = end + 1;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    const std::string verb = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const auto& v : kVerbs) {
        if (verb != v.name) continue;
        auto machine = sorvane::sim::Machine::open_default();
        machine->set_actor("sorvane-sim");
        const int rc = v.run(*machine, args);
        if (rc == 2) usage();
        return rc;
    }
    usage();
    return 2;
}
