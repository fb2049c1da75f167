// Pieces of the command lines that several subcommands share.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "viewer/app/commands.h"
#include "viewer/pairing/pairing_session.h"

namespace sorvane::viewer::app {

// A plain decimal number ("2", "0.25"), read the same in every locale.
bool parse_decimal(const std::string& v, double& out);
// "WHAT@SECONDS" with SECONDS a decimal number up to a day; at_ms in milliseconds.
bool split_at(const std::string& v, std::string& what, uint64_t& at_ms);

struct DisplayMode {
    uint16_t width = 0;
    uint16_t height = 0;
    uint16_t hz = 0;
};
// "WxH@Hz".
bool parse_mode(const std::string& v, DisplayMode& out);
// "IPv4[:PORT]".
bool parse_host_address(const std::string& v, std::string& address, std::optional<uint16_t>& port);

// Takes the argument after an option as its value; false when there is none.
using TakeValue = std::function<bool(std::string& value)>;
// Reads the arguments of a command aimed at a host (stream, show): option
// handles each argument that starts with "--" and says whether it was
// understood, with its value; the one argument that does not is the host
// address ("IPv4[:PORT]"). 0 when all was understood, else the usage exit
// code after saying what was not.
int read_host_command(const std::vector<std::string>& args, const char* command, const Streams& streams,
                      std::string& address, std::optional<uint16_t>& port,
                      const std::function<bool(const std::string& option, const TakeValue& value)>& option);

// The paired host to connect to: the one that has address among its
// addresses, else the only one known; candidates are its addresses in the
// order to try, address first.
struct PairedTarget {
    KnownHost host;
    std::vector<std::string> candidates;
};
bool choose_paired_host(const std::string& state_dir, const std::string& address, PairedTarget& out,
                        std::string& error);

}  // namespace sorvane::viewer::app
