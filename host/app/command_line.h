// Parsing of sorvane-host's options into HostOptions and RunSettings.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "host/core/options.h"

namespace sorvane {

inline constexpr int kExitUsage = 64;

extern const char kUsageText[];

struct ParseOutcome {
    bool ok = true;
    std::string message;  // the one-line error, with its line end
    bool gpu_pref_restarted = false;
    bool no_gpu_pref = false;
};

// Parses args (without the program name) left to right into options and run
// settings, which the caller has filled with their defaults.
ParseOutcome parse_options(const std::vector<std::string>& args, HostOptions& options, RunSettings& run);

// "a.b.c.d" with four numbers of at most 255 and nothing after the fourth.
bool parse_allow_ip(std::string_view text, uint32_t& out);

}  // namespace sorvane
