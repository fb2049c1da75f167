// The named single-instance guard of the tray host (a named mutex on Windows,
// a lock file on Linux), and the show-panel request a second start sends to
// the instance that holds it.
#pragma once

#include <memory>
#include <string>

namespace sorvane::platform {

class InstanceGuard {
public:
    virtual ~InstanceGuard() = default;
};

// Creates the guard named name, owned by this process. already_existed tells
// whether another process held it; the guard is then null.
std::unique_ptr<InstanceGuard> create_instance_guard(const std::string& name, bool& already_existed);

// Asks the running tray host (window class "SorvaneTrayWindow") to open its
// panel. False when no such window was found.
bool request_running_instance_panel();

}  // namespace sorvane::platform
