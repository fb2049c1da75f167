#include "tools/setup/setup.h"

#include <sys/stat.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "common/text.h"
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/ports.h"
#include "platform/win_error.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::setup {
namespace {

// ---- reading pnputil ----

const char kEnumEnglish[] =
    "Microsoft PnP Utility\r\n\r\n"
    "Published Name:         oem0.inf\r\nOriginal Name:          fabrikamaudio.inf\r\nProvider Name:          Fabrikam\r\n"
    "Class Name:             MEDIA\r\nDriver Version:         03/14/2024 6.0.1.8\r\n\r\n"
    "Published Name:         oem4.inf\r\nOriginal Name:          sorvanevdd.inf\r\nProvider Name:          Sorvane\r\n"
    "Class Name:             Display adapters\r\nClass GUID:             {4d36e968-e325-11ce-bfc1-08002be10318}\r\n"
    "Driver Version:         12/01/2026 1.0.0.0\r\nSigner Name:            Sorvane Driver Signing (SIMPC)\r\n\r\n"
    "Published Name:         oem5.inf\r\nOriginal Name:          sorvanevdd.inf\r\nProvider Name:          Sorvane Ltd\r\n\r\n"
    "Published Name:         oem12.inf\r\nOriginal Name:          SORVANEVDD.INF\r\nProvider Name:          Sorvane\r\n"
    "Driver Version:         01/02/2027 1.1.0.0\r\n";

const char kEnumTurkish[] =
    "Microsoft PnP Yardımcı Programı\r\n\r\n"
    "Yayımlanan Ad:          oem7.inf\r\nÖzgün Ad:               sorvanevdd.inf\r\nSağlayıcı Adı:          Sorvane\r\n"
    "Sınıf Adı:              Görüntü bağdaştırıcıları\r\nSürücü Sürümü:          12/01/2026 1.0.0.0\r\n\r\n";

TEST(SetupPnputil, PackagesAreReadByValueInBothLanguages) {
    const auto en = parse_driver_packages(kEnumEnglish);
    ASSERT_EQ(en.size(), 2u);
    EXPECT_EQ(en[0].published_name, "oem4.inf");
    EXPECT_EQ(en[0].version, "12/01/2026 1.0.0.0");
    EXPECT_EQ(en[1].published_name, "oem12.inf");  // the last record has no empty line after it
    const auto tr = parse_driver_packages(kEnumTurkish);
    ASSERT_EQ(tr.size(), 1u);
    EXPECT_EQ(tr[0].published_name, "oem7.inf");
    EXPECT_EQ(parse_driver_packages("Published Name: oem1.inf\nOriginal Name: SorvaneVDD.inf\n").size(), 0u);
}

TEST(SetupPnputil, StartCheckReadsOnlyOurAdaptersBlock) {
    const std::string ours_stopped =
        "Instance ID:            ROOT\\DISPLAY\\0000\r\nDevice Description:     Sorvane Virtual Display Adapter\r\n"
        "Status:                 Problem\r\nProblem Code:           28\r\n\r\n";
    const std::string gpu =
        "Instance ID:            PCI\\VEN_1AF4\\3&1\r\nDevice Description:     Basic Display Adapter\r\n"
        "Status:                 Started\r\n\r\n";
    EXPECT_FALSE(device_started(ours_stopped + gpu));  // a started GPU after ours is not ours
    EXPECT_TRUE(device_started(gpu + "Device Description:     Sorvane Virtual Display Adapter\r\nStatus: Started\r\n"));
    EXPECT_TRUE(device_started("Aygıt Açıklaması:       Sorvane Virtual Display Adapter\r\nDurum:  Başlatıldı\r\n\r\n"));
    EXPECT_TRUE(device_started("Sorvane Virtual Display Adapter\nDurum: Baslatildi\n"));
    EXPECT_FALSE(device_started(gpu));
}

TEST(SetupPnputil, VersionsCompareAsNumbersAndCertificatesEndTenYearsOn) {
    EXPECT_EQ(compare_versions("1.10.0", "1.9.0"), 1);
    EXPECT_EQ(compare_versions("1.2", "1.2.0"), 0);
    EXPECT_EQ(compare_versions("1.2.0", "1.3.0"), -1);
    EXPECT_EQ(compare_versions("2", "10"), -1);
    EXPECT_EQ(compare_versions("", "0.0.0"), 0);
    const auto t = ten_years_after(platform::CivilTime{2028, 2, 29, 13, 5, 6, 0});
    EXPECT_EQ(platform::utc_stamp(t), "2038-02-28T13:05:06Z");
    EXPECT_EQ(platform::utc_stamp(ten_years_after(platform::CivilTime{2027, 3, 1, 0, 0, 0, 0})), "2037-03-01T00:00:00Z");
}

// ---- whole installs on a simulated machine ----

// Passes every child through, except that the start check can be told what
// pnputil reports, so the slow 240-try path is not waited out.
class ScriptedRunner final : public platform::IProcessRunner {
public:
    explicit ScriptedRunner(platform::IClock& clock) : real_(platform::make_process_runner(clock)) {}
    platform::ChildResult run(std::string_view command_line, uint64_t timeout_ms) override {
        lines.emplace_back(command_line);
        if (!device_report.empty() && command_line.find("/enum-devices") != std::string_view::npos) {
            platform::ChildResult r;
            r.started = true;
            r.exit_code = 0;
            r.output = device_report;
            return r;
        }
        return real_->run(command_line, timeout_ms);
    }
    std::string device_report;
    std::vector<std::string> lines;

private:
    std::unique_ptr<platform::IProcessRunner> real_;
};

class SetupMachine : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.file("machine");
        app_ = dir_.file("app");
        setenv("SORVANE_SIM_ROOT", root_.c_str(), 1);
        unsetenv("PROGRAMDATA");
        ASSERT_EQ(test::run(test::bin_path("sorvane-sim"), {"init"}).code, 0);
        ASSERT_TRUE(platform::create_directories(app_ + "/driver").ok());
        for (const char* f : {"SorvaneVDD.inf", "sorvanevdd.cat", "SorvaneVDD.dll", "vdd_settings.xml", "sorvane-devtool"})
            test::write_all(app_ + "/driver/" + f, test::read_all(test::bin_path(std::string("driver/") + f)));
        ASSERT_EQ(::chmod((app_ + "/driver/sorvane-devtool").c_str(), 0755), 0);
        machine_ = std::make_shared<sim::Machine>(root_);
        registry_ = sim::make_sim_registry(machine_);
        system_ = sim::make_sim_system_info(machine_);
        signing_ = sim::make_sim_code_signing(machine_);
        firewall_ = sim::make_sim_firewall(machine_);
        runner_ = std::make_unique<ScriptedRunner>(clock_);
        paths_ = platform::make_system_paths();
        ASSERT_TRUE(machine_->dump(initial_));
    }
    void TearDown() override { unsetenv("SORVANE_SIM_ROOT"); }

    int setup(std::vector<std::string> args) {
        out_.clear();
        Ports ports{*registry_, *system_, *signing_, *firewall_, *runner_, clock_, *paths_,
                    [this](std::string_view line) { out_ += std::string(line) + "\n"; }};
        return run(args, ports);
    }
    std::vector<std::string> install_args() { return {"install", "--app-dir", app_, "--version", "0.1.14"}; }
    std::string dump() {
        std::string d;
        EXPECT_TRUE(machine_->dump(d)) << machine_->last_error();
        return d;
    }
    void arm(const char* point, uint64_t nth, uint32_t code, uint64_t times = 1) {
        ASSERT_TRUE(machine_->update("arm", [&](sim::MachineState& s) { s.faults.arm(point, nth, code, times); }));
    }
    // The GERI ALMA lines of the output, in order.
    std::vector<std::string> undo_lines() const {
        std::vector<std::string> out;
        size_t at = 0;
        while ((at = out_.find("  GERI ALMA: ", at)) != std::string::npos) {
            const size_t end = out_.find('\n', at);
            out.push_back(out_.substr(at + 13, end - at - 13));
            at = end;
        }
        return out;
    }

    test::TempDir dir_;
    std::string root_;
    std::string app_;
    sim::ManualClock clock_;
    std::shared_ptr<sim::Machine> machine_;
    std::unique_ptr<platform::IRegistry> registry_;
    std::unique_ptr<platform::ISystemInfo> system_;
    std::unique_ptr<platform::ICodeSigning> signing_;
    std::unique_ptr<platform::IFirewallPolicy> firewall_;
    std::unique_ptr<ScriptedRunner> runner_;
    std::unique_ptr<platform::IPaths> paths_;
    std::string initial_;
    std::string out_;
};

TEST_F(SetupMachine, AFaultAtEachStepRollsBackInOrderToThePreInstallMachine) {
    struct Case {
        const char* point;
        uint64_t nth;
        uint32_t code;
        std::vector<std::string> undo;
    };
    const std::string cert = "Root'tan sertifikayi cikar";
    const std::string key = "gecici anahtari sil";
    const std::vector<Case> cases = {
        {"ncrypt.create_key", 1, platform::kNteExists, {}},
        {"signer.sign", 2, platform::kEFail, {key}},
        {"certstore.add", 2, platform::kErrorAccessDenied, {cert, key}},
        {"ncrypt.delete_key", 1, platform::kNteBadKeyset, {cert, key}},
        {"pnputil.add_driver", 1, platform::kErrorNoCatalogForOemInf, {cert, key}},
        {"registry.set_value", 1, platform::kErrorAccessDenied, {"veri klasorunu sil", "PKG", cert, key}},
        {"newdev.update_driver", 1, platform::kErrorGenFailure,
         {"HKLM VDD anahtarini sil", "veri klasorunu sil", "PKG", cert, key}},
    };
    for (const auto& c : cases) {
        arm(c.point, c.nth, c.code);
        EXPECT_EQ(setup(install_args()), 1) << c.point << "\n" << out_;
        auto expected = c.undo;
        for (auto& e : expected)
            if (e == "PKG") e = "paketi sil oem1.inf";
        EXPECT_EQ(undo_lines(), expected) << c.point << "\n" << out_;
        EXPECT_NE(out_.find("Kurulum GERI ALINDI. Gunluk: " + root_ + "/ProgramData/Sorvane/setup.log\n"), std::string::npos);
        EXPECT_EQ(dump(), initial_) << c.point;
    }
    // Step 8: the device never reports Started; the whole order unwinds.
    runner_->device_report = "Device Description:     Sorvane Virtual Display Adapter\r\nStatus:   Problem\r\n\r\n";
    EXPECT_EQ(setup(install_args()), 1);
    EXPECT_EQ(undo_lines(), (std::vector<std::string>{"kok aygiti sil", "HKLM VDD anahtarini sil", "veri klasorunu sil",
                                                       "paketi sil oem1.inf", cert, key}))
        << out_;
    EXPECT_NE(out_.find("HATA: aygit 120 sn icinde 'Started' olmadi\n"), std::string::npos);
    EXPECT_EQ(dump(), initial_);
    // With --keep-on-fail nothing is undone and the certificate stays trusted.
    arm("newdev.update_driver", 1, platform::kErrorGenFailure);
    runner_->device_report.clear();
    auto args = install_args();
    args.push_back("--keep-on-fail");
    EXPECT_EQ(setup(args), 1);
    EXPECT_TRUE(undo_lines().empty());
    EXPECT_NE(out_.find("  --keep-on-fail: GERI ALMA YAPILMADI (teshis)\n"), std::string::npos);
    machine_->read([](const sim::MachineState& s) { EXPECT_EQ(s.certificates.stores.at(sim::kStoreRoot).size(), 1u); });
}

TEST_F(SetupMachine, GatesRefuseBeforeChangingAnythingAndDryRunsChangeNothing) {
    const struct {
        std::vector<std::string> set;
        int code;
        const char* line;
    } gates[] = {
        {{"build", "19044"}, 4, "HATA: Windows 10 22H2 (build 19045) ya da Windows 11 gerekir; bulunan build: 19044\n"},
        {{"build", "9999"}, 4, "bulunan build: 9999\n"},
        {{"arch", "arm64"}, 4, "HATA: yalniz x64 desteklenir\n"},
        {{"s-mode", "on"}, 4, "HATA: Windows S modu: surucu kurulamaz\n"},
        {{"elevated", "no"}, 3, "HATA: yonetici gerekir\n"},
    };
    const std::string log = root_ + "/ProgramData/Sorvane/setup.log";
    for (const auto& g : gates) {
        ASSERT_EQ(test::run(test::bin_path("sorvane-sim"), {"set", g.set[0], g.set[1]}).code, 0);
        platform::remove_file(log);
        const std::string before = dump();
        EXPECT_EQ(setup(install_args()), g.code) << g.line;
        EXPECT_NE(out_.find(g.line), std::string::npos) << out_;
        EXPECT_EQ(dump(), before);
        // An administrator's refused run is on record; a standard user writes no log.
        std::string logged;
        platform::read_file(log, 1 << 20, logged);
        EXPECT_EQ(logged.find(g.line) != std::string::npos, g.code == 4) << logged;
        EXPECT_EQ(logged.find("== sorvane-setup install =="), logged.empty() ? std::string::npos : 21u) << logged;
        ASSERT_EQ(test::run(test::bin_path("sorvane-sim"), {"init"}).code, 0);
    }
    // A standard user's dry run reads, plans and writes nothing, not even the log.
    ASSERT_EQ(test::run(test::bin_path("sorvane-sim"), {"set", "elevated", "no"}).code, 0);
    platform::remove_file(root_ + "/ProgramData/Sorvane/setup.log");
    const std::string before = dump();
    auto dry = install_args();
    dry.push_back("--dry-run");
    EXPECT_EQ(setup(dry), 0) << out_;
    EXPECT_NE(out_.find("  (yonetici degil: dry-run devam eder)\nHATA"), 0u);
    EXPECT_NE(out_.find("  [okuma] mevcut kok aygit (sorvane-devtool find): 0 device(s) with hardware id Root\\SorvaneVDD\n"
                        "  [okuma] mevcut Sorvane sertifikalari (Root): 0\nDRY-RUN tamam: hicbir sey degistirilmedi.\n"),
              std::string::npos)
        << out_;
    EXPECT_EQ(dump(), before);
    EXPECT_FALSE(platform::file_exists(root_ + "/ProgramData/Sorvane/setup.log"));
    EXPECT_EQ(setup({"uninstall", "--dry-run"}), 0);
    EXPECT_EQ(setup({"remove-cert", "--thumbprint", std::string(40, 'A')}), 3);
    EXPECT_EQ(out_, "yonetici gerekir\n");
    EXPECT_EQ(setup({"remove-cert", "--thumbprint", std::string(39, 'A')}), 2);
    EXPECT_EQ(dump(), before);
}

TEST_F(SetupMachine, InstallThenVersionGatesThenUninstallLeavesTheMachineAsItWas) {
    auto args = install_args();
    args.insert(args.end(), {"--driver-version", "1.2.0", "--user-sid", "S-1-5-21-1-2-3-1001"});
    ASSERT_EQ(setup(args), 0) << out_;
    EXPECT_NE(out_.find("  yeni paket: oem1.inf\n"), std::string::npos);
    EXPECT_NE(out_.find("  aygit Started\n"), std::string::npos);
    platform::RegistryValue sids;
    ASSERT_EQ(registry_->get_value(platform::RegistryHive::local_machine, kDriverKey, "ControlPipeSids", sids), 0u);
    EXPECT_EQ(sids, platform::reg_multi_sz({"S-1-5-21-1-2-3-1001"}));
    // Every system program ran by its System32 path.
    for (const auto& line : runner_->lines)
        EXPECT_TRUE(line.rfind("\"" + root_ + "/Windows/System32/", 0) == 0 || line.rfind("\"" + app_ + "/driver/", 0) == 0)
            << line;

    // The same driver version again: exit 10, only Version and the firewall are touched.
    args[4] = "0.1.15";
    EXPECT_EQ(setup(args), 10) << out_;
    EXPECT_NE(out_.find("surucu zaten guncel (kurulu 1.2.0 >= paket 1.2.0)"), std::string::npos);
    std::string version;
    EXPECT_TRUE(platform::registry_read_sz(*registry_, platform::RegistryHive::local_machine, kInstallKey, "Version", version));
    EXPECT_EQ(version, "0.1.15");
    auto plain = install_args();
    plain.push_back("--no-driver-update");
    EXPECT_EQ(setup(plain), 11);
    // A dry run of the exit-10 path does not refresh the firewall either.
    const std::string installed = dump();
    arm("firewall.remove", 1, platform::kEFail, 100);
    arm("firewall.add", 1, platform::kEFail, 100);
    args.push_back("--dry-run");
    EXPECT_EQ(setup(args), 10);
    EXPECT_EQ(dump(), installed);
    ASSERT_TRUE(machine_->update("disarm", [](sim::MachineState& s) { s.faults.clear(); }));

    EXPECT_EQ(setup({"uninstall", "--purge-vdd-data"}), 0) << out_;
    std::string logged;
    platform::read_file(root_ + "/ProgramData/Sorvane/setup.log", 1 << 20, logged);
    EXPECT_NE(logged.find("  == sorvane-setup uninstall ==\n"), std::string::npos) << logged;
    EXPECT_NE(out_.find("  kok aygit: cikis 0 1 device(s) with hardware id Root\\SorvaneVDD"), std::string::npos) << out_;
    EXPECT_NE(out_.find("  paket oem1.inf: cikis 0\n"), std::string::npos);
    EXPECT_EQ(dump(), initial_);
}

TEST(SetupProcess, InstallFindAndUninstallAsProgramsOnAFreshMachine) {
    test::TempDir dir;
    const std::map<std::string, std::string> env{{"SORVANE_SIM_ROOT", dir.file("m")}};
    const std::string app = test::bin_path("").substr(0, test::bin_path("").size() - 1);
    ASSERT_EQ(test::run(test::bin_path("sorvane-sim"), {"init"}, env).code, 0);
    const std::string initial = test::run(test::bin_path("sorvane-sim"), {"dump"}, env).out;
    ASSERT_EQ(test::run(test::bin_path("sorvane-sim"), {"set", "elevated", "no"}, env).code, 0);
    const std::string standard = test::run(test::bin_path("sorvane-sim"), {"dump"}, env).out;
    EXPECT_EQ(test::run(test::bin_path("sorvane-setup"), {"install", "--app-dir", app}, env).code, 3);
    EXPECT_EQ(test::run(test::bin_path("sorvane-sim"), {"dump"}, env).out, standard);
    ASSERT_EQ(test::run(test::bin_path("sorvane-sim"), {"set", "elevated", "yes"}, env).code, 0);

    // Separate copies keep parallel test runs off the build's own package files.
    const std::string copy = dir.file("app");
    platform::create_directories(copy + "/driver");
    for (const char* f : {"SorvaneVDD.inf", "sorvanevdd.cat", "SorvaneVDD.dll", "vdd_settings.xml", "sorvane-devtool"})
        test::write_all(copy + "/driver/" + f, test::read_all(app + "/driver/" + f));
    ::chmod((copy + "/driver/sorvane-devtool").c_str(), 0755);
    const auto installed = test::run(test::bin_path("sorvane-setup"), {"install", "--app-dir", copy}, env);
    ASSERT_EQ(installed.code, 0) << installed.out;
    EXPECT_NE(installed.out.find("[8/8] dogrulama...\n  aygit Started\n"), std::string::npos);
    const auto found = test::run(copy + "/driver/sorvane-devtool", {"find", "Root\\SorvaneVDD"}, env);
    EXPECT_EQ(found.out,
              "1 device(s) with hardware id Root\\SorvaneVDD\n  ROOT\\DISPLAY\\0000\n"
              "    desc=\"Sorvane Virtual Display Adapter\" service=\"SorvaneVDD\" state=present, started/ok\n");
    const auto removed = test::run(test::bin_path("sorvane-setup"), {"uninstall"}, env);
    EXPECT_EQ(removed.code, 0) << removed.out;
    EXPECT_EQ(test::run(test::bin_path("sorvane-sim"), {"dump"}, env).out, initial);
}

}  // namespace
}  // namespace sorvane::setup

namespace sorvane::setup {
namespace {

TEST_F(SetupMachine, RehearseSignFirewallAndRemoveCertCommands) {
    const std::string copy = dir_.file("copy");
    ASSERT_TRUE(platform::create_directories(copy).ok());
    test::write_all(copy + "/sorvanevdd.cat", "catalog");
    EXPECT_EQ(setup({"rehearse-sign", "--driver-dir", copy}), 1);  // the dll is missing
    EXPECT_NE(out_.find("  yok: " + copy + "/SorvaneVDD.dll\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("imzalandi, imza parmak izi sertifikayla ayni\n"), std::string::npos);
    EXPECT_NE(out_.find("  anahtar silme: silindi ve dogrulandi\n"), std::string::npos);
    test::write_all(copy + "/SorvaneVDD.dll", "library");
    EXPECT_EQ(setup({"rehearse-sign", "--driver-dir", copy}), 0) << out_;
    EXPECT_EQ(dump(), initial_);  // no key, certificate or value is left

    EXPECT_EQ(setup({"firewall-add"}), 2);
    EXPECT_EQ(setup({"firewall-add", "--app-dir", app_}), 0);
    EXPECT_EQ(setup({"firewall-add", "--app-dir", app_}), 0);  // replaces, never doubles
    size_t ours = 0;
    machine_->read([&](const sim::MachineState& s) {
        for (const auto& r : s.firewall.rules) ours += r.grouping == "Sorvane" ? 1 : 0;
    });
    EXPECT_EQ(ours, 4u);
    EXPECT_NE(out_.find("  guvenlik duvari kurali silindi: 4\n"), std::string::npos);
    arm("firewall.add", 2, platform::kEFail);
    EXPECT_EQ(setup({"firewall-add", "--app-dir", app_}), 1);
    EXPECT_NE(out_.find("  UYARI: kural eklenemedi: Sorvane input (TCP 47002)\n"), std::string::npos);
    EXPECT_EQ(setup({"firewall-remove"}), 0);
    EXPECT_EQ(dump(), initial_);

    // remove-cert takes the thumbprint in either case.
    ASSERT_EQ(setup(install_args()), 0) << out_;
    std::string thumb;
    ASSERT_TRUE(platform::registry_read_sz(*registry_, platform::RegistryHive::local_machine, kInstallKey,
                                           "CertThumbprint", thumb));
    EXPECT_EQ(setup({"remove-cert", "--thumbprint", ascii_lower(thumb)}), 0);
    EXPECT_EQ(out_, "  ROOT'den cikarildi: " + thumb + "\n  TrustedPublisher'den cikarildi: " + thumb + "\n");
    EXPECT_EQ(setup({"remove-cert", "--thumbprint", thumb}), 0);
    EXPECT_EQ(out_, "");
}

}  // namespace
}  // namespace sorvane::setup

namespace sorvane::setup {
namespace {

TEST_F(SetupMachine, AFailedUpgradeKeepsTheEarlierNodeAndAllowList) {
    ASSERT_TRUE(machine_->update("earlier install", [](sim::MachineState& s) {
        s.registry.set_value(platform::RegistryHive::local_machine, kDriverKey, "ControlPipeSids",
                             platform::reg_multi_sz({"S-1-22-1-4242"}));
        sim::DeviceNode n;
        n.instance_id = "ROOT\\DISPLAY\\0000";
        n.class_name = "Display";
        n.class_guid = sim::kDisplayClassGuid;
        n.description = kDeviceDescription;
        n.manufacturer = "Sorvane";
        n.has_hardware_ids = true;
        n.hardware_ids = platform::reg_multi_sz({kHardwareId}).data;
        n.problem = 28;  // as an earlier package's removal left it
        s.devices.nodes.push_back(n);
    }));
    const std::string before = dump();
    runner_->device_report = "Device Description:     Sorvane Virtual Display Adapter\r\nStatus:   Problem\r\n\r\n";
    EXPECT_EQ(setup(install_args()), 1);
    EXPECT_NE(out_.find("Already exists (1) -- nothing to do:"), std::string::npos) << out_;
    EXPECT_EQ(undo_lines(), (std::vector<std::string>{"HKLM VDD anahtarini sil", "veri klasorunu sil", "paketi sil oem1.inf",
                                                       "Root'tan sertifikayi cikar", "gecici anahtari sil"}));
    EXPECT_EQ(dump(), before);
}

}  // namespace
}  // namespace sorvane::setup

namespace sorvane::setup {
namespace {

TEST_F(SetupMachine, TheAllowListTakesOnlySidsTheDriverAdmits) {
    const struct {
        const char* sid;
        int code;
    } cases[] = {
        {"S-1-5-21-1-2-3-1001", 0},
        {"S-1-5-32-544", 0},
        {"S-1-0x000000000005-21-7", 0},
        {"S-1--5-21", 2},
        {"S-1-5-21-", 2},
        {"S-1-", 2},
        {"s-1-5-21-1", 2},
        {"S-1-5-21-4294967296", 2},
        {"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16", 2},
    };
    for (const auto& c : cases) {
        auto args = install_args();
        args.insert(args.end(), {"--user-sid", c.sid, "--dry-run"});
        EXPECT_EQ(setup(args), c.code) << c.sid << "\n" << out_;
        EXPECT_EQ(out_.find(std::string("HATA: gecersiz SID: ") + c.sid + "\n") != std::string::npos, c.code == 2) << c.sid;
    }
}

// The device check before step 7 fails, the device tool then makes the node:
// the undo still removes it.
TEST_F(SetupMachine, ANodeMadeAfterAFailedCheckGoesWithTheUndo) {
    arm("setupapi.get_class_devs", 1, platform::kErrorGenFailure);
    runner_->device_report = "Device Description:     Sorvane Virtual Display Adapter\r\nStatus:   Problem\r\n\r\n";
    EXPECT_EQ(setup(install_args()), 1);
    ASSERT_FALSE(undo_lines().empty()) << out_;
    EXPECT_EQ(undo_lines().front(), "kok aygiti sil") << out_;
    EXPECT_EQ(dump(), initial_);
}

}  // namespace
}  // namespace sorvane::setup
