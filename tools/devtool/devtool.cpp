#include "tools/devtool/devtool.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "common/printf_format.h"
#include "common/text.h"
#include "platform/registry.h"

namespace sorvane::devtool {

namespace {

using platform::DeviceInfoSet;
using platform::DevInfoData;

const char kUsage[] =
    "usage:\n"
    "  sorvane-devtool find    <hwid>\n"
    "  sorvane-devtool install <inf> <hwid> [--dry-run]\n"
    "  sorvane-devtool remove  <hwid> [--dry-run]\n";

class Tool {
public:
    Tool(platform::IDeviceManager& dm, platform::ISystemInfo& sys, std::string& out) : dm_(dm), sys_(sys), out_(out) {}

    void print(const char* fmt, ...) SORVANE_PRINTF(2, 3) {
        va_list ap;
        va_start(ap, fmt);
        char buf[4096];
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        out_ += buf;
    }

    void api_error(const char* op, uint32_t code) {
        std::string msg = sys_.format_message(code);
        while (!msg.empty() && (msg.back() == '\r' || msg.back() == '\n' || msg.back() == ' ')) msg.pop_back();
        print("ERROR: %s failed: 0x%08" PRIX32 " %s\n", op, code, msg.c_str());
    }

    // Every ROOT device node (present or not) whose hardware id list holds hwid.
    bool collect(const std::string& hwid, DeviceInfoSet& set, std::vector<DevInfoData>& matches) {
        const uint32_t rc = dm_.get_class_devs("ROOT", false, set);
        if (rc != 0) {
            api_error("SetupDiGetClassDevs", rc);
            return false;
        }
        const std::string wanted = ascii_lower(hwid);
        for (const auto& dev : set.elements) {
            std::vector<uint8_t> raw;
            if (dm_.get_registry_property(dev, platform::kSpdrpHardwareId, raw) != 0 || raw.empty()) continue;
            size_t start = 0;
            const size_t end = raw.size() & ~static_cast<size_t>(1);
            for (size_t i = 0; i <= end; i += 2) {
                const bool at_end = i == end;
                if (!at_end && (raw[i] != 0 || raw[i + 1] != 0)) continue;
                if (i == start) break;  // the empty entry ends the list
                const std::string entry = ascii_lower(platform::utf16le_to_utf8(raw.data() + start, i - start));
                if (entry == wanted) {
                    matches.push_back(dev);
                    break;
                }
                start = i + 2;
                if (at_end) break;
            }
        }
        return true;
    }

    std::string sz_property(const DevInfoData& dev, uint32_t property) {
        std::vector<uint8_t> raw;
        if (dm_.get_registry_property(dev, property, raw) != 0) return {};
        size_t n = 0;
        while (n + 1 < raw.size() && (raw[n] != 0 || raw[n + 1] != 0)) n += 2;
        return scrub_control(platform::utf16le_to_utf8(raw.data(), n));
    }

    void describe(const DevInfoData& dev) {
        uint32_t status = 0;
        uint32_t problem = 0;
        std::string state;
        if (dm_.get_devnode_status(dev, status, problem) != platform::kCrSuccess) state = "not present (phantom)";
        else if (problem != 0) state = "present, problem code " + std::to_string(problem);
        else state = "present, started/ok";
        const std::string service = sz_property(dev, platform::kSpdrpService);
        const std::string desc = sz_property(dev, platform::kSpdrpDeviceDesc);
        print("  %s\n    desc=\"%s\" service=\"%s\" state=%s\n", scrub_control(dev.instance_id).c_str(), desc.c_str(),
              service.c_str(), state.c_str());
    }

    int find(const std::string& hwid) {
        DeviceInfoSet set;
        std::vector<DevInfoData> matches;
        if (!collect(hwid, set, matches)) return 1;
        print("%zu device(s) with hardware id %s\n", matches.size(), hwid.c_str());
        for (const auto& d : matches) describe(d);
        return 0;
    }

    int install(const std::string& inf, const std::string& hwid, bool dry_run) {
        std::string full;
        if (dm_.full_path(inf, full) != 0) {
            print("ERROR: INF not found: %s\n", scrub_control(inf).c_str());
            return 1;
        }
        std::string class_name;
        std::string class_guid;
        if (const uint32_t rc = dm_.get_inf_class(full, class_name, class_guid)) {
            api_error("SetupDiGetINFClass", rc);
            return 1;
        }
        class_name = scrub_control(class_name);
        const std::string shown_full = scrub_control(full);
        print("INF   : %s\nclass : %s\nhwid  : %s\n", shown_full.c_str(), class_name.c_str(), hwid.c_str());
        {
            DeviceInfoSet set;
            std::vector<DevInfoData> matches;
            if (!collect(hwid, set, matches)) return 1;
            if (!matches.empty()) {
                print("Already exists (%zu) -- nothing to do:\n", matches.size());
                for (const auto& d : matches) describe(d);
                return 0;
            }
        }
        if (dry_run) {
            print("[dry-run] would: SetupDiCreateDeviceInfo(%s) + SPDRP_HARDWAREID=%s + DIF_REGISTERDEVICE, then\n"
                  "          UpdateDriverForPlugAndPlayDevices(%s, INSTALLFLAG_FORCE); on failure DIF_REMOVE.\n",
                  class_name.c_str(), hwid.c_str(), shown_full.c_str());
            return 0;
        }
        DeviceInfoSet list;
        if (const uint32_t rc = dm_.create_device_info_list(class_guid, list)) {
            api_error("SetupDiCreateDeviceInfoList", rc);
            return 1;
        }
        DevInfoData dev;
        if (const uint32_t rc = dm_.create_device_info(list, class_name, class_guid, dev)) {
            api_error("SetupDiCreateDeviceInfo", rc);
            return 1;
        }
        // The id alone, then the two NULs that end a one-entry list.
        std::vector<uint8_t> ids = platform::utf8_to_utf16le(hwid);
        ids.insert(ids.end(), {0, 0, 0, 0});
        if (const uint32_t rc = dm_.set_registry_property(list, dev, platform::kSpdrpHardwareId, ids)) {
            api_error("SetupDiSetDeviceRegistryProperty(HARDWAREID)", rc);
            return 1;
        }
        if (const uint32_t rc = dm_.call_class_installer(platform::kDifRegisterDevice, list, dev)) {
            api_error("DIF_REGISTERDEVICE", rc);
            return 1;
        }
        print("Device node created: %s\n", scrub_control(dev.instance_id).c_str());
        bool reboot = false;
        const uint32_t rc = dm_.update_driver(hwid, full, platform::kInstallFlagForce, reboot);
        if (rc == 0) {
            print("Driver bound. Reboot required: %s\n", reboot ? "YES" : "no");
            return 0;
        }
        api_error("UpdateDriverForPlugAndPlayDevices", rc);
        print("Rolling back: removing the half-created device node...\n");
        if (const uint32_t rrc = dm_.call_class_installer(platform::kDifRemove, list, dev)) {
            api_error("DIF_REMOVE (rollback)", rrc);
        } else {
            print("Rolled back.\n");
        }
        return 1;
    }

    int remove(const std::string& hwid, bool dry_run) {
        DeviceInfoSet set;
        std::vector<DevInfoData> matches;
        if (!collect(hwid, set, matches)) return 1;
        print("%zu device(s) with hardware id %s\n", matches.size(), hwid.c_str());
        int code = 0;
        for (auto& d : matches) {
            describe(d);
            if (dry_run) {
                print("    [dry-run] would DIF_REMOVE this device\n");
                continue;
            }
            if (const uint32_t rc = dm_.call_class_installer(platform::kDifRemove, set, d)) {
                api_error("DIF_REMOVE", rc);
                code = 1;
                continue;
            }
            uint32_t flags = 0;
            const bool restart = dm_.get_install_flags(d, flags) == 0 &&
                                 (flags & (platform::kDiNeedRestart | platform::kDiNeedReboot)) != 0;
            print("    removed. Reboot required: %s\n", restart ? "YES" : "no");
        }
        return code;
    }

private:
    platform::IDeviceManager& dm_;
    platform::ISystemInfo& sys_;
    std::string& out_;
};

}  // namespace

std::string check_hardware_id(std::string_view hardware_id) {
    // ASCII folding only: a locale's rules (a Turkish dotless i) must not
    // decide what the id names.
    const std::string lower = ascii_lower(hardware_id);
    if (lower.size() < 6 || lower.compare(0, 5, "root\\") != 0) return "hardware id must look like Root\\<name>";
    for (const char* marker : kProtectedMarkers)
        if (lower.find(marker) != std::string::npos) return std::string("hardware id contains protected marker '") + marker + "'";
    return {};
}

int run(const std::vector<std::string>& args, platform::IDeviceManager& devices, platform::ISystemInfo& system,
        std::string& out) {
    bool dry_run = false;
    std::vector<std::string> kept;
    for (const auto& a : args) {
        if (a == "--dry-run") dry_run = true;
        else kept.push_back(a);
    }
    const bool ok_form = !kept.empty() && ((kept[0] == "find" && kept.size() == 2) ||
                                           (kept[0] == "install" && kept.size() == 3) ||
                                           (kept[0] == "remove" && kept.size() == 2));
    if (!ok_form) {
        out += kUsage;
        return 2;
    }
    const std::string& cmd = kept[0];
    const std::string hwid = scrub_control(cmd == "install" ? kept[2] : kept[1]);
    const std::string reason = check_hardware_id(hwid);
    Tool tool(devices, system, out);
    if (!reason.empty()) {
        tool.print("REFUSED: %s\n", reason.c_str());
        return 2;
    }
    if (cmd != "find" && !dry_run && !system.token_elevated()) {
        tool.print("ERROR: %s needs an elevated (Administrator) process.\n", cmd.c_str());
        return 5;
    }
    if (cmd == "find") return tool.find(hwid);
    if (cmd == "install") return tool.install(kept[1], hwid, dry_run);
    return tool.remove(hwid, dry_run);
}

}  // namespace sorvane::devtool
