// Facts about the machine.
#pragma once

#include <string>

namespace sorvane::platform {

// The computer's name (the NetBIOS name on Windows, the host name on Linux).
bool computer_name(std::string& out);

// Value of an environment variable; false when it is not set.
bool get_env(const char* name, std::string& out);

// %NAME% replaced by the environment's value (as firewall rules and shortcuts
// write paths); names not set stay as written.
std::string expand_environment(const std::string& text);

}  // namespace sorvane::platform
