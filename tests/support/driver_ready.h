// Waiting for the driver process of the machine in $SORVANE_SIM_ROOT to serve
// with a ready adapter: "driver loaded" is printed before the framework has
// finished starting the adapter.
#pragma once

#include <chrono>
#include <string>
#include <thread>

#include "host/monitors/driver_control_client.h"
#include "platform/clock.h"

namespace sorvane::test {

// Polls GET_STATE (real time, bounded) until the adapter is ready.
inline bool wait_for_driver_ready(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    auto clock = platform::make_system_clock();
    DriverControlClient client(*clock);
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        std::string error;
        ControlReply reply;
        DriverState state;
        if ((client.connected() || client.connect(200, error)) && client.get_state(reply, state) && state.adapter_ready)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

}  // namespace sorvane::test
