#include "host/report/report.h"

#include <algorithm>
#include <cinttypes>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "common/text.h"
#include "common/text_format.h"
#include "host/core/log.h"
#include "host/core/settings.h"
#include "host/report/report_zip.h"
#include "platform/network.h"
#include "platform/socket.h"
#include "platform/system.h"

namespace sorvane::hostreport {

namespace {

constexpr size_t kLogTailBytes = 4'194'304;
constexpr size_t kSettingsTailBytes = 6'291'456;
constexpr size_t kHostLogsKept = 6;
constexpr size_t kDriverLogsKept = 3;
constexpr size_t kPairingTailBytes = 400'000;
constexpr size_t kPairingLinesKept = 12;
constexpr uint32_t kPollMs = 30;
constexpr uint32_t kProbeMs = 300;
constexpr const char* kHostExe = "sorvane-host.exe";
constexpr const char* kHostLogName = "sorvane-host.log";

bool cancelled(const std::atomic<bool>* cancel) { return cancel != nullptr && cancel->load(); }

std::string stamp_of(const platform::CivilTime& t) {
    return format_text("%04u%02u%02u-%02u%02u%02u", t.year, t.month, t.day, t.hour, t.minute, t.second);
}

// The files of a folder that match keep(name), newest first by last write;
// files of equal time in order of rank(name).
std::vector<std::string> newest_first(const std::string& folder, const std::function<bool(const std::string&)>& keep,
                                      const std::function<int(const std::string&)>& rank) {
    std::vector<std::string> names;
    if (!platform::list_directory(folder, names).ok()) return {};
    struct File {
        std::string name;
        int64_t written = 0;
        int rank = 0;
    };
    std::vector<File> files;
    for (const auto& name : names) {
        if (!keep(name)) continue;
        File f{name, 0, rank(name)};
        uint64_t size = 0;
        const std::string path = platform::join_path(folder, name);
        if (!platform::file_size(path, size).ok() || !platform::file_write_time(path, f.written).ok()) continue;
        files.push_back(std::move(f));
    }
    std::stable_sort(files.begin(), files.end(), [](const File& a, const File& b) {
        return a.written != b.written ? a.written > b.written : a.rank < b.rank;
    });
    std::vector<std::string> out;
    for (auto& f : files) out.push_back(std::move(f.name));
    return out;
}

// "*.log", and the rotated "*.log.1" to "*.log.9".
int log_rotation(const std::string& name) {
    if (name.ends_with(".log")) return 0;
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 2 != name.size() || name[dot + 1] < '1' || name[dot + 1] > '9') return -1;
    return std::string_view(name).substr(0, dot).ends_with(".log") ? name[dot + 1] - '0' : -1;
}

// The last bytes of a file, starting at a whole line when the start was cut
// (a name cut in half would escape masking, and so would a UTF-8 sequence).
bool read_tail(const std::string& path, size_t max_bytes, std::string& out) {
    bool cut = false;
    if (!platform::read_file_tail(path, max_bytes, out, &cut).ok()) return false;
    if (cut) {
        const size_t line = out.find('\n');
        out.erase(0, line == std::string::npos ? out.size() : line + 1);
    }
    return true;
}

std::string profile_set_text(int32_t profiles) {
    if (profiles == 0x7FFFFFFF || profiles == -1) return "tum profiller";
    std::string out;
    for (const auto& [bit, word] : {std::pair{1, "Etki alani"}, std::pair{2, "Ozel"}, std::pair{4, "Genel"}}) {
        if ((profiles & bit) == 0) continue;
        if (!out.empty()) out += ' ';
        out += word;
    }
    return out.empty() ? "(yok)" : out;
}

std::string connectivity_text(uint32_t bits, uint32_t internet, uint32_t local, uint32_t subnet) {
    if (bits & internet) return "internet";
    if (bits & local) return "yalniz yerel ag";
    if (bits & subnet) return "alt ag";
    return "yok";
}

// The state shared by with_timeout and its body's thread.
struct TimedText {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::string text;
};

// What one report call is building.
class Builder {
public:
    Builder(const Info& info, bool open_folder, const std::atomic<bool>* cancel, const ReportEnv& env)
        : info_(info), open_folder_(open_folder), cancel_(cancel), env_(env), clock_(*env.clock) {}

    Result run();

private:
    void step(const char* name);
    void discard();
    Result cancel_now();
    Result fail(const char* error);
    std::string setting(const char* key);
    void timed(const char* heading, const char* name, uint32_t limit_ms, const std::string& fallback,
               std::function<std::string()> body, const char* step_name);
    void summary_head();
    void host_records();
    void timed_sections();
    void add_masked(const std::string& entry, const std::string& text);
    void host_logs();
    void settings_and_setup();
    void driver_logs();
    void crash_list();
    std::string host_logs_folder() const { return platform::join_path(local_, "logs"); }

    const Info& info_;
    const bool open_folder_;
    const std::atomic<bool>* const cancel_;
    const ReportEnv& env_;
    platform::IClock& clock_;

    uint64_t start_ms_ = 0;
    uint64_t last_step_ms_ = 0;
    std::string stamp_;
    // The product's folders under the user's local application data and under
    // ProgramData; has_local_ false and program_data_ empty when unknown.
    std::string local_, program_data_;
    bool has_local_ = false;
    MaskIdentities who_;
    std::string path_, temp_path_;
    std::unique_ptr<ReportZip> zip_;
    std::string summary_;
};

void Builder::step(const char* name) {
    const uint64_t now = clock_.now_ms();
    log("[report] adim %-22s %6llu ms (toplam %llu ms)", name, static_cast<unsigned long long>(now - last_step_ms_),
        static_cast<unsigned long long>(now - start_ms_));
    last_step_ms_ = now;
    if (env_.on_step) env_.on_step(name);
}

// Closes the file without finishing it and removes it.
void Builder::discard() {
    zip_.reset();
    if (!temp_path_.empty()) platform::remove_file(temp_path_);
}

Result Builder::cancel_now() {
    discard();
    Result r;
    r.error = "iptal";
    r.cancelled = true;
    log("[report] iptal edildi (%llu ms)", static_cast<unsigned long long>(clock_.now_ms() - start_ms_));
    return r;
}

Result Builder::fail(const char* error) {
    discard();
    Result r;
    r.error = error;
    log("[report] HATA: %s", error);
    return r;
}

std::string Builder::setting(const char* key) { return settings_get(key).value_or(std::string()); }

void Builder::timed(const char* heading, const char* name, uint32_t limit_ms, const std::string& fallback,
                    std::function<std::string()> body, const char* step_name) {
    summary_ += heading;
    summary_ += with_timeout(clock_, name, limit_ms, cancel_, std::move(body), fallback);
    step(step_name);
}

void Builder::summary_head() {
    auto line = [&](const std::string& text) { summary_ += text + "\n"; };
    line("Sorvane sorun raporu (PC)");
    line("Olusturma: " + stamp_);
    line("Surum: " + info_.version + " | protokol " + info_.protocol);
    uint32_t major = 0;
    uint32_t build = 0;
    if (env_.system != nullptr && env_.system->os_version(major, build)) {
        line(format_text("Isletim sistemi: Windows %" PRIu32 " (build %" PRIu32 ")", build >= 22000 ? 11u : major,
                         build));
    } else {
        line("Isletim sistemi: (okunamadi)");
    }
    std::string cpu = "?";
    if (env_.registry != nullptr) {
        platform::registry_read_sz(*env_.registry, platform::RegistryHive::local_machine,
                                   "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", "ProcessorNameString", cpu);
    }
    const uint32_t cores = env_.system != nullptr ? env_.system->logical_processors() : 0;
    line("Islemci: " + cpu + " (" + std::to_string(cores) + " mantiksal cekirdek)");
    const uint64_t memory = env_.system != nullptr ? env_.system->physical_memory_bytes() : 0;
    line("Bellek: " + std::to_string(memory >> 20) + " MB");
}

void Builder::host_records() {
    auto line = [&](const std::string& text) { summary_ += text + "\n"; };
    line("Etkin kodlayici: " + (info_.encoder.empty() ? std::string("(henuz oturum acilmadi)") : info_.encoder));
    line("Eslesmis cihaz sayisi: " + std::to_string(info_.paired) + " (kayitlar rapora GIRMEZ)");
    std::string installer = "?";
    std::string driver = "?";
    if (env_.registry != nullptr) {
        const auto lm = platform::RegistryHive::local_machine;
        if (!platform::registry_read_sz(*env_.registry, lm, "SOFTWARE\\Sorvane\\Install", "Version", installer))
            installer = "?";
        if (!platform::registry_read_sz(*env_.registry, lm, "SOFTWARE\\Sorvane\\Install", "DriverVersion", driver))
            driver = "?";
    }
    line("Kurulu paket (kayit defteri): kurucu " + installer + ", surucu paketi " + driver);
    const std::string readiness = env_.driver_readiness_note ? env_.driver_readiness_note() : std::string();
    line("Surucu hazir degil kaydi (host): " + (readiness.empty() ? std::string("yok") : readiness));
    line("Guncelleme denetimi (K72): " + (env_.update_status ? env_.update_status() : std::string("(bilinmiyor)")));
    const std::string vibrance = setting(kSettingColorVibrance);
    line("Renk canliligi (K75): " + (vibrance.empty() ? std::string("off") : vibrance) +
         " (yalniz telefona giden goruntu)");
    line(env_.removal_note ? env_.removal_note() : std::string("Son cihaz kaldirma (K78): (bilinmiyor)"));
    const std::string stall = setting(kSettingLastCaptureStall);
    line("Yakalama takilmasi (K85): " + (stall.empty() ? std::string("kayit yok") : stall));
    const std::string unreadable = setting(kSettingLastPairingsUnreadable);
    line("Eslesme dosyasi (K84): " +
         (unreadable.empty() ? std::string("sorun kaydi yok")
                             : unreadable + " (eslesmeler okunamadi; telefonlari QR ile yeniden eslestirmek gerekebilir)"));
    std::string kept = "(klasor yok)";
    if (has_local_) {
        std::vector<std::string> names;
        platform::list_directory(local_, names);
        kept.clear();
        for (const auto& name : names) {
            if (name.rfind("pairings.dat.unreadable-", 0) != 0) continue;
            kept += (kept.empty() ? "" : ", ") + name;
        }
        if (kept.empty()) kept = "yok";
    }
    line("Saklanan okunamayan eslesme dosyalari: " + kept);
    const std::string renewed = setting(kSettingLastTlsIdentityRenewed);
    line("TLS kimligi yenilendi (K84): " +
         (renewed.empty() ? std::string("hayir")
                          : renewed + " (yeni parmak izi; eslesmis telefonlar QR ile yeniden eslesmeli)"));
}

void Builder::timed_sections() {
    // Each body owns what it uses: it may still run after the report is done.
    auto driver = env_.driver_state;
    timed("Surucu durumu (kontrol borusu GET_STATE):\n", "surucu durumu (GET_STATE)", 3000,
          "  (zaman asimi: surucu kontrol borusu yanit vermedi)\n",
          [driver] {
              DriverStateFacts f;
              if (driver) {
                  f = driver();
              } else {
                  f.connect_error = "(bu programda yok)";
              }
              return driver_state_text(f);
          },
          "surucu durumu");

    if (cancelled(cancel_)) return;
    auto networks = env_.networks;
    timed("Ag profili (yalniz tur; ag adi yazilmaz):\n", "ag profili", 4000, "  (zaman asimi: ag listesi yanit vermedi)\n",
          [networks] {
              std::vector<ConnectedNetwork> list;
              const NetworkListStatus status = networks ? networks(list) : NetworkListStatus::unavailable;
              return network_list_text(status, list);
          },
          "ag profili");

    auto block = env_.firewall_block;
    timed("Guvenlik duvari engeli (K92; eski K84 Genel ag uyarisi):\n", "guvenlik duvari engeli", 6000,
          "  (zaman asimi)\n",
          [block] { return firewall_block_text(block ? block() : std::optional<FirewallBlockFacts>()); },
          "genel ag uyarisi");

    if (cancelled(cancel_)) return;
    auto addresses = env_.pairing_addresses;
    const uint16_t port = env_.pairing_port;
    const std::string host_log = has_local_ ? platform::join_path(host_logs_folder(), kHostLogName) : std::string();
    timed("Eslestirme (K67):\n", "eslestirme teshisi", 5000, "  (zaman asimi: eslestirme teshisi yanit vermedi)\n",
          [addresses, port, host_log] {
              const std::vector<PairingAddress> list = addresses ? addresses() : std::vector<PairingAddress>();
              platform::TcpStream probe;
              const bool listening = probe.connect({platform::kLoopbackAddress, port}, kProbeMs).ok();
              probe.close();
              std::string tail;
              if (!host_log.empty()) read_tail(host_log, kPairingTailBytes, tail);
              return pairing_text(list, listening, pairing_log_lines(tail));
          },
          "eslestirme teshisi");

    if (cancelled(cancel_)) return;
    auto policy = env_.firewall_policy;
    const std::string exe = platform::executable_name("sorvane-host");
    timed("Windows Guvenlik Duvari ve Sorvane kurallari:\n", "guvenlik duvari", 6000,
          "  (zaman asimi: guvenlik duvari sorgusu yanit vermedi)\n",
          [policy, exe] {
              FirewallPolicyFacts facts;
              std::unique_ptr<platform::IFirewallPolicy> fw = policy ? policy() : nullptr;
              if (fw && fw->open() == 0) {
                  facts.opened = true;
                  facts.profiles_known = fw->current_profiles(facts.current_profiles) == 0 &&
                                         fw->profile_state(platform::kFirewallProfileDomain, facts.domain) == 0 &&
                                         fw->profile_state(platform::kFirewallProfilePrivate, facts.private_) == 0 &&
                                         fw->profile_state(platform::kFirewallProfilePublic, facts.public_) == 0;
                  facts.rules_ok = fw->list_rules(facts.rules) == 0;
              }
              return firewall_rules_text(facts, exe);
          },
          "guvenlik duvari");

    if (cancelled(cancel_)) return;
    auto security = env_.security_center;
    timed("Kurulu guvenlik yazilimlari (Windows Guvenlik Merkezi):\n", "guvenlik yazilimlari", 6000,
          "  (zaman asimi: WMI yanit vermedi)\n",
          [security] {
              std::unique_ptr<platform::ISecurityCenter> center = security ? security() : nullptr;
              return security_products_text(center.get());
          },
          "guvenlik yazilimlari");
}

void Builder::add_masked(const std::string& entry, const std::string& text) {
    zip_->add(entry, mask_report_text(text, who_), clock_.local_time(clock_.wall_ms()));
}

void Builder::host_logs() {
    if (!has_local_) return;
    const std::string folder = host_logs_folder();
    // The current log and the ones its rotation renamed (".1" newest).
    std::vector<std::string> files = newest_first(
        folder, [](const std::string& n) { return log_rotation(n) >= 0; }, log_rotation);
    if (files.size() > kHostLogsKept) files.resize(kHostLogsKept);
    for (const auto& name : files) {
        if (cancelled(cancel_)) return;
        std::string data;
        if (!read_tail(platform::join_path(folder, name), kLogTailBytes, data)) continue;
        log("[report]   log %s: %zu bayt", name.c_str(), data.size());
        add_masked("loglar/" + scrub_text(name), data);
    }
}

void Builder::settings_and_setup() {
    std::string data;
    const std::string settings = settings_path();
    if (!settings.empty() && read_tail(settings, kSettingsTailBytes, data)) add_masked("ayarlar.txt", data);
    if (!program_data_.empty() &&
        read_tail(platform::join_path(program_data_, "setup.log"), kLogTailBytes, data))
        add_masked("kurulum/setup.log", data);
}

void Builder::driver_logs() {
    if (program_data_.empty()) return;
    const std::string folder = platform::join_path(platform::join_path(program_data_, "VDD"), "Logs");
    std::vector<std::string> files = newest_first(
        folder, [](const std::string& n) { return n.ends_with(".log"); }, [](const std::string&) { return 0; });
    if (files.size() > kDriverLogsKept) files.resize(kDriverLogsKept);
    for (const auto& name : files) {
        if (cancelled(cancel_)) return;
        std::string data;
        if (!read_tail(platform::join_path(folder, name), kLogTailBytes, data)) continue;
        add_masked("surucu/" + scrub_text(name), data);
    }
}

void Builder::crash_list() {
    if (!has_local_) return;
    const std::string folder = platform::join_path(local_, "crash");
    const std::vector<std::string> dumps = newest_first(
        folder, [](const std::string& n) { return n.ends_with(".dmp"); }, [](const std::string&) { return 0; });
    if (dumps.empty()) return;
    std::string text = "Cokme dokumleri rapora GIRMEZ (yalniz adlari). Istenirse kullanici ayrica paylasir:\n";
    for (const auto& name : dumps) text += scrub_text(name) + "\n";
    zip_->add("cokme-dokumleri-listesi.txt", text, clock_.local_time(clock_.wall_ms()));
}

Result Builder::run() {
    // 1. Start, and who is masked.
    start_ms_ = clock_.now_ms();
    last_step_ms_ = start_ms_;
    std::string computer, user, profile;
    if (env_.system != nullptr) {
        env_.system->computer_name(computer);
        env_.system->user_name(user);
        env_.system->user_profile(profile);
    }
    const size_t slash = profile.find_last_of("\\/");
    who_.computers = {computer};
    // The name the host's own lines carry, when the platform gives it another.
    std::string host_name;
    if (platform::computer_name(host_name) && host_name != computer) who_.computers.push_back(host_name);
    who_.users = {user, slash == std::string::npos ? profile : profile.substr(slash + 1)};
    if (env_.paired_devices) env_.paired_devices(who_.client_ids, who_.device_names);
    has_local_ = env_.paths != nullptr && env_.paths->local_app_data(local_);
    if (has_local_) local_ = platform::join_path(local_, "Sorvane");
    if (env_.paths == nullptr || !env_.paths->program_data(program_data_)) program_data_.clear();
    if (!program_data_.empty()) program_data_ = platform::join_path(program_data_, "Sorvane");

    // 2, 3. The desktop and the file, written under a temporary name and
    // renamed into place only when whole.
    std::string desktop;
    if (env_.paths == nullptr || !env_.paths->desktop(desktop) || desktop.empty()) return fail("Masaustu klasoru bulunamadi");
    stamp_ = stamp_of(clock_.local_time(clock_.wall_ms()));
    path_ = platform::join_path(desktop, "Sorvane-sorun-raporu-" + stamp_ + ".zip");
    temp_path_ = path_ + ".tmp";
    platform::FileResult created;
    std::unique_ptr<platform::OutputFile> file =
        env_.create_file ? env_.create_file(temp_path_, created) : platform::create_output_file(temp_path_, created);
    if (!file) {
        temp_path_.clear();
        return fail("zip dosyasi olusturulamadi");
    }
    zip_ = std::make_unique<ReportZip>(std::move(file));
    step("zip acildi");

    // 4. The machine.
    summary_head();
    step("windows/cpu/bellek");

    // 5. Graphics adapters.
    if (cancelled(cancel_)) return cancel_now();
    auto gpus = env_.gpu_adapters;
    timed("Ekran kartlari (DXGI):\n", "DXGI adaptor listesi", 5000, "  (zaman asimi: DXGI yanit vermedi)\n",
          [gpus] {
              std::unique_ptr<platform::IGpuAdapters> adapters = gpus ? gpus() : nullptr;
              std::vector<platform::AdapterDesc> list;
              const int32_t hr = adapters ? adapters->enum_adapters(list) : -1;
              return adapters_text(hr, list);
          },
          "DXGI");

    // 6. The host's own records.
    if (cancelled(cancel_)) return cancel_now();
    host_records();

    // 7. The timed probes.
    timed_sections();
    if (cancelled(cancel_)) return cancel_now();

    // 8. The summary.
    summary_ +=
        "\nRaporda OLMAYANLAR: eslesme kayitlari, host kimligi/sertifika/anahtarlar, cokme dokumleri, yazilan metinler.\n"
        "IP adresleri a.b.*.* olarak, IPv6/MAC tamamen, bilgisayar ve kullanici adi degistirilerek maskelenir.\n";
    add_masked("ozet.txt", summary_);
    step("ozet.txt");

    // 9 to 12. The files.
    host_logs();
    if (cancelled(cancel_)) return cancel_now();
    step("host gunlukleri");
    settings_and_setup();
    step("ayarlar+kurulum");
    driver_logs();
    if (cancelled(cancel_)) return cancel_now();
    step("surucu gunlukleri");
    crash_list();

    // 13. Close; a cancel that came during the last write still wins.
    if (cancelled(cancel_)) return cancel_now();
    const int files = static_cast<int>(zip_->entries());
    const bool written = zip_->close();
    zip_.reset();
    if (cancelled(cancel_)) return cancel_now();
    if (!written || !platform::rename_file(temp_path_, path_).ok()) return fail("zip yazilamadi");
    temp_path_.clear();
    if (cancelled(cancel_)) {
        platform::remove_file(path_);
        return cancel_now();
    }
    Result r;
    r.ok = true;
    r.path = path_;
    r.files = files;
    step("zip kapandi");
    if (open_folder_ && env_.shell != nullptr) {
        env_.shell->show_in_folder(path_);
        step("explorer");
    }
    return r;
}

}  // namespace

std::string with_timeout(platform::IClock& clock, const char* name, uint32_t limit_ms, const std::atomic<bool>* cancel,
                         std::function<std::string()> body, const std::string& fallback) {
    auto state = std::make_shared<TimedText>();
    std::thread([state, body = std::move(body)] {
        std::string text = body();
        std::lock_guard<std::mutex> g(state->mutex);
        state->text = std::move(text);
        state->done = true;
        state->cv.notify_all();
    }).detach();
    const uint64_t deadline = clock.now_ms() + limit_ms;
    std::unique_lock<std::mutex> lock(state->mutex);
    for (;;) {
        const uint64_t now = clock.now_ms();
        if (clock.wait_until(lock, state->cv, std::min(now + kPollMs, deadline), [&] { return state->done; }))
            return state->text;
        if (cancelled(cancel)) return fallback;
        if (clock.now_ms() >= deadline) {
            lock.unlock();
            log("[report] ZAMAN ASIMI: %s (%" PRIu32 " ms) -- atlandi", name, limit_ms);
            return fallback;
        }
    }
}

Result create(const Info& info, bool open_folder, const std::atomic<bool>* cancel, const ReportEnv& env) {
    if (env.clock == nullptr) {
        Result r;
        r.error = "saat yok";
        return r;
    }
    return Builder(info, open_folder, cancel, env).run();
}

// ---- section texts ----

std::string adapters_text(int32_t enum_result, const std::vector<platform::AdapterDesc>& adapters) {
    if (enum_result < 0) return "  (DXGI okunamadi)\n";
    if (adapters.empty()) return "  (adaptor yok)\n";
    struct Shown {
        std::string identity;
        const platform::AdapterDesc* adapter;
        int count;
    };
    std::vector<Shown> shown;
    for (const auto& a : adapters) {
        const std::string identity = format_text("%04" PRIX32 ":%04" PRIX32 ":%08" PRIX32 ":%02" PRIX32 ":%s",
                                                 a.vendor_id, a.device_id, a.subsys_id, a.revision,
                                                 a.description.c_str());
        auto it = std::find_if(shown.begin(), shown.end(), [&](const Shown& s) { return s.identity == identity; });
        if (it != shown.end()) {
            ++it->count;
        } else {
            shown.push_back({identity, &a, 1});
        }
    }
    std::string out;
    for (size_t i = 0; i < shown.size(); ++i) {
        const auto& a = *shown[i].adapter;
        out += "  [" + std::to_string(i) + "] " + scrub_text(a.description) +
               format_text(" | vendor 0x%04" PRIX32 " | ayrik bellek %llu MB%s", a.vendor_id,
                           static_cast<unsigned long long>(a.dedicated_video_memory >> 20),
                           a.software ? " | YAZILIM adaptoru" : "");
        if (shown[i].count >= 2) out += " | " + std::to_string(shown[i].count) + " LUID";
        out += "\n";
    }
    return out;
}

std::string driver_state_text(const DriverStateFacts& facts) {
    if (!facts.connected) return "  surucu kontrol borusuna baglanilamadi: " + scrub_text(facts.connect_error) + "\n";
    if (!facts.ok) return "  GET_STATE hata: " + scrub_text(facts.failure) + "\n";
    std::string out;
    for (const auto& [key, value] : facts.pairs) out += "  " + scrub_text(key) + " = " + scrub_text(value) + "\n";
    return out;
}

std::string network_list_text(NetworkListStatus status, const std::vector<ConnectedNetwork>& networks) {
    if (status == NetworkListStatus::unavailable) return "  (ag listesi okunamadi)\n";
    if (status == NetworkListStatus::enumeration_failed) return "  (bagli ag yok ya da okunamadi)\n";
    if (networks.empty()) return "  (bagli ag yok)\n";
    std::string out;
    int n = 0;
    for (const auto& net : networks) {
        const char* category = net.category == 1   ? "OZEL (Private)"
                               : net.category == 2 ? "ETKI ALANI (Domain)"
                                                   : "GENEL (Public)";
        out += format_text("  ag %d: profil %s; baglanti: IPv4 %s, IPv6 %s\n", ++n, category,
                           connectivity_text(net.connectivity, 0x40, 0x20, 0x10).c_str(),
                           connectivity_text(net.connectivity, 0x400, 0x200, 0x100).c_str());
    }
    return out;
}

std::string firewall_block_text(const std::optional<FirewallBlockFacts>& facts) {
    if (!facts) return "  (ag gozlemcisi bu programda calismiyor)\n";
    const FirewallBlockFacts& f = *facts;
    std::string out = "  fiziksel bagdastiricilar (QR'a girenler; ag adi yazilmaz): " + scrub_text(f.network_text) + "\n";
    if (f.details_known) {
        const char* category = f.category == 1   ? "Genel"
                               : f.category == 2 ? "Ozel"
                               : f.category == 3 ? "Etki alani"
                                                 : "bilinmiyor";
        out += std::string("  ") + category + " profil: guvenlik duvari " + (f.firewall_enabled ? "acik" : "kapali") +
               ", varsayilan gelen " + (f.default_inbound_block ? "engelle" : "izin ver") +
               (f.block_all_inbound ? ", GELEN TUM BAGLANTILAR ENGELLI" : "") + ", sorvane-host.exe TCP 47000 izni " +
               (f.block_rule ? "ENGELLE kurali var" : f.allow_rule ? "var" : "YOK") + "\n";
    }
    out += std::string("  mDNS'te bilgisayar adi: ") + (f.physical_public ? "gizli (fiziksel bir ag Ortak)" : "acik") + "\n";
    out += std::string("  Guvenlik duvari engeli uyarisi (panelde): ") + (f.warning_shown ? "GOSTERILIYOR" : "yok");
    if (!f.first_blocked_at.empty()) out += " (bu calismada ilk gorundugu an: " + scrub_text(f.first_blocked_at) + ")";
    return out + "\n";
}

std::vector<std::string> pairing_log_lines(std::string_view tail) {
    std::vector<std::string> kept;
    size_t start = 0;
    while (start < tail.size()) {
        size_t end = tail.find('\n', start);
        if (end == std::string_view::npos) end = tail.size();
        std::string_view line = tail.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() > 8 && line.find("[pairing]") != std::string_view::npos) kept.emplace_back(line);
        start = end + 1;
    }
    if (kept.size() > kPairingLinesKept) kept.erase(kept.begin(), kept.end() - kPairingLinesKept);
    return kept;
}

std::string pairing_text(const std::vector<PairingAddress>& addresses, bool listening,
                         const std::vector<std::string>& pairing_lines) {
    std::string out =
        "  QR'a girecek IPv4 adresleri (sira = telefonun deneme sirasi; sanal bagdastiricilar sonda):\n";
    if (addresses.empty()) out += "    (aktif IPv4 adresi yok)\n";
    for (size_t i = 0; i < addresses.size(); ++i) {
        const auto& a = addresses[i];
        out += "    " + std::to_string(i + 1) + ". " + scrub_text(a.ip) + " | bagdastirici \"" +
               scrub_text(a.friendly_name) + "\" (" + scrub_text(a.description) + ") | " +
               (a.is_virtual ? "SANAL" : "fiziksel") + (a.usb ? " | USB internet paylasimi" : "") +
               (a.default_route ? " | varsayilan rota" : "") + (a.mesh_range ? " | mesh VPN araligi" : "") + "\n";
    }
    out += std::string("  Eslestirme dinleyicisi (TCP 47010, yerel deneme): ") +
           (listening ? "DINLIYOR (eslestirme penceresi acik)"
                      : "dinlemiyor (QR ekrani acik degilse normal; pencere 120 sn)") +
           "\n";
    out += "  Son eslestirme gunlugu satirlari (host gunlugunun son bolumu, en fazla 12):\n";
    if (pairing_lines.empty())
        out += "    (yok: hicbir eslestirme baglantisi gelmedi ya da gunluk bu sureci kapsamiyor)\n";
    for (const auto& line : pairing_lines) out += "    " + scrub_text(line) + "\n";
    return out;
}

std::string firewall_rules_text(const FirewallPolicyFacts& facts, const std::string& host_executable) {
    if (!facts.opened) return "  (Windows Guvenlik Duvari ilkesi okunamadi)\n";
    std::string out;
    if (facts.profiles_known) {
        out += "  etkin ag profili: " + profile_set_text(facts.current_profiles) + "\n";
        const std::pair<const char*, const platform::FirewallProfileState*> profiles[] = {
            {"Etki alani", &facts.domain}, {"Ozel", &facts.private_}, {"Genel", &facts.public_}};
        for (const auto& [word, p] : profiles) {
            out += std::string("  guvenlik duvari ") + word + ": " + (p->enabled ? "ACIK" : "kapali") +
                   ", varsayilan gelen: " + (p->default_inbound_block ? "engelle" : "izin ver") + "\n";
        }
    } else {
        out += "  etkin ag profili: (okunamadi)\n";
    }
    if (!facts.rules_ok) return out + "  (kurallar listelenemedi)\n";
    const std::string exe = ascii_lower(host_executable);
    std::vector<std::string> own, others;
    for (const auto& r : facts.rules) {
        const bool product = r.grouping == "Sorvane" || r.name.rfind("Sorvane", 0) == 0;
        if (!product && ascii_lower(r.application).find(exe) == std::string::npos) continue;
        std::string applies;
        if (!facts.profiles_known) {
            applies = " (bu agda bilinmiyor)";
        } else {
            const bool all = r.profiles == 0x7FFFFFFF || r.profiles == -1;
            applies = (all || (r.profiles & facts.current_profiles) != 0) ? " (bu agda GECERLI)" : " (bu agda GECERSIZ)";
        }
        std::string line = "  kural \"" + scrub_text(r.name) + "\"" + (product ? "" : " (baska kaynak)") + ": " +
                           (r.enabled ? "ETKIN" : "DEVRE DISI") + ", " + (r.action == 1 ? "izin ver" : "ENGELLE") +
                           ", " + (r.direction == 1 ? "gelen" : "giden") + ", profil " + profile_set_text(r.profiles) +
                           applies + ", port " + (r.local_ports.empty() ? std::string("-") : scrub_text(r.local_ports)) +
                           ", kapsam " +
                           (r.remote_addresses.empty() ? std::string("-") : scrub_text(r.remote_addresses)) +
                           ", program " + (r.application.empty() ? std::string("(herhangi)") : std::string(kHostExe));
        if (!r.application.empty() && !platform::file_exists(platform::expand_environment(r.application))) line += " (DOSYA YOK)";
        line += "\n    protokol " + (r.protocol == 6    ? std::string("TCP")
                                     : r.protocol == 17 ? std::string("UDP")
                                                        : std::to_string(r.protocol)) +
                "\n";
        (product ? own : others).push_back(std::move(line));
    }
    out += "  Sorvane kurallari: " + std::to_string(own.size()) +
           " (beklenen: 4 gelen kural: TCP 47000/47002/47010, UDP 47001; yalniz Ozel ag, kapsam LocalSubnet)\n";
    for (const auto& l : own) out += l;
    out += "  sorvane-host.exe icin baska kaynakli kurallar: " + std::to_string(others.size()) + "\n";
    for (const auto& l : others) out += l;
    return out;
}

std::string security_products_text(platform::ISecurityCenter* center) {
    if (center == nullptr) return "  (WMI baslatilamadi)\n";
    switch (center->connect()) {
        case platform::SecurityCenterStatus::wmi_unavailable:
            return "  (WMI baslatilamadi)\n";
        case platform::SecurityCenterStatus::unreachable:
            return "  (Windows Guvenlik Merkezi sorgulanamadi: sunucu Windows ya da servis kapali olabilir)\n";
        case platform::SecurityCenterStatus::ok:
            break;
    }
    std::string out;
    for (const auto& [cls, word] : {std::pair{"AntiVirusProduct", "antivirus"}, std::pair{"FirewallProduct", "guvenlik duvari"}}) {
        std::vector<std::string> names;
        if (!center->products(cls, names) || names.empty()) {
            out += std::string("  ") + word + ": (kayitli urun yok ya da okunamadi)\n";
            continue;
        }
        for (const auto& n : names) out += std::string("  ") + word + ": " + scrub_text(n) + "\n";
    }
    return out;
}

std::unique_ptr<SystemReportEnv> system_report_env() {
    auto s = std::make_unique<SystemReportEnv>();
    s->clock = platform::make_system_clock();
    s->paths = platform::make_system_paths();
    s->system = platform::make_system_info();
    s->registry = platform::make_system_registry();
    s->shell = platform::make_shell();
    ReportEnv& e = s->env;
    e.clock = s->clock.get();
    e.paths = s->paths.get();
    e.system = s->system.get();
    e.registry = s->registry.get();
    e.shell = s->shell.get();
    e.gpu_adapters = [] { return platform::make_system_gpu_adapters(); };
    e.firewall_policy = [] { return platform::make_firewall_policy(); };
    e.networks = [](std::vector<ConnectedNetwork>& out) {
        std::unique_ptr<platform::INetworkList> list = platform::make_network_list();
        if (!list) return NetworkListStatus::unavailable;
        std::vector<platform::NetworkConnection> connections;
        // The port names the failed step only by its HRESULT: any failure reads as "could not list".
        if (list->connections(connections) != 0) return NetworkListStatus::enumeration_failed;
        for (const auto& c : connections) out.push_back({c.category, c.connectivity});
        return NetworkListStatus::ok;
    };
    e.security_center = [] { return platform::make_security_center(); };
    return s;
}

}  // namespace sorvane::hostreport
