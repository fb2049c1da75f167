// What the installer leaves on a simulated machine for the driver to load:
// the root device node bound to the driver package.
#pragma once

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "platform/sim/machine.h"

namespace sorvane::test {

inline void install_device_node(sim::Machine& m) {
    ASSERT_TRUE(m.update("install", [](sim::MachineState& s) {
        sim::DriverPackage pkg;
        pkg.published_name = "oem3.inf";
        pkg.original_name = "sorvanevdd.inf";
        pkg.service = "SorvaneVDD";
        pkg.hardware_ids = {"Root\\SorvaneVDD"};
        s.driver_store.packages.push_back(pkg);
        sim::DeviceNode n;
        n.instance_id = "ROOT\\DISPLAY\\0000";
        n.class_name = "Display";
        n.class_guid = sim::kDisplayClassGuid;
        n.has_hardware_ids = true;
        n.hardware_ids = platform::reg_multi_sz({"Root\\SorvaneVDD"}).data;
        n.service = "SorvaneVDD";
        n.driver_package = "oem3.inf";
        n.started = true;
        s.devices.nodes.push_back(n);
    }));
}

}  // namespace sorvane::test
