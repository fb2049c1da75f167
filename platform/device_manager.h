// Device manager port, shaped after SetupAPI, newdev and the configuration
// manager: device information sets and their elements, registry properties
// of device nodes, class installer calls, driver binding. Every call returns
// a Win32 error code (0 on success), the value GetLastError would give.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::platform {

// SPDRP_* properties.
inline constexpr uint32_t kSpdrpDeviceDesc = 0x00;
inline constexpr uint32_t kSpdrpHardwareId = 0x01;
inline constexpr uint32_t kSpdrpService = 0x04;
// DIF_* class installer functions.
inline constexpr uint32_t kDifRemove = 0x05;
inline constexpr uint32_t kDifRegisterDevice = 0x19;
// Install parameter flags.
inline constexpr uint32_t kDiNeedRestart = 0x80;
inline constexpr uint32_t kDiNeedReboot = 0x100;
// UpdateDriverForPlugAndPlayDevices flags.
inline constexpr uint32_t kInstallFlagForce = 0x1;
// Configuration manager status.
inline constexpr uint32_t kCrSuccess = 0;
inline constexpr uint32_t kCrNoSuchDevnode = 0x0D;
// Device node status bits.
inline constexpr uint32_t kDnDriverLoaded = 0x2;
inline constexpr uint32_t kDnStarted = 0x8;
inline constexpr uint32_t kDnHasProblem = 0x400;

// One element of a device information set (SP_DEVINFO_DATA).
struct DevInfoData {
    std::string instance_id;  // the generated id for an element not yet registered
    std::string class_guid;
    std::string class_name;
    bool registered = false;
    bool hardware_ids_set = false;
    std::vector<uint8_t> hardware_ids;  // pending SPDRP_HARDWAREID until registration
    uint32_t install_flags = 0;
    // The system's handle of the set the element came from, where there is one.
    std::shared_ptr<void> native_set;
};

// A device information set (HDEVINFO): the elements it holds, in order.
struct DeviceInfoSet {
    std::string class_guid;  // of a list made for one class; empty for a class-devs set
    std::vector<DevInfoData> elements;
    // The system's handle of the set (HDEVINFO), where there is one.
    std::shared_ptr<void> native;
};

class IDeviceManager {
public:
    virtual ~IDeviceManager() = default;

    // SetupDiGetClassDevs(no class, enumerator, DIGCF_ALLCLASSES [| DIGCF_PRESENT]).
    virtual uint32_t get_class_devs(std::string_view enumerator, bool present_only, DeviceInfoSet& out) = 0;
    // SetupDiGetDeviceRegistryProperty: the property's raw bytes (13 when the
    // device has no such property).
    virtual uint32_t get_registry_property(const DevInfoData& dev, uint32_t property, std::vector<uint8_t>& out) = 0;
    // CM_Get_DevNode_Status: a configuration manager result (kCrSuccess, or
    // kCrNoSuchDevnode for a device that is not present).
    virtual uint32_t get_devnode_status(const DevInfoData& dev, uint32_t& status, uint32_t& problem) = 0;
    // SetupDiGetINFClass.
    virtual uint32_t get_inf_class(const std::string& inf_path, std::string& class_name, std::string& class_guid) = 0;
    // SetupDiCreateDeviceInfoList.
    virtual uint32_t create_device_info_list(std::string_view class_guid, DeviceInfoSet& out) = 0;
    // SetupDiCreateDeviceInfo with DICD_GENERATE_ID: a new element under ROOT.
    virtual uint32_t create_device_info(DeviceInfoSet& set, std::string_view class_name, std::string_view class_guid,
                                        DevInfoData& out) = 0;
    // SetupDiSetDeviceRegistryProperty.
    virtual uint32_t set_registry_property(DeviceInfoSet& set, DevInfoData& dev, uint32_t property,
                                           const std::vector<uint8_t>& data) = 0;
    // SetupDiCallClassInstaller (kDifRegisterDevice, kDifRemove).
    virtual uint32_t call_class_installer(uint32_t dif, DeviceInfoSet& set, DevInfoData& dev) = 0;
    // SetupDiGetDeviceInstallParams: the Flags field.
    virtual uint32_t get_install_flags(const DevInfoData& dev, uint32_t& flags) = 0;
    // UpdateDriverForPlugAndPlayDevices.
    virtual uint32_t update_driver(std::string_view hardware_id, const std::string& inf_path, uint32_t flags,
                                   bool& reboot_required) = 0;
    // GetFullPathName followed by GetFileAttributes: the full path of an
    // existing file.
    virtual uint32_t full_path(const std::string& path, std::string& out) = 0;
};

std::unique_ptr<IDeviceManager> make_device_manager();

}  // namespace sorvane::platform
