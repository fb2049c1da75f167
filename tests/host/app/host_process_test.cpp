// sorvane-host as a whole program: exit codes, texts, files and signals.
#include <signal.h>

#include <gtest/gtest.h>

#include "host/app/command_line.h"
#include "platform/files.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using test::Process;
using test::read_all;
using test::TempDir;

const std::string kHost = test::bin_path("sorvane-host");

// Every run gets ports of its own (chosen by the system), so that tests
// running side by side never meet on the product's ports.
std::map<std::string, std::string> env_for(const TempDir& dir) {
    return {{"LOCALAPPDATA", dir.path()}, {"SORVANE_PAIRING_PORT", "0"}};
}

const std::vector<std::string> kOwnPorts{"--control-port", "0", "--video-port", "0", "--input-port", "0"};

std::vector<std::string> with_own_ports(std::vector<std::string> args) {
    args.insert(args.end(), kOwnPorts.begin(), kOwnPorts.end());
    return args;
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
    for (const char* cmd : {"--quit", "--purge-user-data", "--report", "--gpu-pref-check"}) {
        r = test::run(kHost, {cmd, "--bogus"}, env_for(dir));
        EXPECT_EQ(r.code, 1) << cmd;
        EXPECT_NE(r.out.find("not available in this build"), std::string::npos) << cmd;
    }
    // No one-shot command creates the host's files.
    EXPECT_FALSE(platform::file_exists(dir.path() + "/Sorvane"));
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
