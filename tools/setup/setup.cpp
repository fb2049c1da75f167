#include "tools/setup/setup.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "common/printf_format.h"
#include "common/text.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/pkix.h"
#include "platform/random.h"
#include "platform/win_error.h"

namespace sorvane::setup {

namespace {

using platform::RegistryHive;
constexpr RegistryHive kLm = RegistryHive::local_machine;

const char* const kUsageLines[] = {
    "usage:",
    "  sorvane-setup install --app-dir DIR [--user-sid SID] [--driver-version X.Y.Z] [--version V] [--dry-run]",
    "  sorvane-setup uninstall [--app-dir DIR] [--purge-vdd-data] [--dry-run]",
    "  sorvane-setup rehearse-sign --driver-dir DIR     (DIR bir KOPYA olmali)",
    "  sorvane-setup firewall-add --app-dir DIR | firewall-remove",
    "  sorvane-setup remove-cert --thumbprint HEX [--dry-run]",
};

struct FirewallRow {
    const char* name;
    int32_t protocol;
    const char* port;
};
const FirewallRow kFirewallRules[] = {
    {"Sorvane control (TCP 47000)", 6, "47000"},
    {"Sorvane input (TCP 47002)", 6, "47002"},
    {"Sorvane pairing (TCP 47010)", 6, "47010"},
    {"Sorvane video (UDP 47001)", 17, "47001"},
};

struct SigningKey {
    std::string name;
    std::vector<uint8_t> cert_der;
    std::string thumbprint;
    bool created = false;
    bool deleted = false;
};

struct RollbackStep {
    std::string description;
    std::function<void()> action;
};

bool is_absolute_path(std::string_view p) {
    if (!p.empty() && (p[0] == '/' || p[0] == '\\')) return p.size() > 1 && (p[0] == '/' || p[1] == '\\');
    return p.size() >= 3 && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':' &&
           (p[2] == '\\' || p[2] == '/');
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

class Setup {
public:
    Setup(const std::vector<std::string>& args, Ports& p) : args_(args), p_(p) {
        for (const auto& a : args) {
            if (a == "--dry-run") dry_run_ = true;
            if (a == "--keep-on-fail") keep_on_fail_ = true;
            if (a == "--skip-start-check") skip_start_check_ = true;
        }
        std::string pd;
        if (!p_.paths.program_data(pd)) pd = "C:\\ProgramData";
        product_data_ = platform::join_path(pd, "Sorvane");
        data_folder_ = platform::join_path(product_data_, "VDD");
        log_path_ = platform::join_path(product_data_, "setup.log");
        system32_ = p_.system.system_directory();
    }

    int main() {
        const std::string cmd = args_.empty() ? std::string() : args_[0];
        if (cmd == "install") {
            if (!option("--app-dir", app_dir_)) return usage();
            return install();
        }
        if (cmd == "uninstall") return uninstall();
        if (cmd == "rehearse-sign") {
            std::string dir;
            if (!option("--driver-dir", dir)) return usage();
            return rehearse_sign(dir);
        }
        if (cmd == "firewall-add") {
            if (!option("--app-dir", app_dir_)) return usage();
            return firewall_add(host_path()) ? 0 : 1;
        }
        if (cmd == "firewall-remove") return firewall_remove() ? 0 : 1;
        if (cmd == "remove-cert") return remove_cert();
        return usage();
    }

private:
    // ---- output ----

    void say(const char* fmt, ...) SORVANE_PRINTF(2, 3) {
        char buf[2048];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        std::string text(buf, utf8_complete_length(buf));
        p_.console(text);
        const auto t = p_.clock.local_time(p_.clock.wall_ms());
        char head[48];
        std::snprintf(head, sizeof head, "%04u-%02u-%02u %02u:%02u:%02u  ", t.year, t.month, t.day, t.hour, t.minute,
                      t.second);
        if (log_) {
            log_->append(std::string(head) + text + "\n");
        } else if (!dry_run_) {
            early_lines_ += std::string(head) + text + "\n";
        }
    }

    // Opened only once the run may change the machine (never in a dry run);
    // the lines said before (the header, the checks) go in first.
    void open_log() {
        if (dry_run_ || log_) return;
        platform::create_directories(product_data_);
        log_ = platform::open_append(log_path_);
        if (log_ && !early_lines_.empty()) log_->append(early_lines_);
        early_lines_.clear();
    }

    int usage() {
        for (const char* l : kUsageLines) p_.console(l);
        return 2;
    }

    bool option(const char* name, std::string& out) {
        for (size_t i = 0; i + 1 < args_.size(); ++i) {
            if (args_[i] == name) {
                out = args_[i + 1];
                return true;
            }
        }
        return false;
    }
    bool has(const char* sw) const {
        for (const auto& a : args_)
            if (a == sw) return true;
        return false;
    }

    // ---- paths ----

    std::string driver_folder() const { return platform::join_path(app_dir_, "driver"); }
    std::string devtool_path() const {
        return platform::join_path(driver_folder(), platform::executable_name("sorvane-devtool"));
    }
    std::string host_path() const { return platform::join_path(app_dir_, platform::executable_name("sorvane-host")); }
    std::string pnputil() const { return quoted(platform::join_path(system32_, "pnputil.exe")); }
    std::string icacls() const { return quoted(platform::join_path(system32_, "icacls.exe")); }
    std::string cmd_exe() const { return quoted(platform::join_path(system32_, "cmd.exe")); }

    // ---- children ----

    platform::ChildResult child(const std::string& command_line) {
        auto r = p_.runner.run(command_line, kChildTimeoutMs);
        r.output = scrub_text(platform::oem_to_utf8(r.output, p_.system.oem_code_page()));
        return r;
    }
    static std::string scrub_text(const std::string& s) {
        std::string out;
        for (char c : s) out += (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\r' && c != '\t') ? '?' : c;
        return out;
    }
    static std::string trimmed(std::string s) {
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
        return s;
    }

    std::vector<DriverPackage> enumerate_packages() {
        const auto r = child(pnputil() + " /enum-drivers");
        if (!r.started) return {};
        return parse_driver_packages(r.output);
    }

    std::string message(uint32_t code) { return p_.system.format_message(code); }

    // ---- registry ----

    bool read_sz(const char* key, const char* name, std::string& out) {
        return platform::registry_read_sz(p_.registry, kLm, key, name, out);
    }

    // ---- signing ----

    std::string new_guid() {
        uint8_t b[16] = {};
        platform::secure_random(b, sizeof b);
        b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
        b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
        char buf[48];
        std::snprintf(buf, sizeof buf, "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", b[0],
                      b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
        return buf;
    }

    std::string subject_cn() {
        std::string name;
        if (!p_.system.computer_name(name) || name.empty()) name = "PC";
        return std::string(kSubjectPrefix) + scrub_control(name) + ")";
    }

    bool create_signing_key(SigningKey& k, std::string& reason) {
        char buf[96];
        if (p_.signing.open_provider(platform::kSoftwareKeyStorageProvider) != 0) {
            reason = "NCryptOpenStorageProvider";
            return false;
        }
        k.name = kKeyPrefix + new_guid();
        if (const uint32_t rc = p_.signing.create_persisted_key(k.name, true)) {
            std::snprintf(buf, sizeof buf, "NCryptCreatePersistedKey 0x%08" PRIX32, rc);
            reason = buf;
            return false;
        }
        k.created = true;
        if (const uint32_t rc = p_.signing.finalize_key(k.name, true, 3072)) {
            std::snprintf(buf, sizeof buf, "NCryptFinalizeKey 0x%08" PRIX32, rc);
            reason = buf;
            // The reserved name is not left behind.
            p_.signing.delete_key(k.name, true);
            k.deleted = true;
            return false;
        }
        const int64_t now = p_.clock.wall_ms();
        const platform::CivilTime not_before = platform::utc_civil(now - 86'400'000);
        const platform::CivilTime not_after = ten_years_after(not_before);
        if (const uint32_t rc = p_.signing.create_self_signed(k.name, true, subject_cn(), not_before, not_after, k.cert_der)) {
            std::snprintf(buf, sizeof buf, "CertCreateSelfSignCertificate %" PRIu32, rc);
            reason = buf;
            return false;
        }
        k.thumbprint = platform::certificate_thumbprint(k.cert_der);
        return true;
    }

    bool sign(const SigningKey& k, const std::string& path, std::string& reason) {
        if (const uint32_t rc = p_.signing.sign_file(path, k.name, true, k.cert_der)) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "0x%08" PRIX32, rc);
            reason = std::string("SignerSign ") + buf + " " + message(rc);
            return false;
        }
        return true;
    }

    bool signature_matches(const SigningKey& k, const std::string& path) {
        std::vector<uint8_t> signer;
        if (!platform::read_file_signer(path, signer)) return false;
        return platform::certificate_thumbprint(signer) == k.thumbprint;
    }

    bool delete_and_verify(SigningKey& k, std::string& reason) {
        if (!k.deleted) {
            if (const uint32_t rc = p_.signing.delete_key(k.name, true)) {
                char buf[48];
                std::snprintf(buf, sizeof buf, "NCryptDeleteKey 0x%08" PRIX32, rc);
                reason = buf;
                return false;
            }
            k.deleted = true;
        }
        if (p_.signing.open_key(k.name, true) == 0) {
            reason = "anahtar SILINMEDI (hala acilabiliyor)";
            return false;
        }
        std::vector<std::string> names;
        const uint32_t rc = p_.signing.enum_keys(true, names);
        if (rc != 0) {
            // Without the listing there is no proof that the key is gone.
            char buf[64];
            std::snprintf(buf, sizeof buf, "anahtarlar numaralandirilamadi 0x%08" PRIX32, rc);
            reason = buf;
            return false;
        }
        for (const auto& n : names) {
            if (n == k.name) {
                reason = "anahtar numaralandirmada hala gorunuyor";
                return false;
            }
        }
        return true;
    }

    int orphan_key_cleanup(const std::string& keep = {}) {
        std::vector<std::string> names;
        if (p_.signing.open_provider(platform::kSoftwareKeyStorageProvider) != 0 || p_.signing.enum_keys(true, names) != 0)
            return 0;
        int deleted = 0;
        for (const auto& n : names) {
            if (n.rfind(kKeyPrefix, 0) != 0 || n == keep) continue;
            if (p_.signing.open_key(n, true) == 0 && p_.signing.delete_key(n, true) == 0) ++deleted;
        }
        return deleted;
    }

    // ---- trust stores ----

    bool add_to_store(const char* store, const SigningKey& k) {
        const uint32_t rc = p_.signing.store_add(store, k.cert_der);
        if (rc != 0) {
            say("  HATA: LocalMachine\\%s'e eklenemedi (%" PRIu32 ": %s)", store, rc, message(rc).c_str());
            return false;
        }
        return true;
    }

    bool in_store(const char* store, const std::string& thumbprint) {
        std::vector<platform::CertEntry> list;
        if (const uint32_t rc = p_.signing.store_list(store, list)) {
            say("  HATA: LocalMachine\\%s acilamadi (%" PRIu32 ")", store, rc);
            return false;
        }
        for (const auto& c : list)
            if (c.thumbprint == thumbprint) return true;
        return false;
    }

    int remove_certificates(const std::string& match, const std::string& keep, bool dry) {
        int count = 0;
        for (const char* store : {"ROOT", "TrustedPublisher"}) {
            std::vector<platform::CertEntry> list;
            if (const uint32_t rc = p_.signing.store_list(store, list)) {
                say("  HATA: LocalMachine\\%s acilamadi (%" PRIu32 ")", store, rc);
                continue;
            }
            for (const auto& c : list) {
                if (c.thumbprint == keep) continue;
                const bool hit = match.empty() ? c.simple_name.rfind(kSubjectPrefix, 0) == 0 : c.thumbprint == match;
                if (!hit) continue;
                if (dry) {
                    say("  [DRY] %s'den cikarilirdi: %s", store, c.thumbprint.c_str());
                    ++count;
                    continue;
                }
                const uint32_t rc = p_.signing.store_remove(store, c.thumbprint);
                if (rc == 0) {
                    say("  %s'den cikarildi: %s", store, c.thumbprint.c_str());
                    ++count;
                } else {
                    say("  UYARI: %s'den cikarilamadi: %s (%" PRIu32 ")", store, c.thumbprint.c_str(), rc);
                }
            }
        }
        return count;
    }

    // ---- firewall ----

    bool firewall_remove() {
        if (p_.firewall.open() != 0) return false;
        bool ok = true;
        int removed = 0;
        for (const auto& row : kFirewallRules) {
            for (int i = 0; i < 20 && p_.firewall.find_rule(row.name) == 0; ++i) {
                const uint32_t rc = p_.firewall.remove_rule(row.name);
                if (rc != 0) {
                    say("  UYARI: guvenlik duvari kurali silinemedi (%s): 0x%08" PRIX32, row.name, rc);
                    ok = false;
                    break;
                }
                ++removed;
            }
        }
        for (int pass = 0; pass < 5; ++pass) {
            std::vector<platform::FirewallRuleSpec> rules;
            if (p_.firewall.list_rules(rules) != 0) break;
            std::vector<std::string> names;
            for (const auto& r : rules)
                if (r.grouping == "Sorvane") names.push_back(r.name);
            if (names.empty()) break;
            for (const auto& n : names) {
                if (p_.firewall.remove_rule(n) == 0) ++removed;
            }
        }
        if (removed > 0) say("  guvenlik duvari kurali silindi: %d", removed);
        return ok;
    }

    bool firewall_add(const std::string& host) {
        if (p_.firewall.open() != 0) return false;
        firewall_remove();
        bool ok = true;
        for (const auto& row : kFirewallRules) {
            platform::FirewallRuleSpec r;
            r.name = row.name;
            r.grouping = "Sorvane";
            r.application = host;
            r.protocol = row.protocol;
            r.local_ports = row.port;
            r.remote_addresses = "LocalSubnet";
            r.profiles = 6;
            r.direction = 1;
            r.action = 1;
            r.enabled = true;
            if (p_.firewall.add_rule(r) == 0) {
                say("  guvenlik duvari kurali: %s (Ozel + Ortak ag, LocalSubnet)", row.name);
            } else {
                say("  UYARI: kural eklenemedi: %s", row.name);
                ok = false;
            }
        }
        return ok;
    }

    // ---- install ----

    bool windows_check() {
        std::string build_text;
        read_sz("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentBuildNumber", build_text);
        int64_t build = 0;
        if (!parse_int_exact(build_text, build) || build < 0) build = 0;
        if (build < 19045) {
            say("HATA: Windows 10 22H2 (build 19045) ya da Windows 11 gerekir; bulunan build: %" PRId64, build);
            return false;
        }
        if (p_.system.native_architecture() != "x64") {
            say("HATA: yalniz x64 desteklenir");
            return false;
        }
        platform::RegistryValue v;
        uint32_t s_mode = 0;
        if (p_.registry.get_value(kLm, "SYSTEM\\CurrentControlSet\\Control\\CI\\Policy", "SkuPolicyRequired", v) == 0 &&
            platform::read_dword(v, s_mode) && s_mode == 1) {
            say("HATA: Windows S modu: surucu kurulamaz");
            return false;
        }
        say("  Windows: destekleniyor (Win10 22H2+/Win11, x64, S modu degil)");
        return true;
    }

    std::string control_pipe_user() {
        std::string sid;
        if (option("--user-sid", sid)) return sid;
        if (p_.system.console_user_sid(sid) && !sid.empty()) return sid;
        if (p_.system.token_user_sid(sid) && !sid.empty()) {
            say("  UYARI: etkilesimli oturum yok; kurulumu calistiran hesabin SID'i kullanildi (--user-sid ile "
                "degistirilebilir)");
            return sid;
        }
        return {};
    }

    void write_version() {
        std::string v;
        if (dry_run_ || !option("--version", v)) return;
        p_.registry.set_value(kLm, kInstallKey, "Version", platform::reg_sz(v));
    }

    int fail(const std::string& reason) {
        say("HATA: %s", reason.c_str());
        if (keep_on_fail_) {
            say("  --keep-on-fail: GERI ALMA YAPILMADI (teshis)");
            return 1;
        }
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) {
            say("  GERI ALMA: %s", it->description.c_str());
            it->action();
        }
        undo_.clear();
        say("Kurulum GERI ALINDI. Gunluk: %s", log_path_.c_str());
        return 1;
    }

    bool start_check() {
        const int tries = skip_start_check_ ? 10 : 240;
        for (int i = 0; i < tries; ++i) {
            const auto r = child(pnputil() + " /enum-devices /class Display /connected");
            if (r.started && device_started(r.output)) return true;
            p_.clock.sleep_ms(500);
        }
        return false;
    }

    // Whether a root device with our hardware id exists (false when unknown).
    bool root_device_exists(bool& known) {
        const auto r = child(quoted(devtool_path()) + " find " + kHardwareId);
        known = r.started && r.exit_code == 0 && r.output.rfind("0 device(s)", 0) == 0;
        if (known) return false;
        known = r.started && r.exit_code == 0;
        return known;
    }

    int install() {
        say("== sorvane-setup install%s ==", dry_run_ ? " (DRY-RUN: hicbir sey degismez)" : "");
        const bool elevated = p_.system.token_elevated();
        if (!windows_check()) {
            // An administrator's refused run is on record; a standard user writes nothing.
            if (elevated) open_log();
            return 4;
        }
        if (!elevated) {
            if (!dry_run_) {
                say("HATA: yonetici gerekir");
                return 3;
            }
            say("  (yonetici degil: dry-run devam eder)");
        }
        open_log();
        const std::string folder = driver_folder();
        const std::string inf = platform::join_path(folder, kInfName);
        const std::string cat = platform::join_path(folder, kCatName);
        const std::string dll = platform::join_path(folder, kDllName);
        bool missing = false;
        for (const auto& f : {inf, cat, dll, devtool_path()}) {
            if (platform::file_exists(f)) {
                say("  dosya var: %s", f.c_str());
            } else {
                say("HATA: dosya yok: %s", f.c_str());
                missing = true;
            }
        }
        if (missing) return 1;

        std::string sid = control_pipe_user();
        std::string given_sid;
        // Only what the driver admits to its allow list: any other string would
        // lock the user out of the pipe without a word.
        if (option("--user-sid", given_sid) && !platform::string_sid_valid(given_sid)) {
            say("HATA: gecersiz SID: %s", scrub_control(given_sid).c_str());
            return 2;
        }
        say("  kontrol borusu kullanicisi (SID): %s", sid.empty() ? "(BULUNAMADI)" : scrub_control(sid).c_str());
        if (sid.empty() && !dry_run_) {
            say("HATA: etkilesimli kullanici SID'i bulunamadi; --user-sid verin");
            return 1;
        }

        std::string recorded;
        const bool has_recorded = read_sz(kInstallKey, "DriverVersion", recorded) && !recorded.empty();
        std::string given;
        const bool has_given = option("--driver-version", given);
        const auto before = enumerate_packages();
        say("  kurulu surucu paketleri (Provider=Sorvane): %zu, kayitli surucu surumu: %s, paketteki: %s", before.size(),
            has_recorded ? recorded.c_str() : "(yok)", has_given ? given.c_str() : "(belirtilmedi)");
        if (has_recorded && has_given && !before.empty() && compare_versions(given, recorded) <= 0) {
            say("  surucu zaten guncel (kurulu %s >= paket %s): surucuye DOKUNULMAYACAK", recorded.c_str(), given.c_str());
            write_version();
            if (!dry_run_) firewall_add(host_path());
            return 10;
        }
        if (!before.empty() && has("--no-driver-update")) {
            say("  daha yeni surucu paketi var ama --no-driver-update verildi: surucuye DOKUNULMAYACAK");
            write_version();
            if (!dry_run_) firewall_add(host_path());
            return 11;
        }

        say("PLAN:");
        say("  1. RSA-3072 (CNG, disa aktarilamaz) gecici anahtar + kendinden imzali sertifika (%s; yalniz Code Signing "
            "EKU; 10 yil)",
            ("CN=" + subject_cn()).c_str());
        say("  2. imzala: %s ve %s (SHA-256, zaman damgasi yok)", kCatName, kDllName);
        say("  3. YALNIZ .cer -> LocalMachine\\Root + LocalMachine\\TrustedPublisher");
        say("  4. ozel anahtari SIL ve dogrula (dogrulanamazsa DUR + geri al)");
        say("  5. pnputil /add-driver %s /install", inf.c_str());
        say("  6. %s + Logs (yalniz LOCAL SERVICE yazma, kalitimsiz); HKLM\\%s\\ControlPipeSids = %s", data_folder_.c_str(),
            kDriverKey, sid.empty() ? "(BULUNAMADI)" : scrub_control(sid).c_str());
        say("  7. sorvane-devtool install %s %s  (ekranlar bir an titreyebilir; yeniden baslatma gerekmez)", inf.c_str(),
            kHardwareId);
        say("  7b. guvenlik duvari: 4 gelen kural (TCP 47000/47002/47010, UDP 47001), Ozel + Ortak ag, LocalSubnet, grup "
            "Sorvane (basarisiz olursa uyari)");
        say("  8. dogrulama: aygit Started; HKLM\\%s kayitlari; eski surucu paketleri + eski sertifikalar temizlenir "
            "(yalniz yeni OK ise)",
            kInstallKey);

        if (dry_run_) {
            const auto r = child(quoted(devtool_path()) + " find " + kHardwareId);
            say("  [okuma] mevcut kok aygit (sorvane-devtool find): %s",
                r.started ? trimmed(r.output).c_str() : "calistirilamadi");
            const int certs = remove_certificates({}, {}, true);
            say("  [okuma] mevcut Sorvane sertifikalari (Root): %d", certs);
            say("DRY-RUN tamam: hicbir sey degistirilmedi.");
            return 0;
        }

        // 1
        say("[1/8] sertifika uretiliyor...");
        auto key = std::make_shared<SigningKey>();
        std::string reason;
        if (!create_signing_key(*key, reason)) {
            if (key->created && !key->deleted) {
                // A key made before the failure goes with the undo.
                undo_.push_back({"gecici anahtari sil", [this, key] {
                                     std::string r;
                                     delete_and_verify(*key, r);
                                 }});
            }
            return fail("sertifika uretilemedi: " + reason);
        }
        say("  parmak izi: %s", key->thumbprint.c_str());
        undo_.push_back({"gecici anahtari sil", [this, key] {
                             std::string r;
                             delete_and_verify(*key, r);
                         }});
        // 2
        say("[2/8] imzalaniyor...");
        for (const auto& [path, name] : {std::pair{cat, kCatName}, std::pair{dll, kDllName}}) {
            if (!sign(*key, path, reason)) return fail(std::string("imzalanamadi: ") + name + ": " + reason);
            if (!signature_matches(*key, path))
                return fail(std::string("imza dogrulanamadi (parmak izi uyusmuyor): ") + name);
            say("  imzalandi + dogrulandi: %s", name);
        }
        // 3
        say("[3/8] guven depolarina ekleniyor (yalniz .cer)...");
        if (!add_to_store("ROOT", *key))
            return fail("Root'a eklenemedi (kurumsal politika olabilir: bu bilgisayarin guvenlik politikasi sertifika "
                        "eklemeye izin vermiyor)");
        const std::string thumb = key->thumbprint;
        undo_.push_back({"Root'tan sertifikayi cikar", [this, thumb] { remove_certificates(thumb, {}, false); }});
        if (!add_to_store("TrustedPublisher", *key)) return fail("TrustedPublisher'a eklenemedi");
        if (!in_store("ROOT", thumb) || !in_store("TrustedPublisher", thumb))
            return fail("sertifika depolarda dogrulanamadi");
        // 4
        say("[4/8] ozel anahtar siliniyor...");
        if (!delete_and_verify(*key, reason)) return fail("OZEL ANAHTAR SILINEMEDI/DOGRULANAMADI: " + reason);
        say("  ozel anahtar silindi ve DOGRULANDI (acilamiyor, numaralandirmada yok)");
        if (const int orphans = orphan_key_cleanup())
            say("  yetim imza anahtari temizlendi: %d (onceki/sanal ortam calismalarindan)", orphans);
        // 5
        say("[5/8] surucu paketi ekleniyor...");
        const auto added = child(pnputil() + " /add-driver " + quoted(inf) + " /install");
        say("  pnputil cikis kodu %" PRIu32, static_cast<uint32_t>(added.exit_code));
        if (!added.started || (added.exit_code != 0 && added.exit_code != 3010))
            return fail("pnputil /add-driver basarisiz: " + trimmed(added.output));
        const auto after = enumerate_packages();
        std::string new_package;
        for (const auto& pkg : after) {
            bool was = false;
            for (const auto& b : before) was = was || iequals_ascii(b.published_name, pkg.published_name);
            if (!was) new_package = pkg.published_name;
        }
        say("  yeni paket: %s", new_package.empty() ? "(zaten depoda)" : new_package.c_str());
        if (!new_package.empty()) {
            undo_.push_back({"paketi sil " + new_package, [this, new_package] {
                                 child(pnputil() + " /delete-driver " + new_package + " /uninstall /force");
                             }});
        }
        // 6
        say("[6/8] veri klasoru ve kontrol borusu erisimi...");
        platform::create_directories(product_data_);
        const bool data_existed = platform::file_exists(data_folder_);
        const std::string logs = platform::join_path(data_folder_, "Logs");
        platform::create_directories(logs);
        const std::string settings = platform::join_path(data_folder_, "vdd_settings.xml");
        if (!platform::file_exists(settings)) {
            std::string xml;
            if (platform::read_file(platform::join_path(folder, "vdd_settings.xml"), 1u << 20, xml).ok())
                platform::write_file_atomic(settings, xml);
        }
        if (!data_existed) {
            undo_.push_back({"veri klasorunu sil",
                             [this] { child(cmd_exe() + " /c rmdir /s /q " + quoted(data_folder_)); }});
        }
        child(icacls() + " " + quoted(logs) + " /inheritance:d");
        const auto grant = child(icacls() + " " + quoted(logs) + " /grant *S-1-5-19:(OI)(CI)M");
        if (!grant.started || grant.exit_code != 0)
            say("  UYARI: icacls LOCAL SERVICE izni verilemedi (surucu gunluk yazamayabilir)");
        // What the undo puts back: an earlier allow-list of an upgraded install stays.
        platform::RegistryValue previous;
        const bool had_value = p_.registry.get_value(kLm, kDriverKey, "ControlPipeSids", previous) == 0;
        std::vector<std::string> subkeys;
        const bool had_key = p_.registry.list_subkeys(kLm, kDriverKey, subkeys) == 0;
        const bool had_product_key = p_.registry.list_subkeys(kLm, kProductKey, subkeys) == 0;
        if (p_.registry.set_value(kLm, kDriverKey, "ControlPipeSids", platform::reg_multi_sz({sid})) != 0)
            return fail(std::string("HKLM\\") + kDriverKey + "\\ControlPipeSids yazilamadi");
        undo_.push_back({"HKLM VDD anahtarini sil", [this, had_value, had_key, had_product_key, previous] {
                             if (had_value) p_.registry.set_value(kLm, kDriverKey, "ControlPipeSids", previous);
                             else if (had_key) p_.registry.delete_value(kLm, kDriverKey, "ControlPipeSids");
                             else p_.registry.delete_tree(kLm, kDriverKey);
                             // The product key made on the way goes too, when nothing else is in it.
                             std::vector<std::string> keys;
                             std::vector<std::string> values;
                             if (!had_product_key && p_.registry.list_subkeys(kLm, kProductKey, keys) == 0 &&
                                 keys.empty() && p_.registry.list_values(kLm, kProductKey, values) == 0 && values.empty())
                                 p_.registry.delete_tree(kLm, kProductKey);
                         }});
        // 7
        say("[7/8] kok aygit olusturuluyor (ekranlar bir an titreyebilir)...");
        bool known = false;
        const bool node_existed = root_device_exists(known);
        const auto dev = child(quoted(devtool_path()) + " install " + quoted(inf) + " " + kHardwareId);
        say("  sorvane-devtool cikis kodu %" PRIu32 ": %s", static_cast<uint32_t>(dev.exit_code), trimmed(dev.output).c_str());
        if (!dev.started || dev.exit_code != 0) return fail("sorvane-devtool install basarisiz");
        // An upgrade keeps the node that was there before; when the check
        // could not tell, the node goes with the undo like a new one.
        if (!(known && node_existed)) {
            undo_.push_back({"kok aygiti sil",
                             [this] { child(quoted(devtool_path()) + " remove " + kHardwareId); }});
        }
        // 8
        say("[8/8] dogrulama...");
        if (start_check()) {
            say("  aygit Started");
        } else if (skip_start_check_) {
            say("  UYARI: aygit Started degil ama --skip-start-check verildi (yalniz test): devam");
        } else {
            return fail("aygit 120 sn icinde 'Started' olmadi");
        }

        // Commit.
        auto put = [&](const char* name, const std::string& value) {
            p_.registry.set_value(kLm, kInstallKey, name, platform::reg_sz(value));
        };
        put("CertThumbprint", thumb);
        if (has_given) put("DriverVersion", given);
        std::string version;
        option("--version", version);
        put("Version", version);
        put("InstallPath", app_dir_);
        put("InstallChannel", "setup");
        put("FirewallRuleGroup", "Sorvane");
        if (!firewall_add(host_path()))
            say("  UYARI: guvenlik duvari kurallari eklenemedi (eslestirme calismazsa rehbere bakin); kurulum basarili "
                "sayilir");
        undo_.clear();
        if (!new_package.empty()) {
            for (const auto& pkg : enumerate_packages()) {
                bool was = false;
                for (const auto& b : before) was = was || iequals_ascii(b.published_name, pkg.published_name);
                if (!was || iequals_ascii(pkg.published_name, new_package)) continue;
                say("  eski surucu paketi siliniyor: %s", pkg.published_name.c_str());
                child(pnputil() + " /delete-driver " + pkg.published_name + " /uninstall");
            }
        }
        say("  eski sertifikalar cikarildi: %d", remove_certificates({}, thumb, false));
        say("TAMAM. Gunluk: %s", log_path_.c_str());
        return 0;
    }

    // ---- uninstall ----

    int uninstall() {
        say("== sorvane-setup uninstall%s ==", dry_run_ ? " (DRY-RUN)" : "");
        std::string dir;
        if (!option("--app-dir", dir)) read_sz(kInstallKey, "InstallPath", dir);
        app_dir_ = dir;
        // Only an absolute folder names the tool: a relative or empty one would
        // resolve to a place a standard user can create.
        const bool devtool_known = is_absolute_path(app_dir_);
        const std::string tool = devtool_known ? devtool_path() : std::string();
        if (!dry_run_ && !p_.system.token_elevated()) {
            say("HATA: yonetici gerekir");
            return 3;
        }
        open_log();
        say("PLAN: kok aygit (%s) sil; surucu paketleri (Provider=Sorvane, %s) sil; sertifikalar "
            "(Root+TrustedPublisher; yalniz konusu \"%s\" olanlar) cikar; %s HKLM\\%s ve HKLM\\%s sil",
            kHardwareId, kInfName, kSubjectPrefix,
            has("--purge-vdd-data") ? "ProgramData VDD klasoru +" : "(ProgramData VDD klasoru kaldirmada her zaman silinir:)",
            kDriverKey, kInstallKey);
        const bool tool_present = devtool_known && platform::file_exists(tool);
        if (dry_run_) {
            const auto packages = enumerate_packages();
            say("  [okuma] bizim surucu paketleri: %zu; devtool: %s (%s)", packages.size(),
                tool.empty() ? "(bilinmiyor)" : tool.c_str(), tool_present ? "var" : "YOK");
            say("  [okuma] cikarilacak sertifika sayisi: %d", remove_certificates({}, {}, true));
            say("DRY-RUN tamam.");
            return 0;
        }
        bool partial = false;
        if (!tool_present) {
            say("  UYARI: sorvane-devtool bulunamadi; kok aygit silinemedi");
        } else {
            const auto r = child(quoted(tool) + " remove " + kHardwareId);
            say("  kok aygit: cikis %" PRIu32 " %s", static_cast<uint32_t>(r.exit_code), trimmed(r.output).c_str());
            if (!r.started || r.exit_code != 0) partial = true;
        }
        for (const auto& pkg : enumerate_packages()) {
            const auto r = child(pnputil() + " /delete-driver " + pkg.published_name + " /uninstall /force");
            say("  paket %s: cikis %" PRIu32, pkg.published_name.c_str(), static_cast<uint32_t>(r.exit_code));
            if (!r.started || r.exit_code != 0) partial = true;
        }
        std::string thumb;
        if (read_sz(kInstallKey, "CertThumbprint", thumb) && !thumb.empty()) remove_certificates(thumb, {}, false);
        remove_certificates({}, {}, false);
        firewall_remove();
        if (const int orphans = orphan_key_cleanup()) say("  yetim imza anahtari temizlendi: %d", orphans);
        p_.registry.delete_tree(kLm, kDriverKey);
        p_.registry.delete_tree(kLm, kInstallKey);
        p_.registry.delete_tree(kLm, kProductKey);
        child(cmd_exe() + " /c rmdir /s /q " + quoted(data_folder_));
        if (partial) {
            say("KISMEN TAMAM (ayrintilar yukarida)");
            return 1;
        }
        say("TAMAM");
        return 0;
    }

    // ---- other commands ----

    int rehearse_sign(const std::string& dir) {
        say("== sorvane-setup rehearse-sign (%s) ==", dir.c_str());
        SigningKey key;
        std::string reason;
        if (!create_signing_key(key, reason)) {
            say("HATA: %s", reason.c_str());
            std::string ignored;
            if (key.created && !key.deleted) delete_and_verify(key, ignored);
            return 1;
        }
        say("  sertifika: %s", key.thumbprint.c_str());
        bool failed = false;
        for (const char* name : {kCatName, kDllName}) {
            const std::string path = platform::join_path(dir, name);
            if (!platform::file_exists(path)) {
                say("  yok: %s", path.c_str());
                failed = true;
                continue;
            }
            if (!sign(key, path, reason)) {
                say("  IMZA HATASI %s: %s", path.c_str(), reason.c_str());
                failed = true;
                continue;
            }
            const bool ok = signature_matches(key, path);
            say("  %s: %s", path.c_str(), ok ? "imzalandi, imza parmak izi sertifikayla ayni" : "IMZA DOGRULANAMADI");
            failed = failed || !ok;
        }
        if (delete_and_verify(key, reason)) {
            say("  anahtar silme: %s", "silindi ve dogrulandi");
        } else {
            say("  anahtar silme: %s", ("BASARISIZ: " + reason).c_str());
            failed = true;
        }
        return failed ? 1 : 0;
    }

    int remove_cert() {
        std::string thumb;
        if (!option("--thumbprint", thumb) || thumb.size() != 40) return usage();
        // Thumbprints are kept in upper case; one typed in lower case names the same certificate.
        for (char& c : thumb)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (!dry_run_ && !p_.system.token_elevated()) {
            p_.console("yonetici gerekir");
            return 3;
        }
        open_log();
        remove_certificates(thumb, {}, dry_run_);
        return 0;
    }

    const std::vector<std::string>& args_;
    Ports& p_;
    bool dry_run_ = false;
    bool keep_on_fail_ = false;
    bool skip_start_check_ = false;
    std::string app_dir_;
    std::string product_data_;
    std::string data_folder_;
    std::string log_path_;
    std::string system32_;
    std::unique_ptr<platform::AppendFile> log_;
    std::string early_lines_;  // said before the log was opened
    std::vector<RollbackStep> undo_;
};

}  // namespace

int run(const std::vector<std::string>& args, Ports& ports) {
    Setup s(args, ports);
    return s.main();
}

}  // namespace sorvane::setup
