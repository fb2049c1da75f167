#include "platform/sim/ports.h"

#include <cstdint>

#include "common/text.h"
#include "platform/win_error.h"

namespace sorvane::sim {

namespace {

using platform::RegistryHive;
using platform::RegistryValue;

class SimRegistry final : public platform::IRegistry {
public:
    explicit SimRegistry(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

    uint32_t get_value(RegistryHive hive, std::string_view key, std::string_view name, RegistryValue& out) override {
        uint32_t rc = platform::kErrorNotReady;
        m_->update("registry.get_value", [&](MachineState& s) {
            rc = s.fault("registry.get_value");
            if (rc == 0) rc = s.registry.get_value(hive, key, name, out);
        });
        return rc;
    }
    uint32_t set_value(RegistryHive hive, std::string_view key, std::string_view name,
                       const RegistryValue& value) override {
        return write("registry.set_value", hive, key, std::string(name), [&](MachineState& s) {
            return s.registry.set_value(hive, key, name, value);
        });
    }
    uint32_t delete_value(RegistryHive hive, std::string_view key, std::string_view name) override {
        return write("registry.delete_value", hive, key, std::string(name),
                     [&](MachineState& s) { return s.registry.delete_value(hive, key, name); });
    }
    uint32_t create_key(RegistryHive hive, std::string_view key) override {
        return write("registry.create_key", hive, key, {},
                     [&](MachineState& s) { return s.registry.create_key(hive, key); });
    }
    uint32_t delete_tree(RegistryHive hive, std::string_view key) override {
        return write("registry.delete_tree", hive, key, {},
                     [&](MachineState& s) { return s.registry.delete_tree(hive, key); });
    }
    uint32_t list_subkeys(RegistryHive hive, std::string_view key, std::vector<std::string>& out) override {
        uint32_t rc = platform::kErrorNotReady;
        m_->read([&](const MachineState& s) { rc = s.registry.list_subkeys(hive, key, out); });
        return rc;
    }
    uint32_t list_values(RegistryHive hive, std::string_view key, std::vector<std::string>& out) override {
        uint32_t rc = platform::kErrorNotReady;
        m_->read([&](const MachineState& s) { rc = s.registry.list_values(hive, key, out); });
        return rc;
    }

private:
    template <class F>
    uint32_t write(const char* op, RegistryHive hive, std::string_view key, const std::string& name, F&& f) {
        uint32_t rc = platform::kErrorNotReady;
        std::string what = std::string(op) + " " + RegistryModel::hive_name(hive) + "\\" + std::string(key);
        if (!name.empty()) what += " [" + name + "]";
        m_->update(what, [&](MachineState& s) {
            rc = s.fault(op);
            if (rc != 0) return;
            if (hive == RegistryHive::local_machine && !s.system.elevated) {
                rc = platform::kErrorAccessDenied;
                return;
            }
            rc = f(s);
        });
        return rc;
    }

    std::shared_ptr<Machine> m_;
};

class SimSystemInfo final : public platform::ISystemInfo {
public:
    explicit SimSystemInfo(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

    bool token_elevated() override {
        bool e = false;
        return m_->read([&](const MachineState& s) { e = s.system.elevated; }) && e;
    }
    bool token_user_sid(std::string& sid) override {
        return m_->read([&](const MachineState& s) { sid = s.system.effective_user_sid(); }) && !sid.empty();
    }
    bool console_user_sid(std::string& sid) override {
        return m_->read([&](const MachineState& s) { sid = s.system.effective_interactive_user(); }) && !sid.empty();
    }
    std::string native_architecture() override {
        std::string a;
        m_->read([&](const MachineState& s) { a = s.system.architecture; });
        return a;
    }
    bool computer_name(std::string& out) override {
        return m_->read([&](const MachineState& s) { out = s.system.computer_name; }) && !out.empty();
    }
    uint32_t oem_code_page() override {
        uint32_t cp = 437;
        m_->read([&](const MachineState& s) { cp = s.system.oem_code_page; });
        return cp;
    }
    std::string display_language() override {
        std::string l = "en-US";
        m_->read([&](const MachineState& s) { l = s.system.language; });
        return l;
    }
    std::string system_directory() override { return m_->system32(); }
    std::string format_message(uint32_t code) override { return sim_format_message(code, display_language()); }
    bool user_name(std::string& out) override {
        return m_->read([&](const MachineState& s) { out = s.workstation.user_name; }) && !out.empty();
    }
    bool user_profile(std::string& out) override {
        return m_->read([&](const MachineState& s) { out = profile_path(s.workstation); });
    }
    bool os_version(uint32_t& major, uint32_t& build) override {
        // RtlGetVersion says 10 on Windows 11 too; only the build tells them apart.
        std::string text;
        const bool ok = m_->read([&](const MachineState& s) {
            platform::RegistryValue v;
            if (s.registry.get_value(platform::RegistryHive::local_machine, kCurrentVersionKey, "CurrentBuildNumber", v) == 0)
                platform::read_sz(v, text);
        });
        int64_t n = 0;
        if (!ok || !parse_int_exact(text, n) || n < 0 || n > UINT32_MAX) return false;
        major = 10;
        build = static_cast<uint32_t>(n);
        return true;
    }
    uint32_t logical_processors() override {
        uint32_t n = 1;
        m_->read([&](const MachineState& s) { n = s.workstation.logical_processors; });
        return n;
    }
    uint64_t physical_memory_bytes() override {
        uint64_t n = 0;
        m_->read([&](const MachineState& s) { n = s.workstation.memory_bytes; });
        return n;
    }

private:
    std::shared_ptr<Machine> m_;
};

struct Message {
    uint32_t code;
    const char* en;
    const char* tr;
};

const Message kMessages[] = {
    {0, "The operation completed successfully.", "Islem basariyla tamamlandi."},
    {2, "The system cannot find the file specified.", "Sistem belirtilen dosyayi bulamiyor."},
    {3, "The system cannot find the path specified.", "Sistem belirtilen yolu bulamiyor."},
    {5, "Access is denied.", "Erisim engellendi."},
    {6, "The handle is invalid.", "Tanitici gecersiz."},
    {13, "The data is invalid.", "Veri gecersiz."},
    {21, "The device is not ready.", "Aygit hazir degil."},
    {31, "A device attached to the system is not functioning.", "Sisteme bagli bir aygit calismiyor."},
    {87, "The parameter is incorrect.", "Parametre yanlis."},
    {122, "The data area passed to a system call is too small.", "Sistem cagrisina gecirilen veri alani cok kucuk."},
    {183, "Cannot create a file when that file already exists.", "Zaten varolan bir dosya olusturulamaz."},
    {259, "No more data is available.", "Baska veri yok."},
    {1168, "Element not found.", "Oge bulunamadi."},
    {1460, "This operation returned because the timeout period expired.", "Zaman asimi suresi doldugu icin islem dondu."},
    {0xE000020B, "The device instance does not exist in the hardware tree.", "Aygit ornegi donanim agacinda yok."},
    {0xE0000209, "The class installer has denied the request to install or upgrade this device.",
     "Sinif yukleyicisi bu aygiti yukleme istegini reddetti."},
    {0xE000024B,
     "The hash for the file is not present in the specified catalog file. The file is likely corrupt or the victim "
     "of tampering.",
     "Dosyanin karmasi belirtilen katalog dosyasinda yok. Dosya bozuk ya da kurcalanmis olabilir."},
    {0xE000022F, "The third-party INF does not contain digital signature information.",
     "Ucuncu taraf INF dijital imza bilgisi icermiyor."},
    {0x80090016, "Keyset does not exist", "Anahtar takimi yok"},
    {0x8009000F, "Object already exists.", "Nesne zaten var."},
    {0x80092004, "Cannot find object or property.", "Nesne veya ozellik bulunamiyor."},
    {0x800B0100, "No signature was present in the subject.", "Konuda imza yok."},
    {0x80096010, "The digital signature of the object did not verify.", "Nesnenin dijital imzasi dogrulanamadi."},
    {0x800B0109,
     "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust provider.",
     "Sertifika zinciri islendi, ancak guven saglayicisinin guvenmedigi bir kok sertifikada sonlandi."},
    {0x80004005, "Unspecified error", "Belirtilmemis hata"},
};

}  // namespace

std::string sim_format_message(uint32_t code, const std::string& language) {
    const bool tr = language.rfind("tr", 0) == 0;
    for (const auto& m : kMessages)
        if (m.code == code) return tr ? m.tr : m.en;
    return {};
}

std::unique_ptr<platform::IRegistry> make_sim_registry(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimRegistry>(std::move(machine));
}

std::unique_ptr<platform::ISystemInfo> make_sim_system_info(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimSystemInfo>(std::move(machine));
}

}  // namespace sorvane::sim
