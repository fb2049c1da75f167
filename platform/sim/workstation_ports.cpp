// The ports over the workstation model: the Security Center and the user's
// desktop folder.
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sim/ports.h"

namespace sorvane::sim {

namespace {

class SimSecurityCenter final : public platform::ISecurityCenter {
public:
    explicit SimSecurityCenter(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

    platform::SecurityCenterStatus connect() override {
        if (m_->fault_or_hang("wmi.connect") != 0) return platform::SecurityCenterStatus::wmi_unavailable;
        WorkstationModel w;
        if (!m_->read([&](const MachineState& s) { w = s.workstation; }) || !w.wmi)
            return platform::SecurityCenterStatus::wmi_unavailable;
        return w.security_center ? platform::SecurityCenterStatus::ok : platform::SecurityCenterStatus::unreachable;
    }

    bool products(const std::string& product_class, std::vector<std::string>& names) override {
        names.clear();
        if (m_->fault_or_hang("wmi.query") != 0) return false;
        WorkstationModel w;
        if (!m_->read([&](const MachineState& s) { w = s.workstation; }) || !w.wmi || !w.security_center) return false;
        if (product_class == "AntiVirusProduct") {
            names = w.antivirus;
        } else if (product_class == "FirewallProduct") {
            names = w.firewall_products;
        } else {
            return false;  // WBEM_E_INVALID_CLASS
        }
        return true;
    }

private:
    std::shared_ptr<Machine> m_;
};

bool plain_folder_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\:") == std::string::npos &&
           name.find('\0') == std::string::npos;
}

}  // namespace

std::unique_ptr<platform::ISecurityCenter> make_sim_security_center(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimSecurityCenter>(std::move(machine));
}

bool sim_desktop_folder(Machine& machine, std::string& out) {
    if (machine.in_memory() || !machine.initialized()) return false;
    std::string folder;
    if (!machine.read([&](const MachineState& s) { folder = s.workstation.profile_folder; }) ||
        !plain_folder_name(folder))
        return false;
    out = platform::join_path(platform::join_path(platform::join_path(machine.folder(), "Users"), folder), "Desktop");
    return platform::create_directories(out).ok();
}

}  // namespace sorvane::sim
