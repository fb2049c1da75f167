// Device nodes through SetupAPI, newdev and the configuration manager. A set
// the port hands out keeps its HDEVINFO (destroyed with the last copy), and
// each element remembers the set it came from, so that class installer calls
// and install parameters reach the element the system knows. An element of
// no set (a copy made by hand) is opened by its instance id.
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <objbase.h>
#include <setupapi.h>

#include "platform/device_manager.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

std::shared_ptr<void> hold(HDEVINFO h) {
    return std::shared_ptr<void>(h, [](void* p) { SetupDiDestroyDeviceInfoList(static_cast<HDEVINFO>(p)); });
}

uint32_t last_error() {
    const DWORD e = GetLastError();
    return e == 0 ? ERROR_GEN_FAILURE : e;
}

std::string guid_text(const GUID& g) {
    wchar_t buf[40] = {};
    const int n = StringFromGUID2(g, buf, 40);
    return n > 1 ? win32::narrow(std::wstring_view(buf, static_cast<size_t>(n - 1))) : std::string();
}

bool parse_guid(std::string_view text, GUID& out) {
    std::wstring w = win32::widen(text);
    return !w.empty() && CLSIDFromString(w.c_str(), &out) == NOERROR;
}

bool instance_id(HDEVINFO set, SP_DEVINFO_DATA& data, std::string& out) {
    wchar_t buf[MAX_DEVICE_ID_LEN + 1] = {};
    if (!SetupDiGetDeviceInstanceIdW(set, &data, buf, MAX_DEVICE_ID_LEN + 1, nullptr)) return false;
    out = win32::narrow(buf);
    return true;
}

std::string class_name_of(const GUID& g) {
    wchar_t buf[MAX_CLASS_NAME_LEN] = {};
    if (!SetupDiClassNameFromGuidW(&g, buf, MAX_CLASS_NAME_LEN, nullptr)) return {};
    return win32::narrow(buf);
}

// The system's view of an element: its set and its SP_DEVINFO_DATA.
struct Element {
    std::shared_ptr<void> set;
    SP_DEVINFO_DATA data{};
    HDEVINFO handle() const { return static_cast<HDEVINFO>(set.get()); }
};

// Finds the element in the set it came from, by instance id.
uint32_t locate_in(const std::shared_ptr<void>& set, const std::string& id, Element& out) {
    out.set = set;
    for (DWORD i = 0;; ++i) {
        out.data = SP_DEVINFO_DATA{};
        out.data.cbSize = sizeof out.data;
        if (!SetupDiEnumDeviceInfo(out.handle(), i, &out.data)) return ERROR_NO_SUCH_DEVINST;
        std::string got;
        if (instance_id(out.handle(), out.data, got) && got == id) return 0;
    }
}

uint32_t locate(const DevInfoData& dev, Element& out) {
    if (dev.native_set) return locate_in(dev.native_set, dev.instance_id, out);
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    if (set == INVALID_HANDLE_VALUE) return last_error();
    out.set = hold(set);
    out.data.cbSize = sizeof out.data;
    if (!SetupDiOpenDeviceInfoW(set, win32::widen(dev.instance_id).c_str(), nullptr, 0, &out.data)) return last_error();
    return 0;
}

void describe(HDEVINFO set, SP_DEVINFO_DATA& data, DevInfoData& out) {
    instance_id(set, data, out.instance_id);
    out.class_guid = guid_text(data.ClassGuid);
    out.class_name = class_name_of(data.ClassGuid);
}

class Win32DeviceManager final : public IDeviceManager {
public:
    uint32_t get_class_devs(std::string_view enumerator, bool present_only, DeviceInfoSet& out) override {
        const DWORD flags = DIGCF_ALLCLASSES | (present_only ? DIGCF_PRESENT : 0);
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, win32::widen(enumerator).c_str(), nullptr, flags);
        if (set == INVALID_HANDLE_VALUE) return last_error();
        out = DeviceInfoSet{};
        out.native = hold(set);
        for (DWORD i = 0;; ++i) {
            SP_DEVINFO_DATA data{};
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInfo(set, i, &data)) break;
            DevInfoData dev;
            describe(set, data, dev);
            dev.registered = true;
            dev.native_set = out.native;
            out.elements.push_back(std::move(dev));
        }
        return 0;
    }

    uint32_t get_registry_property(const DevInfoData& dev, uint32_t property, std::vector<uint8_t>& out) override {
        Element e;
        if (const uint32_t rc = locate(dev, e); rc != 0) return rc;
        DWORD type = 0;
        DWORD needed = 0;
        SetupDiGetDeviceRegistryPropertyW(e.handle(), &e.data, property, &type, nullptr, 0, &needed);
        if (needed == 0) return last_error();
        out.assign(needed, 0);
        if (!SetupDiGetDeviceRegistryPropertyW(e.handle(), &e.data, property, &type, out.data(), needed, &needed))
            return last_error();
        out.resize(needed);
        return 0;
    }

    uint32_t get_devnode_status(const DevInfoData& dev, uint32_t& status, uint32_t& problem) override {
        DEVINST inst = 0;
        std::wstring id = win32::widen(dev.instance_id);
        const CONFIGRET located = CM_Locate_DevNodeW(&inst, id.data(), CM_LOCATE_DEVNODE_NORMAL);
        if (located != CR_SUCCESS) return located;
        ULONG s = 0, p = 0;
        const CONFIGRET rc = CM_Get_DevNode_Status(&s, &p, inst, 0);
        status = s;
        problem = p;
        return rc;
    }

    uint32_t get_inf_class(const std::string& inf_path, std::string& class_name, std::string& class_guid) override {
        GUID g{};
        wchar_t name[MAX_CLASS_NAME_LEN] = {};
        if (!SetupDiGetINFClassW(win32::widen(inf_path).c_str(), &g, name, MAX_CLASS_NAME_LEN, nullptr))
            return last_error();
        class_name = win32::narrow(name);
        class_guid = guid_text(g);
        return 0;
    }

    uint32_t create_device_info_list(std::string_view class_guid, DeviceInfoSet& out) override {
        GUID g{};
        const bool has_class = parse_guid(class_guid, g);
        HDEVINFO set = SetupDiCreateDeviceInfoList(has_class ? &g : nullptr, nullptr);
        if (set == INVALID_HANDLE_VALUE) return last_error();
        out = DeviceInfoSet{};
        out.class_guid = has_class ? guid_text(g) : std::string();
        out.native = hold(set);
        return 0;
    }

    uint32_t create_device_info(DeviceInfoSet& set, std::string_view class_name, std::string_view class_guid,
                                DevInfoData& out) override {
        GUID g{};
        if (!set.native || !parse_guid(class_guid, g)) return ERROR_INVALID_PARAMETER;
        const HDEVINFO h = static_cast<HDEVINFO>(set.native.get());
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiCreateDeviceInfoW(h, win32::widen(class_name).c_str(), &g, nullptr, nullptr, DICD_GENERATE_ID,
                                      &data))
            return last_error();
        out = DevInfoData{};
        describe(h, data, out);
        out.native_set = set.native;
        set.elements.push_back(out);
        return 0;
    }

    uint32_t set_registry_property(DeviceInfoSet& set, DevInfoData& dev, uint32_t property,
                                   const std::vector<uint8_t>& data) override {
        if (!set.native) return ERROR_INVALID_HANDLE;
        Element e;
        if (const uint32_t rc = locate_in(set.native, dev.instance_id, e); rc != 0) return rc;
        if (!SetupDiSetDeviceRegistryPropertyW(e.handle(), &e.data, property, data.data(),
                                               static_cast<DWORD>(data.size())))
            return last_error();
        if (property == kSpdrpHardwareId) {
            dev.hardware_ids_set = true;
            dev.hardware_ids = data;
        }
        return 0;
    }

    uint32_t call_class_installer(uint32_t dif, DeviceInfoSet& set, DevInfoData& dev) override {
        if (!set.native) return ERROR_INVALID_HANDLE;
        Element e;
        if (const uint32_t rc = locate_in(set.native, dev.instance_id, e); rc != 0) return rc;
        if (!SetupDiCallClassInstaller(dif, e.handle(), &e.data)) return last_error();
        if (dif == kDifRegisterDevice) dev.registered = true;
        SP_DEVINSTALL_PARAMS_W params{};
        params.cbSize = sizeof params;
        if (SetupDiGetDeviceInstallParamsW(e.handle(), &e.data, &params)) dev.install_flags = params.Flags;
        dev.native_set = set.native;
        return 0;
    }

    uint32_t get_install_flags(const DevInfoData& dev, uint32_t& flags) override {
        Element e;
        if (const uint32_t rc = locate(dev, e); rc != 0) {
            // A removed element is gone from the system's set: what the
            // class installer left in its parameters is what was kept.
            flags = dev.install_flags;
            return rc == ERROR_NO_SUCH_DEVINST ? 0 : rc;
        }
        SP_DEVINSTALL_PARAMS_W params{};
        params.cbSize = sizeof params;
        if (!SetupDiGetDeviceInstallParamsW(e.handle(), &e.data, &params)) return last_error();
        flags = params.Flags;
        return 0;
    }

    uint32_t update_driver(std::string_view hardware_id, const std::string& inf_path, uint32_t flags,
                           bool& reboot_required) override {
        BOOL reboot = FALSE;
        if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, win32::widen(hardware_id).c_str(),
                                                win32::widen(inf_path).c_str(), flags, &reboot))
            return last_error();
        reboot_required = reboot != FALSE;
        return 0;
    }

    uint32_t full_path(const std::string& path, std::string& out) override {
        const std::wstring w = win32::widen(path);
        const DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
        if (n == 0) return last_error();
        std::wstring full(n, L'\0');
        const DWORD got = GetFullPathNameW(w.c_str(), n, full.data(), nullptr);
        if (got == 0 || got >= n) return last_error();
        full.resize(got);
        if (GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) return last_error();
        out = win32::narrow(full);
        return 0;
    }
};

}  // namespace

std::unique_ptr<IDeviceManager> make_device_manager() { return std::make_unique<Win32DeviceManager>(); }

}  // namespace sorvane::platform
