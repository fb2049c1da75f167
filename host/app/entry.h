// sorvane-host's entry: one-shot commands, options, run mode, log, and the
// hand-over to the start-up sequence.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sorvane {

// A one-shot command: handled when it is the first argument, then the process ends.
struct OneShotCommand {
    std::string name;
    // Arguments after the command (may be empty); returns the exit code.
    std::function<int(const std::vector<std::string>& rest)> run;
};

// The commands of this build.
std::vector<OneShotCommand> one_shot_commands();

// The whole program; returns the exit code.
int host_main(int argc, char** argv);

}  // namespace sorvane
