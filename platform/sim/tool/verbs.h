// The verbs of sorvane-sim. A model that wants its own verb adds a function
// of this shape in its own file here and one row to the table in main.cpp.
#pragma once

#include <string>
#include <vector>

#include "platform/sim/machine.h"

namespace sorvane::sim::tool {

// args are the words after the verb. Returns the exit code: 0 done, 1 the
// machine could not be read or written, 2 usage.
using VerbFn = int (*)(Machine& machine, const std::vector<std::string>& args);

struct Verb {
    const char* name;
    const char* usage;  // one or more lines, each starting with the verb
    VerbFn run;
};

// Parses a decimal or 0x-prefixed hexadecimal unsigned number.
bool parse_number(const std::string& text, uint64_t& out);
// "on"/"yes" or "off"/"no"; false for any other word.
bool parse_on_off(const std::string& word, bool& out);
// Prints the machine's last error and gives the exit code 1.
int failed(Machine& m);

int verb_init(Machine& m, const std::vector<std::string>& args);
int verb_dump(Machine& m, const std::vector<std::string>& args);
int verb_set(Machine& m, const std::vector<std::string>& args);
int verb_fault(Machine& m, const std::vector<std::string>& args);
int verb_reg(Machine& m, const std::vector<std::string>& args);
int verb_journal(Machine& m, const std::vector<std::string>& args);
int verb_pipe(Machine& m, const std::vector<std::string>& args);
int verb_topology(Machine& m, const std::vector<std::string>& args);
int verb_foreground(Machine& m, const std::vector<std::string>& args);
int verb_input(Machine& m, const std::vector<std::string>& args);
int verb_power(Machine& m, const std::vector<std::string>& args);
int verb_startup(Machine& m, const std::vector<std::string>& args);
int verb_network(Machine& m, const std::vector<std::string>& args);
int verb_firewall(Machine& m, const std::vector<std::string>& args);
int verb_tray(Machine& m, const std::vector<std::string>& args);
int verb_shell(Machine& m, const std::vector<std::string>& args);
int verb_workstation(Machine& m, const std::vector<std::string>& args);
// init's display options (--gpus N, --monitors WxH@R[,...]|none); false when not one of them or bad.
bool parse_display_option(const std::string& option, const std::string& value, MachineSetup& setup);

}  // namespace sorvane::sim::tool
