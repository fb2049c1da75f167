// The system programs of the simulated machine (icacls, cmd, pnputil) run as
// processes on a fresh machine, as tables of what Windows accepts and refuses.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "platform/code_signing.h"
#include "platform/files.h"
#include "platform/sim/driver_ops.h"
#include "platform/sim/machine.h"
#include "platform/sim/pipe_namespace.h"
#include "platform/sim/ports.h"
#include "platform/win_error.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::sim {
namespace {

class Standins : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.file("machine");
        ASSERT_EQ(test::run(test::bin_path("sorvane-sim"), {"init"}, env()).code, 0);
        machine_ = std::make_shared<Machine>(root_);
        data_ = root_ + "/ProgramData/Sorvane/VDD";
        ASSERT_TRUE(platform::create_directories(data_ + "/Logs").ok());
    }
    std::map<std::string, std::string> env() const { return {{"SORVANE_SIM_ROOT", root_}}; }
    test::RunResult system(const std::string& program, const std::vector<std::string>& args) {
        return test::run(root_ + "/Windows/System32/" + program + ".exe", args, env());
    }
    void elevated(bool yes) {
        ASSERT_TRUE(machine_->update("token", [&](MachineState& s) { s.system.elevated = yes; }));
    }
    AclModel acls() {
        AclModel a;
        machine_->read([&](const MachineState& s) { a = s.acls; });
        return a;
    }

    test::TempDir dir_;
    std::string root_;
    std::string data_;
    std::shared_ptr<Machine> machine_;
};

TEST_F(Standins, IcaclsKeysListsByCanonicalPathAndAsksForElevationOnTheMachinesDrive) {
    const std::string logs = data_ + "/Logs";
    const struct {
        bool elevated;
        std::vector<std::string> args;
        int code;
        std::string line;
        std::vector<std::string> grants;  // of Logs afterwards
    } cases[] = {
        {true, {logs, "/inheritance:d"}, 0, "Successfully processed 1 files; Failed processing 0 files", {}},
        {true, {logs + "/", "/grant", "*S-1-5-19:(OI)(CI)M"}, 0, "processed file: " + logs, {"*S-1-5-19:(OI)(CI)M"}},
        {true, {data_ + "/x/../Logs", "/grant", "*S-1-5-20:R"}, 0, "", {"*S-1-5-19:(OI)(CI)M", "*S-1-5-20:R"}},
        {true, {root_ + "/ProgramData/./Sorvane//VDD/Logs", "/grant", "*S-1-5-4:R"}, 0, "",
         {"*S-1-5-19:(OI)(CI)M", "*S-1-5-20:R", "*S-1-5-4:R"}},
        {false, {logs, "/grant", "*S-1-5-32-545:F"}, 5, ": Access is denied.",
         {"*S-1-5-19:(OI)(CI)M", "*S-1-5-20:R", "*S-1-5-4:R"}},
        {true, {logs, "/grant", "*S-1-1-0:F", "/deny"}, 87, "The parameter is incorrect.",
         {"*S-1-5-19:(OI)(CI)M", "*S-1-5-20:R", "*S-1-5-4:R"}},
        {true, {logs}, 87, "Invalid parameter", {"*S-1-5-19:(OI)(CI)M", "*S-1-5-20:R", "*S-1-5-4:R"}},
        {true, {data_ + "/missing", "/grant", "*S-1-5-19:M"}, 2, "Failed processing 1 files",
         {"*S-1-5-19:(OI)(CI)M", "*S-1-5-20:R", "*S-1-5-4:R"}},
    };
    for (const auto& c : cases) {
        elevated(c.elevated);
        const auto r = system("icacls", c.args);
        EXPECT_EQ(r.code, c.code) << c.args[0] << "\n" << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        const AclModel a = acls();
        ASSERT_EQ(a.entries.size(), 1u) << c.args[0];
        EXPECT_EQ(a.entries.begin()->first, logs);
        EXPECT_TRUE(a.entries.begin()->second.inheritance_disabled);
        EXPECT_EQ(a.entries.begin()->second.grants, c.grants) << c.args[0];
    }
    // A folder made anew at the path has none of the old folder's list.
    ASSERT_TRUE(platform::remove_tree(logs).ok());
    ASSERT_TRUE(platform::create_directories(logs).ok());
    EXPECT_EQ(system("icacls", {logs, "/grant", "*S-1-5-19:M"}).code, 0);
    AclModel a = acls();
    ASSERT_EQ(a.entries.size(), 1u);
    EXPECT_FALSE(a.entries.at(logs).inheritance_disabled);
    EXPECT_EQ(a.entries.at(logs).grants, std::vector<std::string>{"*S-1-5-19:M"});

    // cmd removes the folder and the lists with it; a standard user may not.
    const struct {
        bool elevated;
        std::vector<std::string> args;
        int code;
        const char* line;
        bool folder_left;
    } removals[] = {
        {false, {"/c", "rmdir", "/s", "/q", data_}, 5, "Access is denied.", true},
        {true, {"/c", "del", data_}, 1, "The command is not supported.", true},
        {true, {"/c", "rmdir", "/s", "/q", data_ + "/Logs/.."}, 0, "", false},
        {true, {"/c", "rd", "/s", "/q", data_}, 2, "The system cannot find the file specified.", false},
    };
    for (const auto& c : removals) {
        elevated(c.elevated);
        const auto r = system("cmd", c.args);
        EXPECT_EQ(r.code, c.code) << c.args[1] << "\n" << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        EXPECT_EQ(platform::file_exists(logs), c.folder_left);
        EXPECT_EQ(acls().entries.size(), c.folder_left ? 1u : 0u);
    }
}

// A package signed as the installer signs it, then changed in one way or another.
TEST_F(Standins, PnputilAddsOnlyASignedPackageWhoseCatalogHoldsItsFiles) {
    auto signing = make_sim_code_signing(machine_);
    std::vector<uint8_t> cert;
    ASSERT_EQ(signing->open_provider(platform::kSoftwareKeyStorageProvider), 0u);
    ASSERT_EQ(signing->create_persisted_key("test-key", true), 0u);
    ASSERT_EQ(signing->finalize_key("test-key", true, 2048), 0u);
    ASSERT_EQ(signing->create_self_signed("test-key", true, "Sorvane Driver Signing (T)", {2026, 1, 1, 0, 0, 0, 0},
                                          {2036, 1, 1, 0, 0, 0, 0}, cert),
              0u);
    ASSERT_EQ(signing->store_add("ROOT", cert), 0u);
    ASSERT_EQ(signing->store_add("TrustedPublisher", cert), 0u);
    const auto package = [&](const std::string& name, const std::function<void(const std::string&)>& before_signing,
                              const std::function<void(const std::string&)>& after_signing) {
        const std::string d = dir_.file(name);
        platform::create_directories(d);
        for (const char* f : {"SorvaneVDD.inf", "SorvaneVDD.dll", "sorvanevdd.cat"})
            test::write_all(d + "/" + f, test::read_all(test::bin_path(std::string("driver/") + f)));
        if (before_signing) before_signing(d);
        EXPECT_EQ(signing->sign_file(d + "/sorvanevdd.cat", "test-key", true, cert), 0u);
        EXPECT_EQ(signing->sign_file(d + "/SorvaneVDD.dll", "test-key", true, cert), 0u);
        if (after_signing) after_signing(d);
        return d + "/SorvaneVDD.inf";
    };
    const auto append = [](const std::string& file, const std::string& text) {
        test::write_all(file, test::read_all(file) + text);
    };
    const struct {
        const char* what;
        bool elevated;
        std::string inf;
        const char* line;
    } cases[] = {
        {"INF changed after signing", true,
         package("inf", nullptr, [&](const std::string& d) { append(d + "/SorvaneVDD.inf", "; changed\r\n"); }),
         "The hash for the file is not present in the specified catalog file."},
        {"catalog without the INF", true, package("cat", [&](const std::string& d) {
             const std::string cat = test::read_all(d + "/sorvanevdd.cat");
             const size_t at = cat.find("member SorvaneVDD.inf");
             test::write_all(d + "/sorvanevdd.cat", cat.substr(0, at) + cat.substr(cat.find('\n', at) + 1));
         }, nullptr),
         "The hash for the file is not present in the specified catalog file."},
        {"library changed after signing", true,
         package("dll", nullptr, [&](const std::string& d) { append(d + "/SorvaneVDD.dll", "x"); }),
         "The digital signature of the object did not verify."},
        {"catalog unsigned", true,
         package("unsigned", nullptr, [&](const std::string& d) { platform::remove_file(d + "/sorvanevdd.cat.p7s"); }),
         "No signature was present in the subject."},
        {"standard user", false, package("user", nullptr, nullptr), "Access is denied."},
        {"intact", true, package("good", nullptr, nullptr), "Driver package added successfully."},
    };
    for (const auto& c : cases) {
        elevated(c.elevated);
        const auto r = system("pnputil", {"/add-driver", c.inf, "/install"});
        EXPECT_NE(r.out.find(c.line), std::string::npos) << c.what << "\n" << r.out;
        size_t packages = 0;
        machine_->read([&](const MachineState& s) { packages = s.driver_store.packages.size(); });
        EXPECT_EQ(packages, std::string(c.what) == "intact" ? 2u : 1u) << c.what;  // and the machine's own
    }
}

TEST(Sddl, DescriptorsWindowsReadsAndTheOnesItRefuses) {
    const struct {
        const char* text;
        int aces;  // -1: refused
    } cases[] = {
        {"D:P(A;;0x120183;;;SY)(A;;0x120183;;;BA)(A;;0x12019f;;;S-1-5-19)", 3},
        {"D:", 0},
        {"O:BAG:SYD:PAI(A;OICI;FA;;;LS)(D;;FW;;;WD)", 2},
        {"D:(A;;GRGW;;;AU)(A;ID;RCSD;;;S-1-0x000000000005-32-544)", 2},
        {"", -1},
        {"(A;;FA;;;WD)", -1},
        {"D:(X;;FA;;;WD)", -1},
        {"D:(A;;FA;;;QQ)", -1},
        {"D:(A;;0x;;;WD)", -1},
        {"D:(A;;FZ;;;WD)", -1},
        {"D:(A;;FA;;;S-1-)", -1},
        {"D:(A;;FA;;;WD", -1},
        {"D:(A;;FA;;;WD)x", -1},
        {"D:(A;XX;FA;;;WD)", -1},
        {"D:(A;OIOI;FA;;;WD)", -1},
        {"D:(A;;FA;a;;WD)", -1},
        {"D:Q(A;;FA;;;WD)", -1},
        {"D:(A;;FA;;;WD;x)", -1},
        {"O:D:(A;;FA;;;WD)", -1},
    };
    for (const auto& c : cases) {
        std::vector<SddlAce> aces;
        EXPECT_EQ(parse_sddl(c.text, aces), c.aces >= 0) << c.text;
        EXPECT_EQ(aces.size(), static_cast<size_t>(std::max(c.aces, 0))) << c.text;
    }
    std::vector<SddlAce> aces;
    ASSERT_TRUE(parse_sddl("D:(A;;GRGW;;;AU)", aces));
    EXPECT_EQ(aces[0].sid, "S-1-5-11");
    EXPECT_EQ(aces[0].mask, 0x0012019Fu);  // generic read and write as a file's rights
}

TEST(Sddl, TheAccessCheckOfTokens) {
    SystemModel user;
    user.user_sid = "S-1-5-21-1-2-3-1001";
    user.elevated = false;
    SystemModel other = user;
    other.user_sid = "S-1-5-21-1-2-3-1002";
    SystemModel admin = other;
    admin.elevated = true;
    SystemModel standard = admin;
    standard.administrator = false;
    const std::string pipe = "D:P(A;;0x120183;;;SY)(A;;0x120183;;;BA)(A;;0x12019f;;;S-1-5-19)(A;;0x120183;;;S-1-5-21-1-2-3-1001)";
    const struct {
        std::string sddl;
        Token token;
        bool granted;
    } cases[] = {
        {pipe, user.user_token(), true},
        {pipe, other.user_token(), false},  // Administrators only denies while not elevated
        {pipe, admin.user_token(), true},
        {pipe, standard.user_token(), false},
        {pipe, service_token(kLocalServiceSid), true},
        {pipe, service_token("S-1-5-20"), false},
        {"D:(D;;FW;;;BA)(A;;FA;;;WD)", admin.user_token(), false},
        {"D:(D;;FW;;;BA)(A;;FA;;;WD)", other.user_token(), false},  // deny-only groups still deny
        {"D:(D;;FW;;;BA)(A;;FA;;;WD)", standard.user_token(), true},
        {"D:(A;;FA;;;WD)(D;;FW;;;BA)", admin.user_token(), true},  // granted before the deny is reached
        {"D:(A;;FR;;;WD)(A;;FW;;;IU)", user.user_token(), true},   // rights add up across entries
        {"D:(A;;FR;;;WD)(A;;FW;;;IU)", service_token(kLocalServiceSid), false},
        {"D:", admin.user_token(), false},
    };
    for (const auto& c : cases) {
        std::vector<SddlAce> aces;
        ASSERT_TRUE(parse_sddl(c.sddl, aces)) << c.sddl;
        EXPECT_EQ(access_granted(aces, c.token, kPipeClientAccess), c.granted) << c.sddl << " " << c.token.user;
    }
}

TEST(DriverStore, DeletingAPackageTheWayWindowsAllows) {
    const auto state = [](bool elevated) {
        MachineState s;
        apply_setup(s, MachineSetup{});
        s.system.elevated = elevated;
        DriverPackage p;
        p.published_name = "oem3.inf";
        p.hardware_ids = {"Root\\SorvaneVDD"};
        p.service = "SorvaneVDD";
        s.driver_store.packages.push_back(p);
        DeviceNode n;
        n.instance_id = "ROOT\\DISPLAY\\0000";
        n.has_hardware_ids = true;
        n.hardware_ids = platform::reg_multi_sz({"ROOT\\SORVANEVDD"}).data;
        s.devices.nodes.push_back(n);
        DeviceNode phantom = n;
        phantom.instance_id = "ROOT\\DISPLAY\\0001";
        phantom.present = false;
        s.devices.nodes.push_back(phantom);
        EXPECT_EQ(install_on_devices(s, p), 1u);  // present nodes only, ids in any case
        return s;
    };
    const struct {
        const char* name;
        bool elevated, uninstall, force;
        uint32_t code;
        bool package_left;
        const char* service_left;
    } cases[] = {
        {"oem3.inf", true, false, false, platform::kErrorAccessDenied, true, "SorvaneVDD"},  // still in use
        {"oem3.inf", true, true, false, 0, false, ""},
        {"oem3.inf", true, false, true, 0, false, "SorvaneVDD"},
        {"OEM3.INF", false, true, true, platform::kErrorAccessDenied, true, "SorvaneVDD"},
        {"oem9.inf", true, true, true, platform::kErrorFileNotFound, true, "SorvaneVDD"},
    };
    for (const auto& c : cases) {
        MachineState s = state(c.elevated);
        EXPECT_EQ(delete_driver_package(s, c.name, c.uninstall, c.force), c.code) << c.name;
        EXPECT_EQ(s.driver_store.find("oem3.inf") != nullptr, c.package_left) << c.name;
        EXPECT_EQ(s.devices.find("ROOT\\DISPLAY\\0000")->service, c.service_left) << c.name;
        EXPECT_EQ(s.devices.find("ROOT\\DISPLAY\\0000")->started, *c.service_left != '\0') << c.name;
    }
}

}  // namespace
}  // namespace sorvane::sim
