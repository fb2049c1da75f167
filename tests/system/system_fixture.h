// The whole system as processes on one fresh simulated machine: the machine
// made by sorvane-sim, the driver installed by sorvane-setup and running as
// sorvane-vdd, a console host on ports of its own, and helpers to pair and
// stream with the reference viewer and to read the machine's displays and
// input journal.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/machine.h"
#include "tests/support/driver_node.h"
#include "tests/support/driver_ready.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::test {

class SystemFixture : public ::testing::Test {
protected:
    void SetUp() override {
        root = dir.file("machine");
        data = dir.file("LocalAppData");
        work = dir.file("work");
        for (const std::string& d : {root, data, work}) ASSERT_TRUE(std::filesystem::create_directories(d));
        if (with_setup) {
            const RunResult init = sim({"init"});
            ASSERT_EQ(init.code, 0) << init.out << init.err;
            const std::string vdd = bin_path("sorvane-vdd");
            const RunResult setup = run(bin_path("sorvane-setup"),
                                        {"install", "--app-dir", vdd.substr(0, vdd.rfind('/')), "--version", "0.1.14",
                                         "--driver-version", "1.0.0"},
                                        env(), work);
            ASSERT_EQ(setup.code, 0) << setup.out << setup.err;
        } else {
            sim::Machine machine(root);
            ASSERT_TRUE(machine.initialize(sim::MachineSetup{})) << machine.last_error();
            install_device_node(machine);
        }
        ::setenv("SORVANE_SIM_ROOT", root.c_str(), 1);
        start_driver();
        displays_before = displays();
    }

    void TearDown() override {
        if (host && host->running()) {
            host->signal(SIGINT);
            host->wait();
        }
        if (driver) {
            driver->signal(SIGTERM);
            driver->wait();
        }
    }

    // sorvane-vdd run, waited for until its adapter is ready.
    void start_driver() {
        driver = std::make_unique<Process>(bin_path("sorvane-vdd"), std::vector<std::string>{"run"}, env(), work);
        ASSERT_TRUE(driver->wait_for_output("driver loaded")) << driver->out() << driver->err();
        ASSERT_TRUE(wait_for_driver_ready()) << driver->out() << driver->err();
    }

    std::map<std::string, std::string> env() const {
        return {{"SORVANE_SIM_ROOT", root}, {"LOCALAPPDATA", data}, {"SORVANE_PAIRING_PORT", "0"}};
    }

    RunResult sim(const std::vector<std::string>& args) { return run(bin_path("sorvane-sim"), args, env(), work); }

    // A console host with --pair, on ports the system picks; waits until it is ready.
    void start_host(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--console",      "--pair",       "--bind", "127.0.0.1", "--control-port",
                                         "0",              "--video-port", "0",      "--input-port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::map<std::string, std::string> vars = env();
        vars.insert(host_env.begin(), host_env.end());
        host = std::make_unique<Process>(bin_path("sorvane-host"), args, vars, work);
        ASSERT_TRUE(host->wait_for_output("Ctrl+C to stop\n")) << host->out() << host->err();
    }

    // Ctrl+C; the host ends every session, removes its monitors and exits 0.
    void stop_host() {
        host->signal(SIGINT);
        EXPECT_EQ(host->wait(), 0) << host->out();
    }

    // Pairs a viewer keeping its state in state_dir with the host's open window.
    void pair(const std::string& state_dir, const std::string& name) {
        std::smatch m;
        const std::string out = host->out();
        ASSERT_TRUE(std::regex_search(out, m, std::regex("eslestirme penceresi acildi \\((\\d+), 120 sn\\)"))) << out;
        const std::string port = m[1];
        ASSERT_TRUE(std::regex_search(out, m, std::regex("eslestirme URI'si \\(2 dk gecerli\\): (sorvane://\\S+)"))) << out;
        const RunResult r = run(bin_path("sorvane-viewer"),
                                {"pair", m[1], "--address", "127.0.0.1", "--port", port, "--state", state_dir, "--name", name},
                                env(), work);
        ASSERT_EQ(r.code, 0) << r.out << r.err;
    }

    // A viewer that knows the host and the client id of the viewer paired in
    // paired_dir, but with a certificate of its own (made on its first run).
    std::string stranger_of(const std::string& paired_dir) {
        const std::string stranger = dir.file("stranger");
        std::filesystem::create_directories(stranger);
        std::filesystem::copy(paired_dir + "/hosts", stranger + "/hosts");
        std::filesystem::copy_file(paired_dir + "/client_id.txt", stranger + "/client_id.txt");
        return stranger;
    }

    // The control port the running host listens on.
    std::string control_port() {
        std::smatch m;
        const std::string out = host->out();
        EXPECT_TRUE(std::regex_search(out, m, std::regex("control tcp listening on 127\\.0\\.0\\.1:(\\d+)"))) << out;
        return m.empty() ? "0" : m[1].str();
    }

    // sorvane-viewer stream to the running host with the state and further arguments.
    std::unique_ptr<Process> stream(const std::string& state_dir, const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"stream", "127.0.0.1:" + control_port(), "--state", state_dir};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Process>(bin_path("sorvane-viewer"), args, env(), work);
    }

    // The machine's display targets and paths (remembered positions left out:
    // they are the system's memory, not its displays).
    std::string displays() {
        const RunResult r = sim({"topology"});
        EXPECT_EQ(r.code, 0) << r.err;
        std::istringstream in(r.out);
        std::string line, out;
        bool remembered = false;
        while (std::getline(in, line)) {
            if (line == "Remembered positions") remembered = true;
            else if (line.empty()) remembered = false;
            if (!remembered) out += line + "\n";
        }
        return out;
    }

    std::string input_journal() { return sim({"input"}).out; }

    // Waits (real time, bounded) until the process has written text at least n times.
    static bool wait_for_count(Process& p, const std::string& text, size_t n,
                               std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const std::string out = p.out();
            size_t count = 0;
            for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + text.size())) ++count;
            if (count >= n) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    // sorvane-setup install (signing included, seconds under load); false: the
    // device node alone, written straight into the machine.
    bool with_setup = true;
    std::map<std::string, std::string> host_env;  // the host's own further variables
    TempDir dir;
    std::string root, data, work;
    std::string displays_before;
    std::unique_ptr<Process> driver;
    std::unique_ptr<Process> host;
};

}  // namespace sorvane::test
