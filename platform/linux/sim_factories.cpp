// Facilities Linux lacks come from the simulated Windows machine in
// $SORVANE_SIM_ROOT (or the per-user default folder).
#include "platform/code_signing.h"
#include "platform/device_manager.h"
#include "platform/files.h"
#include "platform/iddcx.h"
#include "platform/firewall.h"
#include "platform/pkix.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/sim/iddcx_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/ports.h"
#include "platform/system_info.h"

namespace sorvane::platform {

namespace {

std::shared_ptr<sim::Machine> default_machine() { return std::shared_ptr<sim::Machine>(sim::Machine::open_default()); }

}  // namespace

std::unique_ptr<IRegistry> make_system_registry() { return sim::make_sim_registry(default_machine()); }

std::unique_ptr<ISystemInfo> make_system_info() { return sim::make_sim_system_info(default_machine()); }

std::unique_ptr<ISecurityCenter> make_security_center() { return sim::make_sim_security_center(default_machine()); }

std::unique_ptr<IIddCx> make_system_iddcx(const std::string& device_instance_id) {
    return std::make_unique<sim::SimIddCx>(default_machine(), device_instance_id);
}

std::unique_ptr<IShell> make_shell() { return sim::make_sim_shell(default_machine()); }

std::string executable_name(const std::string& name) { return name; }

}  // namespace sorvane::platform

namespace sorvane::platform {

std::unique_ptr<IDeviceManager> make_device_manager() {
    return sim::make_sim_device_manager(std::shared_ptr<sim::Machine>(sim::Machine::open_default()));
}

std::unique_ptr<ICodeSigning> make_code_signing() {
    return sim::make_sim_code_signing(std::shared_ptr<sim::Machine>(sim::Machine::open_default()));
}

std::unique_ptr<IFirewallPolicy> make_firewall_policy() {
    return sim::make_sim_firewall(std::shared_ptr<sim::Machine>(sim::Machine::open_default()));
}

std::string signature_path(const std::string& path) { return path + ".p7s"; }

bool read_file_signer(const std::string& path, std::vector<uint8_t>& signer_der) {
    std::string data;
    std::string sig;
    if (!read_file(path, 256u << 20, data).ok() || !read_file(signature_path(path), 1u << 20, sig).ok()) return false;
    std::string error;
    return pkcs7_verify_detached(std::vector<uint8_t>(sig.begin(), sig.end()), data, signer_der, error);
}

}  // namespace sorvane::platform
