// --set-autostart, --quit and --purge-user-data as whole programs on a fresh
// simulated machine.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "host/core/gpu_preference.h"
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using test::TempDir;

const std::string kHost = test::bin_path("sorvane-host");
const std::string kSim = test::bin_path("sorvane-sim");

class OneShotProcess : public ::testing::Test {
protected:
    OneShotProcess() {
        sim::Machine machine(dir_.file("machine"));
        EXPECT_TRUE(machine.initialize({})) << machine.last_error();
    }
    std::map<std::string, std::string> env() const {
        return {{"LOCALAPPDATA", dir_.path()}, {"SORVANE_PAIRING_PORT", "0"}, {"SORVANE_SIM_ROOT", dir_.file("machine")}};
    }
    test::RunResult host(const std::vector<std::string>& args) { return test::run(kHost, args, env()); }
    std::string startup() { return test::run(kSim, {"startup"}, env()).out; }

    // A console host that starts and stops: what a run leaves behind.
    std::string run_console_host() {
        test::Process p(kHost, {"--console", "--control-port", "0", "--video-port", "0", "--input-port", "0"}, env());
        EXPECT_TRUE(p.wait_for_output("Ctrl+C to stop\n")) << p.out() << p.err();
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(), 0);
        const std::string out = p.out();
        const size_t at = out.find("[host] TLS parmak izi: ");
        return test::read_all(data_ + "/host_id.txt") + " " + (at == std::string::npos ? "" : out.substr(at, 87));
    }

    TempDir dir_;
    const std::string data_ = dir_.file("Sorvane");
    const std::string exe_ = std::filesystem::canonical(kHost).string();
};

TEST_F(OneShotProcess, AutostartAndQuitOnAFreshMachine) {
    auto r = host({"--set-autostart", "on"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    const std::string folder = "C:\\Users\\SimUser\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup";
    EXPECT_EQ(startup(), folder + "\n  Sorvane.lnk\n    target: " + exe_ + "\n    working directory: " +
                             exe_.substr(0, exe_.rfind('/')) + "\n    description: Sorvane\n");
    for (int i = 0; i < 2; ++i) {
        r = host({"--set-autostart", "off", "ignored"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(startup(), folder + "\n  (no shortcuts)\n");
    }
    r = host({"--set-autostart", "On"});
    EXPECT_EQ(r.code, 64);
    EXPECT_EQ(r.out, "--set-autostart needs on|off\n");

    // No host runs: at once.
    r = host({"--quit"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "sorvane-host --quit: tamam (calisan ornek yok ya da temiz kapandi)\n");

    // Without a simulated machine there is no Startup folder.
    auto no_machine = env();
    no_machine["SORVANE_SIM_ROOT"] = dir_.file("none");
    EXPECT_EQ(test::run(kHost, {"--set-autostart", "on"}, no_machine).code, 1);
    // None of this made the host's own files.
    EXPECT_FALSE(platform::file_exists(data_));
}

TEST_F(OneShotProcess, PurgeLeavesNothingAndTheNextStartIsANewHost) {
    auto r = host({"--purge-user-data"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "sorvane-host --purge-user-data: " + data_ +
                         "\n  Baslangic kisayolu: yok\n  host kimlik sertifikasi (CurrentUser\\My): 0 silindi\n"
                         "  GPU tercih girdisi: yok\n  " + data_ + ": silindi/yok\ntamam\n");

    const std::string first = run_console_host();
    ASSERT_EQ(host({"--set-autostart", "on"}).code, 0);
    ASSERT_TRUE(sim::Machine(dir_.file("machine")).update("gpu", [&](sim::MachineState& s) {
        s.registry.set_value(platform::RegistryHive::current_user, kGpuPreferencesKey, exe_,
                             platform::reg_sz("GpuPreference=2;"));
        s.registry.set_value(platform::RegistryHive::current_user, kGpuPreferencesKey, "C:\\other.exe",
                             platform::reg_sz("GpuPreference=1;"));
    }));
    ASSERT_TRUE(platform::file_exists(data_ + "/pairings.dat") || platform::file_exists(data_ + "/host_id.txt"));

    r = host({"--purge-user-data"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "sorvane-host --purge-user-data: " + data_ +
                         "\n  Baslangic kisayolu: yok\n  host kimlik sertifikasi (CurrentUser\\My): 1 silindi\n"
                         "  GPU tercih girdisi: yok\n  " + data_ + ": silindi/yok\ntamam\n");
    EXPECT_FALSE(platform::file_exists(data_));
    EXPECT_NE(startup().find("(no shortcuts)"), std::string::npos);
    // Only this program's GPU entry goes.
    std::vector<std::string> gpu_entries;
    sim::Machine(dir_.file("machine")).read([&](const sim::MachineState& s) {
        s.registry.list_values(platform::RegistryHive::current_user, kGpuPreferencesKey, gpu_entries);
    });
    EXPECT_EQ(gpu_entries, std::vector<std::string>{"C:\\other.exe"});

    // A new host id and a new identity.
    const std::string second = run_console_host();
    EXPECT_EQ(second.size(), first.size());
    EXPECT_NE(second.substr(0, 36), first.substr(0, 36));
    EXPECT_NE(second.substr(37), first.substr(37));
}

}  // namespace
}  // namespace sorvane
