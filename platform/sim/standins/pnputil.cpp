// pnputil of the simulated machine: enumerates and changes the driver store
// and device nodes, worded in the machine's display language and written in
// its OEM code page with CRLF line ends.
//   /enum-drivers | /add-driver INF [/install] | /delete-driver oemN.inf [/uninstall] [/force]
//   /enum-devices [/class NAME|GUID] [/connected]
// Fault points: "pnputil.enum_drivers", "pnputil.enum_devices",
// "pnputil.add_driver" (3010 there adds the package and exits 3010),
// "pnputil.delete_driver".
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/driver_ops.h"
#include "platform/sim/machine.h"
#include "platform/sim/ports.h"
#include "platform/sim/standins/standin.h"
#include "platform/win_error.h"

using namespace sorvane;
using namespace sorvane::sim;
using sorvane::sim::standin::Console;

namespace {

const char* T(const Console& c, const char* en, const char* tr) { return c.turkish() ? tr : en; }

std::string class_label(const Console& c, const std::string& cls) {
    if (iequals_ascii(cls, "Display")) return T(c, "Display adapters", "Görüntü bağdaştırıcıları");
    return cls;
}

void banner(Console& c) {
    c.line(T(c, "Microsoft PnP Utility", "Microsoft PnP Yardımcı Programı"));
    c.line();
}

int enum_drivers(Machine& m, Console& c) {
    uint32_t rc = 0;
    std::vector<DriverPackage> packages;
    if (!m.update("pnputil /enum-drivers", [&](MachineState& s) {
            rc = s.fault("pnputil.enum_drivers");
            packages = s.driver_store.packages;
        }))
        return 1;
    banner(c);
    if (rc != 0) {
        c.line(T(c, "Failed to enumerate driver packages: ", "Sürücü paketleri listelenemedi: ") +
               sim_format_message(rc, c.turkish() ? "tr" : "en"));
        standin::exit_with(rc);
    }
    for (const auto& p : packages) {
        c.field(T(c, "Published Name:", "Yayımlanan Ad:"), p.published_name);
        c.field(T(c, "Original Name:", "Özgün Ad:"), p.original_name);
        c.field(T(c, "Provider Name:", "Sağlayıcı Adı:"), p.provider);
        c.field(T(c, "Class Name:", "Sınıf Adı:"), class_label(c, p.class_name));
        c.field(T(c, "Class GUID:", "Sınıf GUID'si:"), p.class_guid);
        c.field(T(c, "Driver Version:", "Sürücü Sürümü:"), p.date + " " + p.version);
        c.field(T(c, "Signer Name:", "İmzalayan Adı:"), p.signer_name);
        c.line();
    }
    return 0;
}

int enum_devices(Machine& m, Console& c, const std::string& cls, bool connected) {
    uint32_t rc = 0;
    std::vector<DeviceNode> nodes;
    if (!m.update("pnputil /enum-devices", [&](MachineState& s) {
            rc = s.fault("pnputil.enum_devices");
            nodes = s.devices.nodes;
        }))
        return 1;
    banner(c);
    if (rc != 0) {
        c.line(T(c, "Failed to enumerate devices: ", "Aygıtlar listelenemedi: ") +
               sim_format_message(rc, c.turkish() ? "tr" : "en"));
        standin::exit_with(rc);
    }
    size_t shown = 0;
    for (const auto& n : nodes) {
        if (connected && !n.present) continue;
        if (!cls.empty() && !iequals_ascii(cls, n.class_name) && !iequals_ascii(cls, n.class_guid)) continue;
        ++shown;
        c.field(T(c, "Instance ID:", "Örnek Kimliği:"), n.instance_id);
        c.field(T(c, "Device Description:", "Aygıt Açıklaması:"), n.description);
        c.field(T(c, "Class Name:", "Sınıf Adı:"), n.class_name);
        c.field(T(c, "Class GUID:", "Sınıf GUID'si:"), n.class_guid);
        c.field(T(c, "Manufacturer Name:", "Üretici Adı:"), n.manufacturer);
        std::string status;
        if (!n.present) status = T(c, "Disconnected", "Bağlantısı kesildi");
        else if (n.problem != 0) status = T(c, "Problem", "Sorunlu");
        else if (n.started) status = T(c, "Started", "Başlatıldı");
        else status = T(c, "Stopped", "Durduruldu");
        c.field(T(c, "Status:", "Durum:"), status);
        if (n.problem != 0)
            c.field(T(c, "Problem Code:", "Sorun Kodu:"), std::to_string(n.problem));
        if (!n.driver_package.empty()) c.field(T(c, "Driver Name:", "Sürücü Adı:"), n.driver_package);
        c.line();
    }
    if (shown == 0) c.line(T(c, "No devices were found on the system.", "Sistemde aygıt bulunamadı."));
    return 0;
}

int add_driver(Machine& m, Console& c, const std::string& inf, bool install) {
    uint32_t rc = 0;
    bool reboot = false;
    AddDriverResult added;
    size_t bound = 0;
    if (!m.update("pnputil /add-driver " + inf, [&](MachineState& s) {
            rc = s.fault("pnputil.add_driver");
            if (rc == platform::kErrorSuccessRebootRequired) {
                reboot = true;
                rc = 0;
            }
            if (rc == 0) rc = add_driver_package(s, inf, added);
            if (rc == 0 && install) {
                if (const DriverPackage* p = s.driver_store.find(added.published_name)) bound = install_on_devices(s, *p);
            }
        }))
        return 1;
    banner(c);
    c.field(T(c, "Adding driver package:", "Sürücü paketi ekleniyor:"), added.original_name);
    if (rc != 0) {
        c.line(T(c, "Adding the driver package failed: ", "Sürücü paketi eklenemedi: ") +
               sim_format_message(rc, c.turkish() ? "tr" : "en"));
    } else {
        std::string ok = T(c, "Driver package added successfully.", "Sürücü paketi başarıyla eklendi.");
        if (added.existed) ok += T(c, " (Already exists in the system)", " (Sistemde zaten var)");
        c.line(ok);
        c.field(T(c, "Published Name:", "Yayımlanan Ad:"), added.published_name);
        if (bound > 0)
            c.line(T(c, "Driver package installed on matching devices.", "Sürücü paketi eşleşen aygıtlara yüklendi."));
    }
    c.line();
    c.field(T(c, "Total driver packages:", "Toplam sürücü paketi:"), "1");
    c.field(T(c, "Added driver packages:", "Eklenen sürücü paketi:"), rc == 0 ? "1" : "0");
    if (rc != 0) standin::exit_with(rc);
    if (reboot) standin::exit_with(platform::kErrorSuccessRebootRequired);
    return 0;
}

int delete_driver(Machine& m, Console& c, const std::string& name, bool uninstall, bool force) {
    uint32_t rc = 0;
    bool elevated = false;
    m.read([&](const MachineState& s) { elevated = s.system.elevated; });
    // Uninstalling a package from its devices unloads their drivers first.
    if (uninstall && elevated)
        stop_driver_hosts(m, [&](const DeviceNode& n) { return iequals_ascii(n.driver_package, name); }, 10'000);
    if (!m.update("pnputil /delete-driver " + name, [&](MachineState& s) {
            rc = s.fault("pnputil.delete_driver");
            if (rc == 0) rc = delete_driver_package(s, name, uninstall, force);
        }))
        return 1;
    banner(c);
    if (rc != 0) {
        c.line(T(c, "Failed to delete driver package: ", "Sürücü paketi silinemedi: ") +
               sim_format_message(rc, c.turkish() ? "tr" : "en"));
        standin::exit_with(rc);
    }
    c.line(T(c, "Driver package deleted successfully.", "Sürücü paketi başarıyla silindi."));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    auto machine = Machine::open_default();
    machine->set_actor("pnputil");
    SystemModel system;
    if (!machine->read([&](const MachineState& s) { system = s.system; })) return 1;
    Console c(system);
    std::vector<std::string> args(argv + 1, argv + argc);
    auto has = [&](const char* sw) {
        for (const auto& a : args)
            if (iequals_ascii(a, sw)) return true;
        return false;
    };
    if (!args.empty()) {
        const std::string cmd = ascii_lower(args[0]);
        if (cmd == "/enum-drivers") return enum_drivers(*machine, c);
        if (cmd == "/enum-devices") {
            std::string cls;
            for (size_t i = 1; i + 1 < args.size(); ++i)
                if (iequals_ascii(args[i], "/class")) cls = args[i + 1];
            return enum_devices(*machine, c, cls, has("/connected"));
        }
        if (cmd == "/add-driver" && args.size() >= 2) return add_driver(*machine, c, args[1], has("/install"));
        if (cmd == "/delete-driver" && args.size() >= 2)
            return delete_driver(*machine, c, args[1], has("/uninstall"), has("/force"));
    }
    banner(c);
    c.line(T(c, "Invalid command line.", "Geçersiz komut satırı."));
    standin::exit_with(platform::kErrorInvalidParameter);
}
