// This program's own process: the file it runs from, and starting it again.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorvane::platform {

// The full path of this program's executable file (GetModuleFileNameW).
bool module_file_name(std::string& out);

// Starts a new process of this program with this process's command line
// followed by extra_args, inheriting no handles and with the default start-up
// information, and does not wait for it. 0 on success, else the system's
// error code.
uint32_t start_self_again(const std::vector<std::string>& extra_args);

}  // namespace sorvane::platform
