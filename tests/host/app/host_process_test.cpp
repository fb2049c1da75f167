// sorvane-host as a whole program: exit codes, texts, files and signals.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "host/app/command_line.h"
#include "host/core/gpu_preference.h"
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "platform/sim/tray_sim.h"
#include "tests/support/host_fakes.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using test::Process;
using test::read_all;
using test::TempDir;

const std::string kHost = test::bin_path("sorvane-host");

// Every run gets ports of its own (chosen by the system), so that tests
// running side by side never meet on the product's ports. The simulated
// machine is one that was never set up, unless a test makes one there.
std::map<std::string, std::string> env_for(const TempDir& dir) {
    // The single-instance lock lives in the runtime folder: a folder of its
    // own keeps tray hosts of tests running side by side from meeting there.
    return {{"LOCALAPPDATA", dir.path()},
            {"SORVANE_PAIRING_PORT", "0"},
            {"SORVANE_SIM_ROOT", dir.file("machine")},
            {"XDG_RUNTIME_DIR", dir.path()}};
}

const std::vector<std::string> kOwnPorts{"--control-port", "0", "--video-port", "0", "--input-port", "0"};

std::vector<std::string> with_own_ports(std::vector<std::string> args) {
    args.insert(args.end(), kOwnPorts.begin(), kOwnPorts.end());
    return args;
}

// Asks the tray host on the machine in dir to quit, as --quit does (once its
// window exists), and waits until its process is gone.
bool quit_tray_host(const TempDir& dir) {
    sim::Machine machine(dir.file("machine"));
    sim::TrayModel::Window w;
    std::string error;
    if (!test::eventually([&] { return sim::find_window_of_class(machine, "SorvaneTrayWindow", w); }) ||
        !sim::post_to_window_class(machine, "SorvaneTrayWindow", platform::WindowMessage{0x8002, 0, 0, {}}, error)) {
        return false;
    }
    return test::eventually([&] {
        const std::string stat = "/proc/" + std::to_string(w.pid) + "/stat";
        if (::kill(static_cast<pid_t>(w.pid), 0) != 0 || !platform::file_exists(stat)) return true;
        const std::string text = read_all(stat);
        const size_t paren = text.rfind(')');
        return paren != std::string::npos && paren + 2 < text.size() && text[paren + 2] == 'Z';
    });
}

TEST(HostProcess, ParseErrorsPrintTheirLineAndTheUsage) {
    TempDir dir;
    struct Case {
        std::vector<std::string> args;
        std::string line;
    };
    const Case cases[] = {
        {{"--bogus"}, "unknown argument --bogus\n"},
        {{"--console", "--control-port"}, "missing value for --control-port\n"},
        {{"--allow-ip", "10.0.0.256"}, "bad --allow-ip\n"},
        {{"--encoder", "fast"}, "--encoder: auto|nvenc|mf-hw|mf-sw\n"},
        {{"--set-autostart"}, "unknown argument --set-autostart\n"},
    };
    for (const Case& c : cases) {
        const auto r = test::run(kHost, c.args, env_for(dir));
        EXPECT_EQ(r.code, kExitUsage);
        EXPECT_EQ(r.out, c.line + kUsageText);
    }
}

TEST(HostProcess, OneShotCommands) {
    TempDir dir;
    auto r = test::run(kHost, {"--set-autostart", "On"}, env_for(dir));
    EXPECT_EQ(r.code, kExitUsage);
    EXPECT_EQ(r.out, "--set-autostart needs on|off\n");

    // Commands this build does not carry say so and fail; later arguments are ignored.
    // A machine never set up has no desktop to put a report on.
    r = test::run(kHost, {"--report", "--bogus"}, env_for(dir));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "report: HATA Masaustu klasoru bulunamadi\n");
    // Without a machine to ask there is no render GPU.
    r = test::run(kHost, {"--gpu-pref-check"}, env_for(dir));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "render GPU belirlenemedi\n");
    // No one-shot command creates the host's files.
    EXPECT_FALSE(platform::file_exists(dir.path() + "/Sorvane"));
}

// A hybrid laptop whose discrete (0x10DE) GPU renders, with no preference entry.
TEST(HostProcess, GpuPreferenceIsCheckedWrittenAndTheTrayHostRestartsOnce) {
    TempDir dir;
    {
        sim::Machine machine(dir.file("machine"));
        sim::MachineSetup setup;
        setup.render_gpus = 2;
        ASSERT_TRUE(machine.initialize(setup)) << machine.last_error();
        ASSERT_TRUE(machine.update("hybrid", [](sim::MachineState& s) {
            s.display.gpus[0].low_power = true;
            s.display.gpus[1].vendor_id = 0x10DE;
        }));
    }
    auto stored = [&] {
        sim::Machine machine(dir.file("machine"));
        std::string out;
        machine.read([&](const sim::MachineState& s) {
            std::vector<std::string> names;
            s.registry.list_values(platform::RegistryHive::current_user, kGpuPreferencesKey, names);
            for (const auto& n : names) {
                platform::RegistryValue v;
                std::string text;
                s.registry.get_value(platform::RegistryHive::current_user, kGpuPreferencesKey, n, v);
                platform::read_sz(v, text);
                out += n + "=" + text + "\n";
            }
        });
        return out;
    };
    const std::string exe = std::filesystem::canonical(kHost).string();

    // The check only reports, even though the entry is missing.
    auto r = test::run(kHost, {"--gpu-pref-check"}, env_for(dir));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "render GPU: Simulated Render GPU 2\nexe: " + exe +
                         "\nistenen: GpuPreference=2;\nmevcut: (yok)\ndurum: UYUSMUYOR (GPU tercihi uyusmuyor "
                         "(yazilmadi))\n");
    EXPECT_EQ(stored(), "");

    // Tray start-up writes the entry and hands over to a second process,
    // which finds it matching and runs on until it is asked to quit.
    r = test::run(kHost, kOwnPorts, env_for(dir));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(stored(), exe + "=GpuPreference=2;\n");
    ASSERT_TRUE(quit_tray_host(dir));
    const std::string log_file = dir.path() + "/Sorvane/logs/sorvane-host.log";
    std::string logged;
    for (int i = 0; i < 3000 && logged.find("[host] stopped\n") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        logged = platform::file_exists(log_file) ? read_all(log_file) : std::string();
    }
    const std::string lines[] = {
        "[gpu-pref] render GPU Simulated Render GPU 2: GPU tercihi yazildi (surec yeniden baslayinca gecerli) "
        "(istenen=GpuPreference=2;, onceki=-)\n",
        "[gpu-pref] GPU tercihi degisti: yeni tercihle yeniden baslatildi, bu surec cikiyor\n",
        "[gpu-pref] render GPU Simulated Render GPU 2: GPU tercihi render GPU'suyla uyumlu "
        "(istenen=GpuPreference=2;, onceki=GpuPreference=2;)\n",
        "[host] starting: host_id=",
        "[host] stopped\n",
    };
    size_t at = 0;
    for (const std::string& line : lines) {
        at = logged.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << logged;
    }
    // Only the restarted process started the host, and it was started once.
    EXPECT_EQ(logged.find("[host] starting"), logged.rfind("[host] starting")) << logged;

    // --no-gpu-pref leaves a differing entry alone.
    ASSERT_TRUE(sim::Machine(dir.file("machine")).update("other", [&](sim::MachineState& s) {
        s.registry.set_value(platform::RegistryHive::current_user, kGpuPreferencesKey, exe,
                             platform::reg_sz("GpuPreference=1;"));
    }));
    Process again(kHost, with_own_ports({"--no-gpu-pref"}), env_for(dir));
    ASSERT_TRUE(quit_tray_host(dir));
    EXPECT_EQ(again.wait(), 0);
    EXPECT_EQ(stored(), exe + "=GpuPreference=1;\n");
}

// Starts a console host and waits for its ready line.
std::unique_ptr<Process> start_console(const TempDir& dir, std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), "--console");
    auto p = std::make_unique<Process>(kHost, with_own_ports(extra), env_for(dir));
    EXPECT_TRUE(p->wait_for_output("Ctrl+C to stop\n")) << p->out() << p->err();
    return p;
}

TEST(HostProcess, ControlSignalsRunTheStopSequence) {
    TempDir dir;
    std::string first_id;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        auto p = start_console(dir);
        p->signal(sig);
        EXPECT_EQ(p->wait(), 0) << "signal " << sig;
        const std::string out = p->out();
        EXPECT_NE(out.find("[host] starting: host_id="), std::string::npos);
        EXPECT_NE(out.find("[host] stopping\n"), std::string::npos);
        EXPECT_NE(out.find("[host] stopped\n"), std::string::npos);
        // Console mode without --bind stays on loopback and has nothing to warn about.
        EXPECT_EQ(out.find("without --allow-ip"), std::string::npos);

        const std::string id = read_all(dir.path() + "/Sorvane/host_id.txt");
        ASSERT_EQ(id.size(), 36u);
        if (first_id.empty()) first_id = id;
        EXPECT_EQ(id, first_id);  // survives every run
        EXPECT_NE(out.find("host_id=" + id), std::string::npos);
    }
    // The log file holds the same lines as the console, appended run after run.
    const std::string logged = read_all(dir.path() + "/Sorvane/logs/sorvane-host.log");
    size_t stops = 0;
    for (size_t at = logged.find("[host] stopped\n"); at != std::string::npos;
         at = logged.find("[host] stopped\n", at + 1)) {
        ++stops;
    }
    EXPECT_EQ(stops, 3u);
}

TEST(HostProcess, WideBindWithoutAllowIpWarns) {
    TempDir dir;
    auto p = start_console(dir, {"--bind", "0.0.0.0", "--grace-seconds", "12"});
    p->signal(SIGTERM);
    EXPECT_EQ(p->wait(), 0);
    const std::string out = p->out();
    EXPECT_NE(out.find("[host] bound to 0.0.0.0 without --allow-ip: any device can attempt a connection, but "
                       "control/input still require a paired mTLS certificate (K16)\n"),
              std::string::npos);
    EXPECT_NE(out.find("[host] ready (a driver monitor per viewer, 12 s grace after a lost connection); Ctrl+C "
                       "to stop\n"),
              std::string::npos);

    auto q = start_console(dir, {"--bind", "0.0.0.0", "--allow-ip", "10.1.2.3"});
    q->signal(SIGINT);
    EXPECT_EQ(q->wait(), 0);
    EXPECT_EQ(q->out().find("without --allow-ip"), std::string::npos);
}

TEST(HostProcess, TrayModeEndsWithoutANotificationArea) {
    TempDir dir;
    const auto r = test::run(kHost, kOwnPorts, env_for(dir));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");  // tray mode never writes to standard output
    const std::string logged = read_all(dir.path() + "/Sorvane/logs/sorvane-host.log");
    EXPECT_NE(logged.find("[host] tepsi modu: tum aglara baglaniyor (0.0.0.0) -- mTLS kimligi zaten dogruluyor "
                          "(K16)\n"),
              std::string::npos);
    EXPECT_NE(logged.find("[host] ready (tray)\n"), std::string::npos);
    EXPECT_NE(logged.find("[host] tepsi olusturulamadi; konsolsuz calisamiyor, temiz kapaniliyor (--console "
                          "deneyin)\n"),
              std::string::npos);
    EXPECT_NE(logged.find("[host] stopped\n"), std::string::npos);

    // With --bind the tray keeps the given address and does not announce all networks.
    TempDir dir2;
    EXPECT_EQ(test::run(kHost, with_own_ports({"--bind", "127.0.0.1"}), env_for(dir2)).code, 1);
    EXPECT_EQ(read_all(dir2.path() + "/Sorvane/logs/sorvane-host.log").find("tum aglara"), std::string::npos);
}

TEST(HostProcess, ASecondTrayStartOpensThePanelOfTheFirstAndTheStopSignalEndsIt) {
    TempDir dir;
    ASSERT_TRUE(sim::Machine(dir.file("machine")).initialize({}));
    Process first(kHost, with_own_ports({"--no-gpu-pref", "--bind", "127.0.0.1"}), env_for(dir));
    sim::Machine machine(dir.file("machine"));
    ASSERT_TRUE(test::eventually([&] {
        sim::TrayModel::Window w;
        return sim::find_window_of_class(machine, "SorvaneTrayWindow", w);
    }));
    EXPECT_EQ(test::run(kHost, with_own_ports({"--no-gpu-pref"}), env_for(dir)).code, 0);
    // The first one opened its panel through the shell.
    const auto opened = [&] { return machine.journal().find("] shell open http://127.0.0.1:") != std::string::npos; };
    EXPECT_TRUE(test::eventually(opened));
    // The stop signal is the session's end for a tray host: a clean stop.
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 0);
    const std::string logged = read_all(dir.path() + "/Sorvane/logs/sorvane-host.log");
    EXPECT_NE(logged.find("[tray] WM_ENDSESSION: oturum/bilgisayar kapaniyor, temiz kapaniliyor\n"), std::string::npos);
    EXPECT_EQ(logged.find("[host] stopped"), logged.rfind("[host] stopped"));
    EXPECT_NE(logged.find("[host] stopped"), std::string::npos);
    sim::TrayModel::Window gone;
    EXPECT_FALSE(sim::find_window_of_class(machine, "SorvaneTrayWindow", gone));
}

TEST(HostProcess, AStartThatFailsEarlyLogsNoStopSequence) {
    // The user data folder sits under a file: no TLS identity can be kept.
    TempDir dir;
    test::write_all(dir.path() + "/file", "x");
    const auto r = test::run(kHost, {"--console"}, {{"LOCALAPPDATA", dir.path() + "/file/data"}});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("[host] TLS kimligi olusturulamadi, durduruluyor\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[host] stopping"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("[host] stopped"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace sorvane
