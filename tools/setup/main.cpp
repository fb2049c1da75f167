// sorvane-setup: the elevated installer helper.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/setup/setup.h"

int main(int argc, char** argv) {
    using namespace sorvane;
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto registry = platform::make_system_registry();
    auto system = platform::make_system_info();
    auto signing = platform::make_code_signing();
    auto firewall = platform::make_firewall_policy();
    auto clock = platform::make_system_clock();
    auto runner = platform::make_process_runner(*clock);
    auto paths = platform::make_system_paths();
    setup::Ports ports{*registry, *system, *signing, *firewall, *runner, *clock, *paths,
                       [](std::string_view line) {
                           std::fwrite(line.data(), 1, line.size(), stdout);
                           std::fputc('\n', stdout);
                           std::fflush(stdout);
                       }};
    return setup::run(args, ports);
}
