// Shell links (.lnk shortcut files) and the user's Startup folder, whose
// shortcuts Windows starts at logon.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sorvane::platform {

struct ShellLink {
    std::string target;             // the program's full path
    std::string working_directory;  // empty: none
    std::string description;
    bool operator==(const ShellLink&) const = default;
};

class IShellLinks {
public:
    virtual ~IShellLinks() = default;
    // The current user's Startup folder (the known folder FOLDERID_Startup).
    // False when the system does not know it.
    virtual bool startup_folder(std::string& out) = 0;
    // Creates the shortcut file path, replacing one that exists. 0, or the
    // HRESULT of the step that failed (0x80070003 for a folder that does not exist).
    virtual uint32_t save(const std::string& path, const ShellLink& link) = 0;
    // Reads a shortcut file: 0, or the HRESULT (0x80070002 when there is none).
    virtual uint32_t load(const std::string& path, ShellLink& out) = 0;
    virtual bool exists(const std::string& path) = 0;
    // Deletes the shortcut file: 0, 2 when there was none, else the Win32 error.
    virtual uint32_t remove(const std::string& path) = 0;
};

// Windows: the shell's link objects and known folders. Linux: the simulated
// machine's Startup folder (sorvane-sim startup shows it).
std::unique_ptr<IShellLinks> make_shell_links();

}  // namespace sorvane::platform
