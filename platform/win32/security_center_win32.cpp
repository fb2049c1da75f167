// Windows Security Center through WMI is not part of this build yet: the
// report then says WMI could not be started.
#include "platform/system_info.h"

namespace sorvane::platform {

namespace {

class AbsentSecurityCenter final : public ISecurityCenter {
public:
    SecurityCenterStatus connect() override { return SecurityCenterStatus::wmi_unavailable; }
    bool products(const std::string&, std::vector<std::string>& names) override {
        names.clear();
        return false;
    }
};

}  // namespace

std::unique_ptr<ISecurityCenter> make_security_center() { return std::make_unique<AbsentSecurityCenter>(); }

}  // namespace sorvane::platform
