// Process runner port: runs a child program from one Windows command line
// and collects what it writes. Standard output and standard error go to one
// pipe read in chunks of 4,096 bytes; standard input is the caller's. One
// deadline covers reading and waiting: a child still running at the deadline
// is terminated. The program is the command line's first word as a full
// path: no search path is consulted, so a system tool must be named by its
// System32 path.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"

namespace sorvane::platform {

struct ChildResult {
    bool started = false;
    bool timed_out = false;  // terminated at the deadline
    int64_t exit_code = -1;  // -1 when the child could not be started
    std::string output;      // raw bytes (the child's OEM code page)
    std::string error;       // why it could not start, for logs
};

class IProcessRunner {
public:
    virtual ~IProcessRunner() = default;
    virtual ChildResult run(std::string_view command_line, uint64_t timeout_ms) = 0;
};

// Deadlines are read from clock.
std::unique_ptr<IProcessRunner> make_process_runner(IClock& clock);

// Splits a command line the way Windows programs read theirs: the program
// name ends at its closing quote or at the first blank; in the arguments,
// blanks separate words outside quotes, 2n backslashes before a quote give n
// backslashes and the quote opens or closes a quoted part, 2n+1 give n
// backslashes and a literal quote, "" inside quotes is a literal quote, and
// other backslashes are literal.
std::vector<std::string> split_command_line(std::string_view command_line);

// The argument quoted so that split_command_line gives it back unchanged
// (left as it is when it needs no quotes).
std::string quote_argument(std::string_view arg);

}  // namespace sorvane::platform
