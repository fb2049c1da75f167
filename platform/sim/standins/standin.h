// Shared pieces of the system programs of the simulated machine (pnputil,
// icacls, cmd): output in the console's OEM code page with CRLF line ends,
// and Windows exit codes wider than a Linux exit status.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sim/machine.h"

namespace sorvane::sim::standin {

class Console {
public:
    explicit Console(const SystemModel& system) : cp_(system.oem_code_page), tr_(system.language.rfind("tr", 0) == 0) {}
    bool turkish() const { return tr_; }
    // Writes one line (UTF-8 in) as OEM bytes followed by CR LF.
    void line(const std::string& text = {});
    // Label padded to a column, then the value.
    void field(const std::string& label, const std::string& value, size_t width = 24);

private:
    uint32_t cp_;
    bool tr_;
};

// Ends the program with a Windows exit code: codes above 255 also go to the
// file named by SORVANE_EXIT_CODE_PATH for the process runner.
[[noreturn]] void exit_with(uint32_t code);

// The one name of a file system object: absolute, "." and ".." taken by the
// name alone (as Windows reads paths), links resolved; empty when nothing is
// at path.
std::string canonical_path(const std::string& path);
// The identity of what is at path: device, inode and birth time where the file
// system keeps one; empty when nothing is there.
std::string file_id(const std::string& path);
// Whether changing what is at a canonical path needs an elevated token:
// everything on the machine's own drive (its folder: Windows, ProgramData)
// belongs to the system and its administrators.
bool needs_elevation(const Machine& machine, const std::string& canonical);

}  // namespace sorvane::sim::standin
