// Helpers the port suites share: a private temporary folder, and running this
// test program again as a child process in a named role (for what only a
// second process can show: a held named mutex, a control event).
#pragma once

#include <string>

namespace sorvane::port_test {

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const;

private:
    std::string path_;
};

// A child role: the function gets the argument and returns the exit code.
using ChildMain = int (*)(const std::string& arg);

// Registers a role at static initialisation.
struct ChildRole {
    ChildRole(const char* role, ChildMain main);
};

// Runs this program as `--port-child role arg` and returns its exit code, or
// -1 when it could not be started or did not end within a minute. own_group
// puts it in a process group of its own (console events then reach it alone).
int run_child(const std::string& role, const std::string& arg, bool own_group = false);

// Dispatches a child role; used by main. Returns -1 when argv names no role.
int run_child_role(int argc, char** argv);

// A name no other run of the suites uses.
std::string unique_name(const std::string& prefix);

// True when only the file's owner (and, on Windows, the system account) may
// open it: mode bits 0600/0700 on Linux, a protected ACL of those two on Windows.
bool owner_only(const std::string& path);

// True when this Windows program runs under Wine (for naming what Wine lacks).
bool under_wine();

// Sets an environment variable of this process.
void set_env(const std::string& name, const std::string& value);

}  // namespace sorvane::port_test
