// sorvane-devtool: the driver's root device node (find, install, remove).
#include <cstdio>
#include <string>
#include <vector>

#include "platform/device_manager.h"
#include "platform/system_info.h"
#include "tools/devtool/devtool.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    auto devices = sorvane::platform::make_device_manager();
    auto system = sorvane::platform::make_system_info();
    std::string out;
    const int code = sorvane::devtool::run(args, *devices, *system, out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return code;
}
