#include <unistd.h>

#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/pkix.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/driver_ops.h"
#include "platform/sim/ports.h"
#include "platform/win_error.h"

namespace sorvane::sim {

namespace {

using namespace platform;

// How long a device removal waits for the node's driver to unload.
constexpr uint64_t kDriverUnloadWaitMs = 10'000;

std::vector<uint8_t> sz_bytes(const std::string& s) {
    auto v = utf8_to_utf16le(s);
    v.push_back(0);
    v.push_back(0);
    return v;
}

class SimDeviceManager final : public IDeviceManager {
public:
    explicit SimDeviceManager(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

    uint32_t get_class_devs(std::string_view enumerator, bool present_only, DeviceInfoSet& out) override {
        uint32_t rc = kErrorNotReady;
        out = DeviceInfoSet{};
        m_->update("setupapi.get_class_devs", [&](MachineState& s) {
            rc = s.fault("setupapi.get_class_devs");
            if (rc != 0) return;
            const std::string prefix = ascii_lower(enumerator) + "\\";
            for (const auto& n : s.devices.nodes) {
                if (ascii_lower(n.instance_id).rfind(prefix, 0) != 0) continue;
                if (present_only && !n.present) continue;
                DevInfoData d;
                d.instance_id = n.instance_id;
                d.class_guid = n.class_guid;
                d.class_name = n.class_name;
                d.registered = true;
                out.elements.push_back(std::move(d));
            }
        });
        return rc;
    }

    uint32_t get_registry_property(const DevInfoData& dev, uint32_t property, std::vector<uint8_t>& out) override {
        uint32_t rc = kErrorNotReady;
        out.clear();
        m_->read([&](const MachineState& s) {
            const DeviceNode* n = s.devices.find(dev.instance_id);
            if (n == nullptr) {
                rc = kErrorNoSuchDevinst;
                return;
            }
            rc = kErrorInvalidData;
            if (property == kSpdrpHardwareId && n->has_hardware_ids) {
                out = n->hardware_ids;
                rc = 0;
            } else if (property == kSpdrpDeviceDesc && !n->description.empty()) {
                out = sz_bytes(n->description);
                rc = 0;
            } else if (property == kSpdrpService && !n->service.empty()) {
                out = sz_bytes(n->service);
                rc = 0;
            }
        });
        return rc;
    }

    uint32_t get_devnode_status(const DevInfoData& dev, uint32_t& status, uint32_t& problem) override {
        uint32_t rc = kCrNoSuchDevnode;
        status = 0;
        problem = 0;
        m_->read([&](const MachineState& s) {
            const DeviceNode* n = s.devices.find(dev.instance_id);
            if (n == nullptr || !n->present) return;
            status = (n->started ? kDnStarted : 0u) | (n->problem != 0 ? kDnHasProblem : 0u) |
                     (n->driver_host != 0 ? kDnDriverLoaded : 0u);
            problem = n->problem;
            rc = kCrSuccess;
        });
        return rc;
    }

    uint32_t get_inf_class(const std::string& inf_path, std::string& class_name, std::string& class_guid) override {
        const uint32_t f = m_->fault("setupapi.get_inf_class");
        if (f != 0) return f;
        std::string text;
        if (!read_file(inf_path, 4u << 20, text).ok()) return kErrorFileNotFound;
        InfInfo inf;
        std::string error;
        if (!parse_inf(text, inf, error)) return kErrorInvalidClass;
        class_name = inf.class_name;
        class_guid = inf.class_guid;
        return 0;
    }

    uint32_t create_device_info_list(std::string_view class_guid, DeviceInfoSet& out) override {
        const uint32_t f = m_->fault("setupapi.create_device_info_list");
        if (f != 0) return f;
        out = DeviceInfoSet{};
        out.class_guid = std::string(class_guid);
        return 0;
    }

    uint32_t create_device_info(DeviceInfoSet& set, std::string_view class_name, std::string_view class_guid,
                                DevInfoData& out) override {
        uint32_t rc = kErrorNotReady;
        m_->update("setupapi.create_device_info", [&](MachineState& s) {
            rc = s.fault("setupapi.create_device_info");
            if (rc != 0) return;
            DeviceModel taken = s.devices;
            for (const auto& e : set.elements) {
                DeviceNode pending;
                pending.instance_id = e.instance_id;
                taken.nodes.push_back(pending);
            }
            out = DevInfoData{};
            out.instance_id = taken.free_root_instance_id(class_name);
            out.class_name = std::string(class_name);
            out.class_guid = std::string(class_guid);
        });
        if (rc == 0) set.elements.push_back(out);
        return rc;
    }

    uint32_t set_registry_property(DeviceInfoSet& set, DevInfoData& dev, uint32_t property,
                                   const std::vector<uint8_t>& data) override {
        uint32_t rc = kErrorNotReady;
        m_->update("setupapi.set_property " + dev.instance_id, [&](MachineState& s) {
            rc = s.fault("setupapi.set_property");
            if (rc != 0) return;
            if (property != kSpdrpHardwareId) {
                rc = kErrorInvalidParameter;
                return;
            }
            if (!dev.registered) {
                dev.hardware_ids = data;
                dev.hardware_ids_set = true;
                return;
            }
            if (!s.system.elevated) {
                rc = kErrorAccessDenied;
                return;
            }
            DeviceNode* n = s.devices.find(dev.instance_id);
            if (n == nullptr) {
                rc = kErrorNoSuchDevinst;
                return;
            }
            n->has_hardware_ids = true;
            n->hardware_ids = data;
        });
        if (rc == 0) sync(set, dev);
        return rc;
    }

    uint32_t call_class_installer(uint32_t dif, DeviceInfoSet& set, DevInfoData& dev) override {
        // Removing a device unloads its driver first (the driver's clean
        // unload); a driver that does not go leaves the removal to the next restart.
        bool unloaded = true;
        if (dif == kDifRemove) {
            bool elevated = false;
            m_->read([&](const MachineState& s) { elevated = s.system.elevated; });
            if (elevated) {
                unloaded = stop_driver_hosts(
                    *m_, [&](const DeviceNode& n) { return iequals_ascii(n.instance_id, dev.instance_id); },
                    kDriverUnloadWaitMs);
            }
        }
        uint32_t rc = kErrorNotReady;
        const std::string what = (dif == kDifRemove ? "DIF_REMOVE " : "DIF_REGISTERDEVICE ") + dev.instance_id;
        m_->update(what, [&](MachineState& s) {
            if (dif == kDifRegisterDevice) {
                rc = s.fault("setupapi.register");
                if (rc != 0) return;
                if (!s.system.elevated) {
                    rc = kErrorAccessDenied;
                    return;
                }
                if (dev.registered) {
                    rc = kErrorInvalidParameter;
                    return;
                }
                if (s.devices.find(dev.instance_id) != nullptr)
                    dev.instance_id = s.devices.free_root_instance_id(dev.class_name);
                DeviceNode n;
                n.instance_id = dev.instance_id;
                n.class_name = dev.class_name;
                n.class_guid = dev.class_guid;
                n.has_hardware_ids = dev.hardware_ids_set;
                n.hardware_ids = dev.hardware_ids;
                n.present = true;
                n.problem = 28;  // no driver installed yet
                s.devices.nodes.push_back(std::move(n));
                dev.registered = true;
                rc = 0;
            } else if (dif == kDifRemove) {
                rc = s.fault("setupapi.remove");
                if (rc != 0) return;
                if (!s.system.elevated) {
                    rc = kErrorAccessDenied;
                    return;
                }
                rc = s.devices.remove(dev.instance_id) ? 0 : kErrorNoSuchDevinst;
                if (rc == 0) dev.registered = false;
                if (rc == 0 && !unloaded) dev.install_flags |= kDiNeedReboot;
            } else {
                rc = kErrorInvalidParameter;
            }
        });
        if (rc == 0) sync(set, dev);
        return rc;
    }

    uint32_t get_install_flags(const DevInfoData& dev, uint32_t& flags) override {
        flags = dev.install_flags;
        return 0;
    }

    uint32_t update_driver(std::string_view hardware_id, const std::string& inf_path, uint32_t /*flags*/,
                           bool& reboot_required) override {
        reboot_required = false;
        uint32_t rc = kErrorNotReady;
        m_->update("newdev.update_driver " + std::string(hardware_id), [&](MachineState& s) {
            rc = s.fault("newdev.update_driver");
            if (rc != 0) return;
            if (!s.system.elevated) {
                rc = kErrorAccessDenied;
                return;
            }
            MachineState before = s;
            AddDriverResult added;
            rc = add_driver_package(s, inf_path, added);
            if (rc != 0) return;
            const DriverPackage* pkg = s.driver_store.find(added.published_name);
            if (pkg == nullptr || install_on_devices(s, *pkg, hardware_id) == 0) {
                // Nothing to install on: the package is not left behind.
                FaultTable faults = s.faults;
                MachineMeta meta = s.meta;
                s = before;
                s.faults = faults;
                s.meta = meta;
                rc = kErrorNoSuchDevinst;
            }
        });
        return rc;
    }

    uint32_t full_path(const std::string& path, std::string& out) override {
        std::string full = path;
        if (path.empty()) return kErrorFileNotFound;
        if (path[0] != '/') {
            char buf[4096];
            if (::getcwd(buf, sizeof buf) == nullptr) return kErrorPathNotFound;
            full = join_path(buf, path);
        }
        if (full.size() >= 260) return kErrorFileNotFound;
        if (!file_exists(full)) return kErrorFileNotFound;
        out = full;
        return 0;
    }

private:
    static void sync(DeviceInfoSet& set, const DevInfoData& dev) {
        for (auto& e : set.elements)
            if (e.instance_id == dev.instance_id || (!e.registered && !dev.registered)) {
                e = dev;
                return;
            }
    }

    std::shared_ptr<Machine> m_;
};

}  // namespace

std::unique_ptr<IDeviceManager> make_sim_device_manager(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimDeviceManager>(std::move(machine));
}

}  // namespace sorvane::sim
