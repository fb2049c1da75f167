// Known folders and path helpers. On Windows the folders are the shell's known
// folders; on Linux the local application data folder is $LOCALAPPDATA when set,
// else $XDG_DATA_HOME, else ~/.local/share.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace sorvane::platform {

class IPaths {
public:
    virtual ~IPaths() = default;
    // The per-user local application data folder. False when the machine has
    // none; the result is never empty when true.
    virtual bool local_app_data(std::string& out) = 0;
    // The machine-wide application data folder (C:\ProgramData on Windows).
    // On Linux: $PROGRAMDATA when set, else the simulated machine's
    // ProgramData folder under $SORVANE_SIM_ROOT, else /var/tmp/sorvane-programdata.
    virtual bool program_data(std::string& out) = 0;
    // The current working directory.
    virtual bool working_directory(std::string& out) = 0;
    // The user's desktop folder. On Linux: the simulated machine's user's
    // desktop under $SORVANE_SIM_ROOT; false when that machine is not set up.
    virtual bool desktop(std::string& out) = 0;
};

std::unique_ptr<IPaths> make_system_paths();

// The separator this platform writes between path parts.
char path_separator();

// a + separator + b; a alone when b is empty, b alone when a is empty; no
// doubled separator when a already ends in one.
std::string join_path(std::string_view a, std::string_view b);

// The part of path up to and including its last slash or backslash; empty
// when it has neither.
std::string directory_part(std::string_view path);

// The part of path before its last slash or backslash; empty when it has neither.
std::string parent_of(std::string_view path);

}  // namespace sorvane::platform
