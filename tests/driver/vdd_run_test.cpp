// sorvane-vdd as the running driver on a fresh simulated machine: the host's
// client and an independent script add monitors through the control pipe,
// the machine's topology shows them come and go, and the client hears once
// that the driver went away.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "driver/runtime/pipe_server.h"
#include "host/monitors/driver_control_client.h"
#include "platform/files.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/driver_node.h"
#include "tests/support/driver_ready.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using test::bin_path;

bool eventually(const std::function<bool()>& cond, int bound_ms = 10'000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

size_t indirect_targets(sim::Machine& m) {
    size_t n = 0;
    m.read([&](const sim::MachineState& s) {
        for (const auto& t : s.display.targets) n += t.indirect ? 1 : 0;
    });
    return n;
}

// An independent client: SVC/1 over the socket, with nothing of ours.
constexpr char kScript[] = R"(
import os, socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(os.environ['SORVANE_SIM_ROOT'] + '/pipes/SorvaneVddPipe')
s.send(b'SVC/1 1 MONITOR_ADD 1920 1080 60')
print(s.recv(4096).decode(), flush=True)
time.sleep(60)
)";

using test::install_device_node;

// One PING over the socket without any access check of our own: prints the
// answer, or "closed" when the server turned the connection away.
constexpr char kRawPing[] = R"(
import os, socket
s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
s.connect(os.environ['SORVANE_SIM_ROOT'] + '/pipes/SorvaneVddPipe')
try:
    s.send(b'SVC/1 1 PING')
    data = s.recv(4096)
    print(data.decode() if data else 'closed')
except OSError:
    print('closed')
)";

class VddRun : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.file("machine");
        machine_ = std::make_unique<sim::Machine>(root_);
        ASSERT_TRUE(machine_->initialize({})) << machine_->last_error();
        setenv("SORVANE_SIM_ROOT", root_.c_str(), 1);
    }
    void TearDown() override { unsetenv("SORVANE_SIM_ROOT"); }

    test::TempDir dir_;
    std::string root_;
    std::unique_ptr<sim::Machine> machine_;
};

TEST_F(VddRun, LoadsOnlyForItsBoundDeviceNode) {
    auto r = test::run(bin_path("sorvane-vdd"), {"run"}, {{"SORVANE_SIM_ROOT", root_}});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no Root\\SorvaneVDD device node"), std::string::npos) << r.err;
    install_device_node(*machine_);
    machine_->update("unbind", [](sim::MachineState& s) { s.devices.find("ROOT\\DISPLAY\\0000")->service.clear(); });
    r = test::run(bin_path("sorvane-vdd"), {"run"}, {{"SORVANE_SIM_ROOT", root_}});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("not bound to the installed driver package"), std::string::npos) << r.err;
}

TEST_F(VddRun, MonitorsArriveInTheTopologyLeaveWithTheirOwnerAndTheClientHearsOfTheDriversEndOnce) {
    install_device_node(*machine_);
    test::Process vdd(bin_path("sorvane-vdd"), {"run"}, {{"SORVANE_SIM_ROOT", root_}});
    ASSERT_TRUE(vdd.wait_for_output("driver loaded")) << vdd.out() << vdd.err();
    auto clock = platform::make_system_clock();
    DriverControlClient client(*clock);
    std::string error;
    ASSERT_TRUE(client.connect(3000, error)) << error;
    ControlReply reply;
    DriverState state;
    ASSERT_TRUE(eventually([&] { return client.get_state(reply, state) && state.adapter_ready; }));
    MonitorAddReply added;
    ASSERT_TRUE(client.monitor_add_retrying(2560, 1600, 60, DriverControlClient::monitor_key("phone-1"), 0, 0, reply,
                                            added))
        << DriverControlClient::describe(reply);
    EXPECT_EQ(added.mode, "2560x1600@60");

    // The host sees the monitor in the machine's topology at once, with its EDID.
    const sim::SimLuid luid{added.os_luid.high, added.os_luid.low};
    machine_->read([&](const sim::MachineState& s) {
        const sim::SimTarget* t = s.display.find_target(luid, added.os_target);
        ASSERT_NE(t, nullptr);
        EXPECT_TRUE(t->active);
        EXPECT_EQ(t->mode, (sim::DisplayMode{2560, 1600, 60}));
        EXPECT_EQ(t->monitor_name, "Sorvane");
    });
    const std::string target = sim::luid_string(luid) + "/" + std::to_string(added.os_target);
    const auto edid = test::run(bin_path("sorvane-sim"), {"topology", "edid", target}, {{"SORVANE_SIM_ROOT", root_}});
    ASSERT_EQ(edid.code, 0) << edid.err;
    EXPECT_EQ(edid.out.size(), 256u);
    if (std::filesystem::exists("/usr/bin/edid-decode")) {
        test::write_all(dir_.file("edid.bin"), edid.out);
        const auto decoded = test::run("/usr/bin/edid-decode", {dir_.file("edid.bin")});
        EXPECT_NE(decoded.out.find("Manufacturer: SVN"), std::string::npos) << decoded.out;
        EXPECT_NE(decoded.out.find("DTD 1:  2560x1600"), std::string::npos) << decoded.out;
    }

    // A client killed outright takes its monitor with it.
    test::Process script("/usr/bin/python3", {"-c", kScript}, {{"SORVANE_SIM_ROOT", root_}});
    ASSERT_TRUE(script.wait_for_output(" OK id=2 ")) << script.out() << script.err();
    EXPECT_EQ(indirect_targets(*machine_), 2u);
    script.signal(SIGKILL);
    script.wait();
    EXPECT_TRUE(eventually([&] { return indirect_targets(*machine_) == 1; }));
    // The registry lets the entry go once the framework destroyed the monitor object.
    ASSERT_TRUE(eventually([&] { return client.get_state(reply, state) && state.monitors.size() == 1; }));
    EXPECT_EQ(state.monitors[0].id, added.id);

    // Stopping the driver: the keep-alive notices, and the owner hears it once.
    std::atomic<int> losses{0};
    client.start_keepalive(20, [&] { ++losses; });
    vdd.signal(SIGTERM);
    EXPECT_EQ(vdd.wait(), 0) << vdd.err();
    EXPECT_TRUE(eventually([&] { return losses.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(losses.load(), 1);
    EXPECT_GE(client.pings_sent(), 1u);
    client.stop_keepalive();
    EXPECT_EQ(indirect_targets(*machine_), 0u);
    const std::string log = vdd.out();
    EXPECT_NE(log.find("driver unloaded"), std::string::npos) << log;

    // Without a driver the client gives up after its retries.
    sim::ManualClock manual;
    DriverControlClient late(manual);
    EXPECT_FALSE(late.connect(3000, error));
    EXPECT_EQ(error, "cannot open the driver control pipe (error 2): driver not loaded");
    EXPECT_GE(manual.now_ms(), 1'000'000u + 3000u);
}


// The machine's virtual displays and indirect adapters, as sorvane-sim shows them.
std::string virtual_lines(const std::string& root) {
    const auto r = test::run(bin_path("sorvane-sim"), {"topology"}, {{"SORVANE_SIM_ROOT", root}});
    std::string out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        if (line.find(" virtual ") != std::string::npos || line.find("indirect display") != std::string::npos)
            out += line + "\n";
    return out;
}

TEST_F(VddRun, TheDriverLivesAsLongAsItsProcessAndItsDevice) {
    install_device_node(*machine_);
    const std::map<std::string, std::string> env{{"SORVANE_SIM_ROOT", root_}};
    auto vdd = std::make_unique<test::Process>(bin_path("sorvane-vdd"), std::vector<std::string>{"run"}, env);
    ASSERT_TRUE(test::wait_for_driver_ready()) << vdd->err();

    // Windows loads one driver instance per device node.
    const auto second = test::run(bin_path("sorvane-vdd"), {"run"}, env);
    EXPECT_EQ(second.code, 1);
    EXPECT_NE(second.err.find("sorvane-vdd: the driver is not loaded: the Root\\SorvaneVDD device node "
                              "ROOT\\DISPLAY\\0000 already has a loaded driver"),
              std::string::npos)
        << second.err;

    // A driver killed outright takes its adapter and monitor with it at once.
    auto clock = platform::make_system_clock();
    DriverControlClient client(*clock);
    std::string error;
    ControlReply reply;
    MonitorAddReply first;
    ASSERT_TRUE(client.connect(3000, error)) << error;
    ASSERT_TRUE(client.monitor_add_retrying(1920, 1080, 60, "", 0, 0, reply, first)) << DriverControlClient::describe(reply);
    const std::string adapter = sim::luid_string({first.os_luid.high, first.os_luid.low});
    EXPECT_NE(virtual_lines(root_).find(adapter + "/" + std::to_string(first.os_target) + "   virtual   active"),
              std::string::npos)
        << virtual_lines(root_);
    vdd->signal(SIGKILL);
    vdd->wait();
    EXPECT_EQ(virtual_lines(root_), "");

    // Started again, the driver serves on a fresh adapter.
    vdd = std::make_unique<test::Process>(bin_path("sorvane-vdd"), std::vector<std::string>{"run"}, env);
    ASSERT_TRUE(test::wait_for_driver_ready()) << vdd->err();
    MonitorAddReply again;
    ASSERT_TRUE(client.connect(3000, error)) << error;
    ASSERT_TRUE(client.monitor_add_retrying(1920, 1080, 60, "", 0, 0, reply, again)) << DriverControlClient::describe(reply);
    EXPECT_NE(sim::luid_string({again.os_luid.high, again.os_luid.low}), adapter);

    // The machine's power events reach the driver: D0 exit and entry.
    DriverState state;
    ASSERT_EQ(test::run(bin_path("sorvane-sim"), {"power", "suspend"}, env).code, 0);
    EXPECT_TRUE(eventually([&] { return client.get_state(reply, state) && state.adapter == "starting"; }));
    ASSERT_EQ(test::run(bin_path("sorvane-sim"), {"power", "resume-auto"}, env).code, 0);
    EXPECT_TRUE(eventually([&] { return client.get_state(reply, state) && state.adapter_ready; }));
    ASSERT_EQ(state.monitors.size(), 1u);
    EXPECT_EQ(state.monitors[0].id, again.id);

    // Removing the device unloads the driver: nothing serves the pipe afterwards.
    const auto removed = test::run(bin_path("sorvane-devtool"), {"remove", "Root\\SorvaneVDD"}, env);
    EXPECT_EQ(removed.code, 0) << removed.out;
    EXPECT_NE(removed.out.find("removed. Reboot required: no"), std::string::npos) << removed.out;
    EXPECT_EQ(vdd->wait(), 0);
    EXPECT_NE(vdd->out().find("sorvane-vdd: driver unloaded"), std::string::npos);
    EXPECT_EQ(virtual_lines(root_), "");
    sim::ManualClock manual;
    DriverControlClient late(manual);
    EXPECT_FALSE(late.connect(100, error));
    EXPECT_EQ(error, "cannot open the driver control pipe (error 2): driver not loaded");
    std::string log;
    std::vector<std::string> names;
    platform::list_directory(root_ + "/ProgramData/Sorvane/VDD/Logs", names);
    for (const auto& n : names) log += test::read_all(root_ + "/ProgramData/Sorvane/VDD/Logs/" + n);
    EXPECT_NE(log.find("D0Exit: adapter kept, not ready while powered down"), std::string::npos);
    EXPECT_NE(log.find("D0Entry: adapter already registered, reused (ready)"), std::string::npos);
}

// The pipe admits whom its security descriptor names: the driver's own
// account (LOCAL SERVICE), the allow list and elevated administrators; the
// token is the machine's, set with sorvane-sim.
TEST_F(VddRun, ThePipeAdmitsTheListedUserAndElevatedAdministratorsOnly) {
    install_device_node(*machine_);
    const std::string installer = "S-1-5-21-1-2-3-1001";
    ASSERT_TRUE(machine_->update("allow list", [&](sim::MachineState& s) {
        s.registry.set_value(platform::RegistryHive::local_machine, vdd::kVddRegistryKey, vdd::kAllowListValue,
                             platform::reg_multi_sz({installer}));
    }));
    const std::map<std::string, std::string> env{{"SORVANE_SIM_ROOT", root_}};
    test::Process vdd(bin_path("sorvane-vdd"), {"run"}, env);
    ASSERT_TRUE(test::wait_for_driver_ready()) << vdd.err();
    EXPECT_EQ(test::read_all(root_ + "/pipes/SorvaneVddPipe.sddl"),
              "D:P(A;;0x120183;;;SY)(A;;0x120183;;;BA)(A;;0x12019f;;;S-1-5-19)(A;;0x120183;;;" + installer + ")");
    const auto token = [&](const std::string& sid, bool elevated, bool administrator) {
        ASSERT_TRUE(machine_->update("token", [&](sim::MachineState& s) {
            s.system.user_sid = sid;
            s.system.elevated = elevated;
            s.system.administrator = administrator;
        }));
    };
    const struct {
        const char* sid;
        bool elevated;
        bool administrator;
        bool admitted;
    } cases[] = {
        {"S-1-5-21-1-2-3-1001", false, true, true},   // the installing user
        {"S-1-5-21-1-2-3-1002", false, true, false},  // another user, Administrators deny-only
        {"S-1-5-21-1-2-3-1002", true, true, true},    // an elevated administrator
        {"S-1-5-21-1-2-3-1002", true, false, false},  // elevated, but no administrator
        {"auto", false, false, false},                // the uid's own account is not listed
    };
    auto clock = platform::make_system_clock();
    for (const auto& c : cases) {
        token(c.sid, c.elevated, c.administrator);
        DriverControlClient client(*clock);
        std::string error;
        ControlReply reply;
        DriverState state;
        const bool served = client.connect(1000, error) && client.get_state(reply, state);
        EXPECT_EQ(served, c.admitted) << c.sid << " " << error;
        if (!c.admitted) {
            EXPECT_EQ(error, "cannot open the driver control pipe (error 5): this user is not in the pipe's allow list "
                             "(ControlPipeSids)");
            // The server checks the token too: a client that skips its own check gets no answer.
            const auto raw = test::run("/usr/bin/python3", {"-c", kRawPing}, env);
            EXPECT_EQ(raw.out, "closed\n") << c.sid << raw.err;
        }
    }
}

}  // namespace
}  // namespace sorvane
