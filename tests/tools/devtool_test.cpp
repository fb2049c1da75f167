#include "tools/devtool/devtool.h"

#include <gtest/gtest.h>

#include "platform/sim/machine.h"
#include "platform/sim/ports.h"
#include "platform/win_error.h"
#include "tests/support/temp_dir.h"

namespace sorvane::devtool {
namespace {

using sim::DeviceNode;
using sim::MachineState;

DeviceNode root_node(const std::string& id, const std::vector<std::string>& hwids, bool present = true) {
    DeviceNode n;
    n.instance_id = id;
    n.class_name = "Display";
    n.class_guid = sim::kDisplayClassGuid;
    n.has_hardware_ids = true;
    n.hardware_ids = platform::reg_multi_sz(hwids).data;
    n.description = "Sorvane Virtual Display Adapter";
    n.service = "SorvaneVDD";
    n.present = present;
    n.started = present;
    return n;
}

class DevtoolTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine_ = std::make_shared<sim::Machine>();
        ASSERT_TRUE(machine_->initialize({}));
        devices_ = sim::make_sim_device_manager(machine_);
        system_ = sim::make_sim_system_info(machine_);
    }
    int run(const std::vector<std::string>& args) {
        out_.clear();
        return devtool::run(args, *devices_, *system_, out_);
    }
    void change(const std::function<void(MachineState&)>& fn) { ASSERT_TRUE(machine_->update("test", fn)); }
    size_t node_count() {
        size_t n = 0;
        machine_->read([&](const MachineState& s) { n = s.devices.nodes.size(); });
        return n;
    }

    std::shared_ptr<sim::Machine> machine_;
    std::unique_ptr<platform::IDeviceManager> devices_;
    std::unique_ptr<platform::ISystemInfo> system_;
    std::string out_;
};

TEST_F(DevtoolTest, ArgumentTable) {
    const std::string usage =
        "usage:\n  sorvane-devtool find    <hwid>\n  sorvane-devtool install <inf> <hwid> [--dry-run]\n"
        "  sorvane-devtool remove  <hwid> [--dry-run]\n";
    change([](MachineState& s) { s.system.elevated = false; });
    const struct {
        std::vector<std::string> args;
        int code;
        std::string out;
    } cases[] = {
        {{}, 2, usage},
        {{"Find", "Root\\X"}, 2, usage},
        {{"find", "Root\\X", "extra"}, 2, usage},
        {{"install", "a.inf"}, 2, usage},
        {{"--dry-run", "--dry-run"}, 2, usage},
        {{"find", "Root\\"}, 2, "REFUSED: hardware id must look like Root\\<name>\n"},
        {{"find", "PCI\\VEN_1234"}, 2, "REFUSED: hardware id must look like Root\\<name>\n"},
        {{"--dry-run", "remove", "Root\\SpaceDeskTest"}, 2, "REFUSED: hardware id contains protected marker 'spacedesk'\n"},
        {{"remove", "Root\\X"}, 5, "ERROR: remove needs an elevated (Administrator) process.\n"},
        {{"install", "a.inf", "Root\\X"}, 5, "ERROR: install needs an elevated (Administrator) process.\n"},
        {{"find", "Root\\X"}, 0, "0 device(s) with hardware id Root\\X\n"},
        {{"--dry-run", "remove", "Root\\X"}, 0, "0 device(s) with hardware id Root\\X\n"},
        {{"remove", "Root\\X", "--dry-run"}, 0, "0 device(s) with hardware id Root\\X\n"},
        {{"install", "/nonexistent/x.inf", "Root\\X", "--dry-run"}, 1, "ERROR: INF not found: /nonexistent/x.inf\n"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(run(c.args), c.code) << joined;
        EXPECT_EQ(out_, c.out) << joined;
    }
}

TEST(DevtoolMarkers, OurIdPassesAndEveryMarkerRefusesASampleId) {
    EXPECT_EQ(check_hardware_id("Root\\SorvaneVDD"), "");
    EXPECT_EQ(check_hardware_id("ROOT\\SORVANEVDD"), "");
    // Locale-free folding: a capital I stays an i.
    EXPECT_EQ(check_hardware_id("ROOT\\SPACEDESKI"), "hardware id contains protected marker 'spacedesk'");
    const char* samples[] = {"Root\\Parsec\\VDA", "Root\\MttVDD", "Root\\spacedeskdisplay", "ROOT\\DatronicVDA"};
    for (size_t i = 0; i < kProtectedMarkers.size(); ++i)
        EXPECT_EQ(check_hardware_id(samples[i]),
                  std::string("hardware id contains protected marker '") + kProtectedMarkers[i] + "'");
}

TEST_F(DevtoolTest, MatchingListsEveryStateAndIgnoresPrefixesAndOtherEnumerators) {
    change([](MachineState& s) {
        s.devices.nodes.push_back(root_node("ROOT\\DISPLAY\\0000", {"Root\\Other", "ROOT\\SorvaneVDD"}));
        s.devices.nodes.push_back(root_node("ROOT\\DISPLAY\\0001", {"Root\\SorvaneVDD2"}));
        s.devices.nodes.push_back(root_node("ROOT\\DISPLAY\\0002", {"root\\sorvanevdd"}, false));
        auto problem = root_node("ROOT\\DISPLAY\\0003", {"Root\\SorvaneVDD"});
        problem.problem = 28;
        problem.service.clear();
        s.devices.nodes.push_back(problem);
        // Malformed lists: no terminators at all, an odd byte, an empty first entry.
        auto raw = root_node("ROOT\\DISPLAY\\0004", {});
        raw.hardware_ids = platform::utf8_to_utf16le("Root\\SorvaneVDD");
        raw.hardware_ids.push_back(0x41);
        s.devices.nodes.push_back(raw);
        auto empty_first = root_node("ROOT\\DISPLAY\\0005", {});
        empty_first.hardware_ids = {0, 0, 'R', 0, 0, 0, 0, 0};
        s.devices.nodes.push_back(empty_first);
        auto pci = root_node("PCI\\VEN_1\\0", {"Root\\SorvaneVDD"});
        s.devices.nodes.push_back(pci);
    });
    for (const char* id : {"Root\\SorvaneVDD", "ROOT\\SORVANEVDD", "root\\sorvanevdd"}) {
        ASSERT_EQ(run({"find", id}), 0);
        EXPECT_EQ(out_, std::string("4 device(s) with hardware id ") + id +
                            "\n"
                            "  ROOT\\DISPLAY\\0000\n    desc=\"Sorvane Virtual Display Adapter\" service=\"SorvaneVDD\" "
                            "state=present, started/ok\n"
                            "  ROOT\\DISPLAY\\0002\n    desc=\"Sorvane Virtual Display Adapter\" service=\"SorvaneVDD\" "
                            "state=not present (phantom)\n"
                            "  ROOT\\DISPLAY\\0003\n    desc=\"Sorvane Virtual Display Adapter\" service=\"\" "
                            "state=present, problem code 28\n"
                            "  ROOT\\DISPLAY\\0004\n    desc=\"Sorvane Virtual Display Adapter\" service=\"SorvaneVDD\" "
                            "state=present, started/ok\n");
    }
    // An existing node (even a phantom) makes install a no-op, dry run or not.
    ASSERT_EQ(run({"--dry-run", "remove", "Root\\SorvaneVDD"}), 0);
    EXPECT_EQ(node_count(), 8u);
}

TEST_F(DevtoolTest, RemoveGoesOnPastAFailureAndEnumerationFailureIsExitOne) {
    change([](MachineState& s) {
        s.devices.nodes.push_back(root_node("ROOT\\DISPLAY\\0000", {"Root\\SorvaneVDD"}));
        s.devices.nodes.push_back(root_node("ROOT\\DISPLAY\\0001", {"Root\\SorvaneVDD"}, false));
        s.faults.arm("setupapi.remove", 1, platform::kErrorAccessDenied);
    });
    EXPECT_EQ(run({"remove", "Root\\SorvaneVDD"}), 1);
    EXPECT_NE(out_.find("ERROR: DIF_REMOVE failed: 0x00000005 Access is denied.\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("state=not present (phantom)\n    removed. Reboot required: no\n"), std::string::npos) << out_;
    EXPECT_EQ(node_count(), 2u);  // the GPU and the node that failed
    change([](MachineState& s) { s.faults.arm("setupapi.get_class_devs", 1, platform::kErrorGenFailure); });
    EXPECT_EQ(run({"find", "Root\\SorvaneVDD"}), 1);
    EXPECT_EQ(out_, "ERROR: SetupDiGetClassDevs failed: 0x0000001F A device attached to the system is not functioning.\n");
}

TEST_F(DevtoolTest, InstallRollsBackTheNodeWhenBindingFailsAndReportsAFailedRollback) {
    test::TempDir dir;
    const std::string inf = dir.file("SorvaneVDD.inf");
    test::write_all(inf,
                    "[Version]\nClass=Display\nClassGuid={4d36e968-e325-11ce-bfc1-08002be10318}\nProvider=%P%\n"
                    "CatalogFile=x.cat\n[Strings]\nP=\"Sorvane\"\n");
    ASSERT_EQ(run({"install", inf, "Root\\SorvaneVDD", "--dry-run"}), 0);
    EXPECT_EQ(out_, "INF   : " + inf + "\nclass : Display\nhwid  : Root\\SorvaneVDD\n[dry-run] would: "
                    "SetupDiCreateDeviceInfo(Display) + SPDRP_HARDWAREID=Root\\SorvaneVDD + DIF_REGISTERDEVICE, then\n"
                    "          UpdateDriverForPlugAndPlayDevices(" + inf + ", INSTALLFLAG_FORCE); on failure DIF_REMOVE.\n");
    // The catalog is missing: binding fails and the new node goes again.
    ASSERT_EQ(run({"install", inf, "Root\\SorvaneVDD"}), 1);
    EXPECT_NE(out_.find("Device node created: ROOT\\DISPLAY\\0000\n"
                        "ERROR: UpdateDriverForPlugAndPlayDevices failed: 0x00000002 The system cannot find the file specified.\n"),
              std::string::npos)
        << out_;
    EXPECT_NE(out_.find("Rolling back: removing the half-created device node...\nRolled back.\n"), std::string::npos);
    EXPECT_EQ(node_count(), 1u);
    change([](MachineState& s) { s.faults.arm("setupapi.remove", 1, platform::kErrorAccessDenied); });
    ASSERT_EQ(run({"install", inf, "Root\\SorvaneVDD"}), 1);
    EXPECT_NE(out_.find("ERROR: DIF_REMOVE (rollback) failed: 0x00000005 Access is denied.\n"), std::string::npos);
    ASSERT_EQ(node_count(), 2u);
    // The registered node carries the one-entry list: the id and two NULs.
    machine_->read([](const MachineState& s) {
        const auto& n = s.devices.nodes.back();
        auto expected = platform::utf8_to_utf16le("Root\\SorvaneVDD");
        expected.insert(expected.end(), {0, 0, 0, 0});
        EXPECT_EQ(n.hardware_ids, expected);
    });
    ASSERT_EQ(run({"install", inf, "Root\\SorvaneVDD"}), 0);
    EXPECT_NE(out_.find("Already exists (1) -- nothing to do:\n  ROOT\\DISPLAY\\0000\n"), std::string::npos) << out_;
}

}  // namespace
}  // namespace sorvane::devtool
