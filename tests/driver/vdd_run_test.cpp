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
#include <thread>

#include "host/monitors/driver_control_client.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
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

// What the installer leaves: the root device node bound to the driver package.
void install_device_node(sim::Machine& m) {
    ASSERT_TRUE(m.update("install", [](sim::MachineState& s) {
        sim::DriverPackage pkg;
        pkg.published_name = "oem3.inf";
        pkg.original_name = "sorvanevdd.inf";
        pkg.service = "SorvaneVDD";
        pkg.hardware_ids = {"Root\\SorvaneVDD"};
        s.driver_store.packages.push_back(pkg);
        sim::DeviceNode n;
        n.instance_id = "ROOT\\DISPLAY\\0000";
        n.class_name = "Display";
        n.class_guid = sim::kDisplayClassGuid;
        n.has_hardware_ids = true;
        n.hardware_ids = platform::reg_multi_sz({"Root\\SorvaneVDD"}).data;
        n.service = "SorvaneVDD";
        n.driver_package = "oem3.inf";
        n.started = true;
        s.devices.nodes.push_back(n);
    }));
}

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

}  // namespace
}  // namespace sorvane
