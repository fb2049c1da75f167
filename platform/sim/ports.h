// The ports the simulated machine implements. Each port object works on a
// shared Machine; every call is one transaction of that machine, so separate
// processes see each other's changes at once.
#pragma once

#include <memory>

#include "platform/code_signing.h"
#include "platform/device_manager.h"
#include "platform/firewall.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/sim/machine.h"
#include "platform/system_info.h"

namespace sorvane::sim {

// Registry: HKLM writes need the simulated token's elevation (5 otherwise).
// Fault points: "registry.get_value", "registry.set_value",
// "registry.delete_value", "registry.create_key", "registry.delete_tree".
std::unique_ptr<platform::IRegistry> make_sim_registry(std::shared_ptr<Machine> machine);

std::unique_ptr<platform::ISystemInfo> make_sim_system_info(std::shared_ptr<Machine> machine);

// The Security Center of the workstation model. Fault points: "wmi.connect"
// and "wmi.query" (a query fails), both of which can hang.
std::unique_ptr<platform::ISecurityCenter> make_sim_security_center(std::shared_ptr<Machine> machine);

// The simulated user's desktop folder, root/Users/<profile folder>/Desktop,
// created when missing. False when the machine was never set up or its
// profile folder is not a plain folder name.
bool sim_desktop_folder(Machine& machine, std::string& out);

// Device nodes and the driver store. Changes need the token's elevation.
// Fault points: "setupapi.get_class_devs", "setupapi.get_inf_class",
// "setupapi.create_device_info_list", "setupapi.create_device_info",
// "setupapi.set_property", "setupapi.register", "setupapi.remove",
// "newdev.update_driver" (and "driverstore.add" inside it).
std::unique_ptr<platform::IDeviceManager> make_sim_device_manager(std::shared_ptr<Machine> machine);

// Key provider, signer and LocalMachine stores. Real RSA keys kept in the
// machine's key store. Fault points: "ncrypt.open_provider",
// "ncrypt.create_key", "ncrypt.finalize_key", "ncrypt.open_key",
// "ncrypt.delete_key", "ncrypt.enum_keys", "crypt.create_self_signed",
// "signer.sign", "certstore.open", "certstore.add", "certstore.delete".
std::unique_ptr<platform::ICodeSigning> make_sim_code_signing(std::shared_ptr<Machine> machine);

// Fault points: "firewall.open" (which can hang), "firewall.add", "firewall.remove",
// "firewall.list", "firewall.profile".
std::unique_ptr<platform::IFirewallPolicy> make_sim_firewall(std::shared_ptr<Machine> machine);

// Every open is journaled as "shell open TARGET", every show_in_folder as
// "shell select PATH", and gives 42. Fault point
// "shell.open" (its code is the result); 2 (file not found) when the machine
// is not set up or cannot be read.
std::unique_ptr<platform::IShell> make_sim_shell(std::shared_ptr<Machine> machine);

// Message text of a Win32/HRESULT code as the simulated system words it
// (English, or Turkish for a "tr" display language); empty when unknown.
std::string sim_format_message(uint32_t code, const std::string& language);

}  // namespace sorvane::sim
