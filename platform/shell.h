// Shell port: opening a document, folder or URI (a settings page like
// "ms-settings:display") with the shell's "open" verb in a normal window,
// and showing a file selected in its folder's window.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/paths.h"

namespace sorvane::platform {

class IShell {
public:
    virtual ~IShell() = default;
    // The shell's result code: above 32 when the open succeeded, else the
    // failure (2 file not found, 5 access denied, 31 no association, ...).
    virtual int64_t open(const std::string& target) = 0;
    // Opens the folder of path with path selected (explorer.exe "/select,");
    // a shell that cannot select opens the folder. The result as for open.
    virtual int64_t show_in_folder(const std::string& path) { return open(parent_of(path)); }
};

// Windows: the system shell. Linux: the simulated machine's shell, which
// journals each open (2 when no simulated machine is set up).
std::unique_ptr<IShell> make_shell();

}  // namespace sorvane::platform
