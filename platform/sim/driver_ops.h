// What the simulated machine's driver store and device installer do, as
// operations on the machine's state (run inside Machine::update). Used by the
// device manager port and by the pnputil stand-in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sim/machine.h"

namespace sorvane::sim {

struct AddDriverResult {
    std::string published_name;
    std::string original_name;
    bool existed = false;  // the same package was in the store already
    std::string detail;    // why it was refused
};

// Adds the package of inf_path to the driver store. The package is accepted
// only when its catalog and every file it lists are signed (detached PKCS#7
// beside the file) by a certificate present in both LocalMachine\ROOT and
// LocalMachine\TrustedPublisher, and the catalog holds the SHA-256 of the
// INF and of every file it lists (lines "member NAME sha256=HEX"): a package
// changed after signing is refused. Fault point "driverstore.add".
uint32_t add_driver_package(MachineState& s, const std::string& inf_path, AddDriverResult& out);

// Binds the package to every present device node whose hardware id list
// holds one of the package's hardware ids (or hardware_id when given): the
// node takes the package's class, description, service and is started.
// Returns how many nodes were bound.
size_t install_on_devices(MachineState& s, const DriverPackage& pkg, std::string_view hardware_id = {});

// Deletes a package. With uninstall, devices bound to it lose their driver
// first; without force, a package still bound to a device is refused.
// Fault point "driverstore.delete".
uint32_t delete_driver_package(MachineState& s, std::string_view published_name, bool uninstall, bool force);

}  // namespace sorvane::sim
