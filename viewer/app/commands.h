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
int run_pair(const std::vector<std::string>& args, const Streams& streams);
int run_connect(const std::vector<std::string>& args, const Streams& streams);
int run_stream(const std::vector<std::string>& args, const Streams& streams);
int run_show(const std::vector<std::string>& args, const Streams& streams);

// One line of progress on the command's output, flushed at once: the
// commands run for a while, and whoever watches them (a person or a script)
// wants each line as it comes.
void say(const Streams& streams, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The viewer's state folder: $SORVANE_VIEWER_STATE, else
// $XDG_STATE_HOME/sorvane-viewer, else ~/.local/state/sorvane-viewer.
std::string default_state_dir();

// The viewer's own client id, made once and kept in state_dir/client_id.txt.
bool viewer_client_id(const std::string& state_dir, std::string& id, std::string& error);

}  // namespace sorvane::viewer::app
