#include <string>
#include <vector>

#include "viewer/app/commands.h"

// Under the leak checker of sanitized builds: the window system's libraries
// (SDL's D-Bus and X connections) keep allocations for the process's life.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdbus-1.so\nleak:libX11.so\nleak:libxcb.so\nleak:libSDL2\n";
}

int main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return sorvane::viewer::app::run(args, sorvane::viewer::app::Streams{});
}
