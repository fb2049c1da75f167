// The sorvane-viewer command line: one subcommand per job, each a thin layer
// over the viewer libraries.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace sorvane::viewer::app {

// Exit codes shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Streams {
    std::FILE* in = stdin;
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

// args excludes the program name.
int run(const std::vector<std::string>& args, const Streams& streams);

// Subcommands; args excludes the subcommand's name.
int run_decode(const std::vector<std::string>& args, const Streams& streams);

}  // namespace sorvane::viewer::app
