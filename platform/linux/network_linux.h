// The Linux system's own adapter list (getifaddrs and /sys/class/net).
#pragma once

#include <memory>

#include "platform/network.h"

namespace sorvane::platform {

std::unique_ptr<INetworkInfo> make_linux_network_info();

}  // namespace sorvane::platform
