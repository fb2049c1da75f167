// hostreport::create on a simulated machine: the entries and their order,
// masking of everything that identifies the machine, the user and the
// devices, cancellation at every step, a probe that never answers, and the
// failures that leave no file.
#include "host/report/report.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "common/text.h"
#include "platform/codepage.h"
#include "platform/sim/gpu_sim.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/ports.h"
#include "platform/socket.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_reader.h"

namespace sorvane::hostreport {
namespace {

namespace fs = std::filesystem;

const std::string kComputer = "G\xC3\x9CL\xC5\x9E" "EN-PC";  // GÜLŞEN-PC
const std::string kUser = "\xC5\x9E\xC3\xBCkr\xC3\xBC";       // Şükrü
const std::string kProfile = "sukru";
const std::string kClientId = "viewer-3a4b5c6d7e8f9a0b";
const std::string kDeviceName = "Ay\xC5\x9F" "e'nin Telefonu";
const std::string kHostId = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
const std::string kFingerprint = "c0ffee0123456789abcdef0123456789abcdef0123456789abcdef0123456789";
const std::string kToken = "00112233445566778899aabbccddeeff";

class Folders final : public platform::IPaths {
public:
    Folders(std::string local, std::string program_data, std::string desktop)
        : local_(std::move(local)), program_data_(std::move(program_data)), desktop_(std::move(desktop)) {}
    bool local_app_data(std::string& out) override { return (out = local_), !out.empty(); }
    bool program_data(std::string& out) override { return (out = program_data_), !out.empty(); }
    bool working_directory(std::string& out) override { return (out = local_), true; }
    bool desktop(std::string& out) override { return (out = desktop_), !out.empty(); }

private:
    std::string local_, program_data_, desktop_;
};

// Delegates to a real file; its close is where a test's cancel arrives.
class CancelOnClose final : public platform::OutputFile {
public:
    CancelOnClose(std::unique_ptr<platform::OutputFile> file, std::atomic<bool>& cancel)
        : file_(std::move(file)), cancel_(cancel) {}
    bool write(std::string_view data) override { return file_->write(data); }
    bool close() override {
        const bool closed = file_->close();
        cancel_.store(true);
        return closed;
    }

private:
    std::unique_ptr<platform::OutputFile> file_;
    std::atomic<bool>& cancel_;
};

void write_file(const std::string& path, const std::string& data, int age_minutes) {
    fs::create_directories(fs::path(path).parent_path());
    test::write_all(path, data);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::minutes(age_minutes));
}

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::MachineSetup setup;
        setup.computer_name = kComputer;
        ASSERT_TRUE(machine->initialize(setup)) << machine->last_error();
        ASSERT_TRUE(machine->update("test", [](sim::MachineState& s) {
            s.workstation.user_name = kUser;
            s.workstation.profile_folder = kProfile;
            sim::FirewallRule rule;
            rule.name = "Sorvane Kontrol (TCP 47000)";
            rule.grouping = "Sorvane";
            rule.application = "/yok/sorvane-host";
            rule.protocol = 6;
            rule.local_ports = "47000";
            rule.remote_addresses = "LocalSubnet";
            rule.profiles = 2;
            s.firewall.rules.push_back(rule);
        }));
        settings_variable_ = std::getenv("SORVANE_SETTINGS_PATH") ? std::getenv("SORVANE_SETTINGS_PATH") : "";
        ::setenv("SORVANE_SETTINGS_PATH", (local + "/Sorvane/settings.txt").c_str(), 1);
        fs::create_directories(desktop);
        listener.listen("127.0.0.1", 0);

        env.clock = &clock;
        env.paths = &folders;
        env.system = system.get();
        env.registry = registry.get();
        env.shell = shell.get();
        auto m = machine;
        env.gpu_adapters = [m] { return sim::make_sim_gpu_adapters(m); };
        env.firewall_policy = [m] { return sim::make_sim_firewall(m); };
        env.security_center = [m] { return sim::make_sim_security_center(m); };
        env.driver_state = [] {
            DriverStateFacts f;
            f.connected = f.ok = true;
            f.pairs = {{"proto", "SVC/1"}, {"count", "1"}};
            return f;
        };
        env.pairing_addresses = [] {
            PairingAddress a;
            a.ip = "192.168.1.23";
            a.friendly_name = "Wi-Fi";
            a.description = "Kablosuz";
            a.default_route = true;
            return std::vector<PairingAddress>{a};
        };
        env.pairing_port = listener.port();
        env.paired_devices = [](std::vector<std::string>& ids, std::vector<std::string>& names) {
            ids = {kClientId};
            names = {kDeviceName};
        };
    }

    void TearDown() override {
        if (settings_variable_.empty()) {
            ::unsetenv("SORVANE_SETTINGS_PATH");
        } else {
            ::setenv("SORVANE_SETTINGS_PATH", settings_variable_.c_str(), 1);
        }
    }

    // What a host that streamed and paired leaves behind.
    void seed_files(bool long_log = false) {
        const std::string secrets = "[+   0.100] [pairing] eslestirme URI'si: sorvane://pair?host=" + kHostId +
                                    "&port=47000&fp=" + kFingerprint + "&token=" + kToken +
                                    "&ip=192.168.1.23&name=G%C3%9CL%C5%9EEN-PC\n"
                                    "[+   0.200] [pairing] SONUC: eslesti client_id=" + kClientId + " fp=" +
                                    kFingerprint + " 192.168.1.23:51234\n"
                                    "[+   0.300] [session 1] cihaz \"" + kDeviceName + "\" [fe80::1c2b:3d4e:5f60:7a8b%12]:47001 "
                                    "MAC AA-BB-CC-DD-EE-FF\n"
                                    "[+   0.400] [host] veri: C:\\Users\\" + kProfile + "\\AppData " + kUser + " " +
                                    platform::utf8_to_oem(kUser, 1254) + " " + kComputer + "\n";
        const std::string logs = local + "/Sorvane/logs/";
        write_file(logs + "sorvane-host.log", secrets, 1);
        write_file(logs + "sorvane-host.log.1", "bir onceki calisma " + kComputer + "\n", 10);
        // Longer than the 4 MiB taken: the cut falls inside the "ü" of the user's name.
        write_file(logs + "sorvane-host.log.2",
                   long_log ? "basi\nC:\\Users\\" + kUser + "\n" + std::string(4'194'304 - kUser.size() + 2 - 1, 'y') + "\n"
                            : "daha once\n",
                   20);
        write_file(logs + "eski.log", "eski\n", 30);
        write_file(logs + "notlar.txt", "not a log\n", 0);
        write_file(local + "/Sorvane/settings.txt", "lang=tr\nlast_device_removed=client " + kClientId + "\n", 5);
        write_file(local + "/Sorvane/crash/sorvane-host-20250101-101010-42.dmp", "MDMP", 40);
        write_file(local + "/Sorvane/crash/sorvane-host-20250102-101010-43.dmp", "MDMP", 30);
        write_file(program_data + "/Sorvane/setup.log", "2025-01-01 10:00:00  kurulum " + kUser + "\n", 50);
        for (int day = 1; day <= 4; ++day) {
            write_file(program_data + "/Sorvane/VDD/Logs/sv_2025-01-0" + std::to_string(day) + ".log",
                       "MONITOR_ADD key=" + kToken + "\r\n", 60 - day);
        }
    }

    // The desktop's files, and whether any of them is a report or its part.
    std::vector<std::string> desktop_files() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(desktop)) out.push_back(e.path().filename().string());
        return out;
    }

    test::TempDir dir;
    std::string local = dir.file("local");
    std::string program_data = dir.file("pd");
    std::string desktop = dir.file("desktop");
    std::shared_ptr<sim::Machine> machine = std::make_shared<sim::Machine>();
    sim::ManualClock clock;
    Folders folders{local, program_data, desktop};
    std::unique_ptr<platform::ISystemInfo> system = sim::make_sim_system_info(machine);
    std::unique_ptr<platform::IRegistry> registry = sim::make_sim_registry(machine);
    std::unique_ptr<platform::IShell> shell = sim::make_sim_shell(machine);
    platform::TcpListener listener;
    ReportEnv env;
    Info info{"0.1.14", "1.0 (0x0100)", "x264 | adaptor: cpu | YAZILIM", 1};
    std::string settings_variable_;
};

TEST_F(ReportTest, EveryEntryInOrderAndNothingThatIdentifiesAnyone) {
    seed_files(true);
    test::HostLog log;
    const Result r = create(info, true, nullptr, env);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(desktop_files(), std::vector<std::string>{fs::path(r.path).filename().string()});

    std::vector<test::ZipEntry> entries;
    std::string error;
    ASSERT_TRUE(test::read_zip(r.path, entries, error)) << error;
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"ozet.txt", "loglar/sorvane-host.log", "loglar/sorvane-host.log.1",
                                               "loglar/sorvane-host.log.2", "loglar/eski.log", "ayarlar.txt",
                                               "kurulum/setup.log", "surucu/sv_2025-01-04.log",
                                               "surucu/sv_2025-01-03.log", "surucu/sv_2025-01-02.log",
                                               "cokme-dokumleri-listesi.txt"}));
    EXPECT_EQ(r.files, static_cast<int>(entries.size()));
    EXPECT_EQ(entries.back().data,
              "Cokme dokumleri rapora GIRMEZ (yalniz adlari). Istenirse kullanici ayrica paylasir:\n"
              "sorvane-host-20250102-101010-43.dmp\nsorvane-host-20250101-101010-42.dmp\n");

    // The summary's sections in order, with what the machine told.
    const std::string& summary = entries[0].data;
    size_t at = 0;
    for (const std::string line : {
             "Sorvane sorun raporu (PC)\n", "Surum: 0.1.14 | protokol 1.0 (0x0100)\n",
             "Isletim sistemi: Windows 11 (build 22631)\n",
             "Islemci: Simulated x64 Processor @ 3.00GHz (8 mantiksal cekirdek)\n", "Bellek: 16384 MB\n",
             "Ekran kartlari (DXGI):\n  [0] Simulated Render GPU 1 | vendor 0x",
             "Etkin kodlayici: x264 | adaptor: cpu | YAZILIM\n", "Eslesmis cihaz sayisi: 1 (kayitlar rapora GIRMEZ)\n",
             "Surucu durumu (kontrol borusu GET_STATE):\n  proto = SVC/1\n  count = 1\n",
             "Ag profili (yalniz tur; ag adi yazilmaz):\n",
             "Eslestirme (K67):\n", "    1. 192.168.*.* | bagdastirici \"Wi-Fi\" (Kablosuz) | fiziksel | varsayilan rota\n",
             "  Eslestirme dinleyicisi (TCP 47010, yerel deneme): DINLIYOR (eslestirme penceresi acik)\n",
             "    [+   0.200] [pairing] SONUC: eslesti client_id=<istemci> fp=[parmak-izi-maskeli] 192.168.*.*:51234\n",
             "Windows Guvenlik Duvari ve Sorvane kurallari:\n",
             "  kural \"Sorvane Kontrol (TCP 47000)\": ETKIN, izin ver, gelen, profil Ozel (bu agda GECERSIZ), port "
             "47000, kapsam LocalSubnet, program sorvane-host.exe (DOSYA YOK)\n    protokol TCP\n",
             "Kurulu guvenlik yazilimlari (Windows Guvenlik Merkezi):\n  antivirus: Windows Defender\n",
             "\nRaporda OLMAYANLAR: "}) {
        const size_t found = summary.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\n--- in ---\n" << summary;
        at = found + line.size();
    }

    // Nothing that identifies the machine, the user or the device, in any
    // entry and any form it was written in.
    const std::vector<std::string> secrets = {
        kComputer, ascii_lower(kComputer), "G%C3%9CL%C5%9EEN-PC", kUser, platform::utf8_to_oem(kUser, 1254),
        "\\" + kProfile + "\\", "kr\xC3\xBC", kClientId, kDeviceName, kHostId, kFingerprint, kToken, "192.168.1.23", "1.23",
        "fe80", "5f60:7a8b", "AA-BB-CC"};
    for (const auto& e : entries) {
        EXPECT_TRUE(is_valid_utf8(e.data)) << e.name;
        for (const auto& secret : secrets) EXPECT_EQ(e.data.find(secret), std::string::npos) << e.name << ": " << secret;
    }

    // The steps, in order, and the folder shown with the file selected.
    at = 0;
    for (const char* step : {"zip acildi", "windows/cpu/bellek", "DXGI", "surucu durumu", "ag profili",
                             "genel ag uyarisi", "eslestirme teshisi", "guvenlik duvari", "guvenlik yazilimlari",
                             "ozet.txt", "host gunlukleri", "ayarlar+kurulum", "surucu gunlukleri", "zip kapandi",
                             "explorer"}) {
        const size_t found = log.text().find(std::string("[report] adim ") + step + " ", at);
        ASSERT_NE(found, std::string::npos) << step << "\n" << log.text();
        at = found;
    }
    EXPECT_TRUE(log.has("[report]   log sorvane-host.log.1: "));
    EXPECT_NE(machine->journal().find("shell select " + r.path), std::string::npos);
}

TEST_F(ReportTest, CancelAtAnyStepLeavesNoFile) {
    seed_files();
    const std::vector<std::string> steps = {"zip acildi", "windows/cpu/bellek", "DXGI", "surucu durumu", "ag profili",
                                            "genel ag uyarisi", "eslestirme teshisi", "guvenlik duvari",
                                            "guvenlik yazilimlari", "ozet.txt", "host gunlukleri", "ayarlar+kurulum",
                                            "surucu gunlukleri", "(son yazma)"};
    for (const std::string& at : steps) {
        test::HostLog log;
        std::atomic<bool> cancel{false};
        ReportEnv e = env;
        e.on_step = [&](std::string_view step) {
            if (step == at) cancel.store(true);
        };
        if (at == "(son yazma)") {
            // The flag arrives while the central directory is written.
            e.create_file = [&](const std::string& path, platform::FileResult& result) {
                return std::make_unique<CancelOnClose>(platform::create_output_file(path, result), cancel);
            };
        }
        const Result r = create(info, true, &cancel, e);
        EXPECT_FALSE(r.ok) << at;
        EXPECT_TRUE(r.cancelled) << at;
        EXPECT_EQ(r.error, "iptal") << at;
        EXPECT_TRUE(desktop_files().empty()) << at;
        EXPECT_TRUE(log.has("[report] iptal edildi (")) << at;
        EXPECT_FALSE(log.has("adim explorer")) << at;
    }
}

TEST_F(ReportTest, AFirewallThatNeverAnswersGivesItsFallbackOnTime) {
    ASSERT_TRUE(machine->update("hang", [](sim::MachineState& s) { s.faults.arm("firewall.open", 1, sim::kFaultHang); }));
    test::HostLog log;
    // Time moves on by the firewall's limit once the report waits for it.
    std::atomic<bool> waiting_for_firewall{false};
    std::atomic<bool> done{false};
    ReportEnv e = env;
    e.on_step = [&](std::string_view step) {
        if (step == "eslestirme teshisi") waiting_for_firewall.store(true);
    };
    std::thread time([&] {
        while (!done.load()) {
            if (waiting_for_firewall.load() && clock.waiters() > 0) {
                waiting_for_firewall.store(false);
                clock.advance_ms(6000);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const Result r = create(info, false, nullptr, e);
    done.store(true);
    time.join();
    machine->update("release", [](sim::MachineState& s) { s.faults.clear("firewall.open"); });

    ASSERT_TRUE(r.ok) << r.error;
    std::vector<test::ZipEntry> entries;
    std::string error;
    ASSERT_TRUE(test::read_zip(r.path, entries, error)) << error;
    EXPECT_NE(entries[0].data.find("Windows Guvenlik Duvari ve Sorvane kurallari:\n"
                                   "  (zaman asimi: guvenlik duvari sorgusu yanit vermedi)\n"
                                   "Kurulu guvenlik yazilimlari"),
              std::string::npos)
        << entries[0].data;
    EXPECT_TRUE(log.has("[report] ZAMAN ASIMI: guvenlik duvari (6000 ms) -- atlandi\n"));
    EXPECT_TRUE(log.has("[report] adim guvenlik duvari          6000 ms (toplam ")) << log.text();
}

TEST_F(ReportTest, FailuresLeaveNoFile) {
    struct Case {
        const char* what;
        std::function<void(ReportEnv&)> change;
        const char* error;
    };
    Folders no_desktop{local, program_data, ""};
    const Case cases[] = {
        {"no desktop", [&](ReportEnv& e) { e.paths = &no_desktop; }, "Masaustu klasoru bulunamadi"},
        {"file not created",
         [](ReportEnv& e) {
             e.create_file = [](const std::string&, platform::FileResult& r) {
                 r.status = platform::FileStatus::error;
                 return std::unique_ptr<platform::OutputFile>();
             };
         },
         "zip dosyasi olusturulamadi"},
        {"a write failed",
         [](ReportEnv& e) {
             e.create_file = [](const std::string& path, platform::FileResult& r) {
                 class Full final : public platform::OutputFile {
                 public:
                     explicit Full(std::unique_ptr<platform::OutputFile> f) : f_(std::move(f)) {}
                     bool write(std::string_view d) override { return ++writes_ < 3 && f_->write(d); }
                     bool close() override { return f_->close(); }

                 private:
                     std::unique_ptr<platform::OutputFile> f_;
                     int writes_ = 0;
                 };
                 return std::make_unique<Full>(platform::create_output_file(path, r));
             };
         },
         "zip yazilamadi"},
    };
    for (const Case& c : cases) {
        ReportEnv e = env;
        c.change(e);
        const Result r = create(info, true, nullptr, e);
        EXPECT_FALSE(r.ok) << c.what;
        EXPECT_FALSE(r.cancelled) << c.what;
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_TRUE(desktop_files().empty()) << c.what;
    }
}

TEST(ReportSections, TextsOfWhatTheProbesFound) {
    platform::AdapterDesc gpu;
    gpu.description = "GPU";
    gpu.vendor_id = 0x10DE;
    gpu.device_id = 0x2484;
    gpu.dedicated_video_memory = 8ull << 30;
    platform::AdapterDesc basic;
    basic.description = "Basic Render Adapter";
    basic.vendor_id = 0x1414;
    basic.software = true;
    EXPECT_EQ(adapters_text(0, {gpu, basic, gpu}),
              "  [0] GPU | vendor 0x10DE | ayrik bellek 8192 MB | 2 LUID\n"
              "  [1] Basic Render Adapter | vendor 0x1414 | ayrik bellek 0 MB | YAZILIM adaptoru\n");
    EXPECT_EQ(adapters_text(0, {}), "  (adaptor yok)\n");
    EXPECT_EQ(adapters_text(-1, {}), "  (DXGI okunamadi)\n");

    DriverStateFacts driver;
    driver.connect_error = "error 2";
    EXPECT_EQ(driver_state_text(driver), "  surucu kontrol borusuna baglanilamadi: error 2\n");
    driver.connected = true;
    driver.failure = "ERR 5 BUSY";
    EXPECT_EQ(driver_state_text(driver), "  GET_STATE hata: ERR 5 BUSY\n");

    EXPECT_EQ(network_list_text(NetworkListStatus::ok, {{0, 0x40 | 0x100}, {1, 0x20 | 0x200}, {2, 0x10}}),
              "  ag 1: profil GENEL (Public); baglanti: IPv4 internet, IPv6 alt ag\n"
              "  ag 2: profil OZEL (Private); baglanti: IPv4 yalniz yerel ag, IPv6 yalniz yerel ag\n"
              "  ag 3: profil ETKI ALANI (Domain); baglanti: IPv4 alt ag, IPv6 yok\n");
    EXPECT_EQ(network_list_text(NetworkListStatus::ok, {}), "  (bagli ag yok)\n");
    EXPECT_EQ(network_list_text(NetworkListStatus::enumeration_failed, {}), "  (bagli ag yok ya da okunamadi)\n");
    EXPECT_EQ(network_list_text(NetworkListStatus::unavailable, {}), "  (ag listesi okunamadi)\n");

    FirewallBlockFacts block;
    block.network_text = "Wi-Fi Genel";
    block.details_known = true;
    block.category = 1;
    block.firewall_enabled = block.default_inbound_block = true;
    block.physical_public = block.warning_shown = true;
    block.first_blocked_at = "2025-01-01 10:00:00";
    EXPECT_EQ(firewall_block_text(block),
              "  fiziksel bagdastiricilar (QR'a girenler; ag adi yazilmaz): Wi-Fi Genel\n"
              "  Genel profil: guvenlik duvari acik, varsayilan gelen engelle, sorvane-host.exe TCP 47000 izni YOK\n"
              "  mDNS'te bilgisayar adi: gizli (fiziksel bir ag Ortak)\n"
              "  Guvenlik duvari engeli uyarisi (panelde): GOSTERILIYOR (bu calismada ilk gorundugu an: "
              "2025-01-01 10:00:00)\n");

    FirewallPolicyFacts policy;
    EXPECT_EQ(firewall_rules_text(policy, "sorvane-host"), "  (Windows Guvenlik Duvari ilkesi okunamadi)\n");
    policy.opened = policy.profiles_known = policy.rules_ok = true;
    policy.current_profiles = 4;
    policy.domain = policy.private_ = platform::FirewallProfileState{false, false, false};
    platform::FirewallRuleSpec other;
    other.name = "eski kural";
    other.application = "C:\\Eski\\SORVANE-HOST.exe";
    other.action = 0;
    other.protocol = 17;
    other.profiles = 2;
    other.local_ports.clear();
    platform::FirewallRuleSpec unrelated;
    unrelated.name = "Baska";
    unrelated.application = "C:\\x.exe";
    policy.rules = {other, unrelated};
    EXPECT_EQ(firewall_rules_text(policy, "sorvane-host.exe"),
              "  etkin ag profili: Genel\n"
              "  guvenlik duvari Etki alani: kapali, varsayilan gelen: izin ver\n"
              "  guvenlik duvari Ozel: kapali, varsayilan gelen: izin ver\n"
              "  guvenlik duvari Genel: ACIK, varsayilan gelen: engelle\n"
              "  Sorvane kurallari: 0 (beklenen: 4 gelen kural: TCP 47000/47002/47010, UDP 47001; yalniz Ozel ag, "
              "kapsam LocalSubnet)\n"
              "  sorvane-host.exe icin baska kaynakli kurallar: 1\n"
              "  kural \"eski kural\" (baska kaynak): ETKIN, ENGELLE, gelen, profil Ozel (bu agda GECERSIZ), port -, "
              "kapsam *, program sorvane-host.exe (DOSYA YOK)\n"
              "    protokol UDP\n");

    std::string tail;
    std::vector<std::string> last;
    for (int i = 0; i < 14; ++i) {
        tail += "[+ " + std::to_string(i) + "] [pairing] satir\r\n[+ " + std::to_string(i) + "] [session 1] x\n";
        if (i >= 2) last.push_back("[+ " + std::to_string(i) + "] [pairing] satir");
    }
    EXPECT_EQ(pairing_log_lines(tail), last);
}

TEST(ReportSections, SecurityProductsByWhatTheSecurityCenterAnswers) {
    auto machine = std::make_shared<sim::Machine>();
    ASSERT_TRUE(machine->initialize(sim::MachineSetup{}));
    auto center = sim::make_sim_security_center(machine);
    EXPECT_EQ(security_products_text(center.get()),
              "  antivirus: Windows Defender\n  guvenlik duvari: (kayitli urun yok ya da okunamadi)\n");
    machine->update("server", [](sim::MachineState& s) { s.workstation.security_center = false; });
    EXPECT_EQ(security_products_text(center.get()),
              "  (Windows Guvenlik Merkezi sorgulanamadi: sunucu Windows ya da servis kapali olabilir)\n");
    machine->update("no wmi", [](sim::MachineState& s) { s.workstation.wmi = false; });
    EXPECT_EQ(security_products_text(center.get()), "  (WMI baslatilamadi)\n");
    EXPECT_EQ(security_products_text(nullptr), "  (WMI baslatilamadi)\n");
}

}  // namespace
}  // namespace sorvane::hostreport
