#include "platform/sim/machine.h"

#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include <gtest/gtest.h>

#include "platform/sim/manual_clock.h"
#include "platform/sim/ports.h"
#include "platform/win_error.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::sim {
namespace {

using platform::RegistryHive;
constexpr RegistryHive kLm = RegistryHive::local_machine;

uint32_t counter(Machine& m, const char* name) {
    uint32_t v = 0;
    m.read([&](const MachineState& s) {
        platform::RegistryValue rv;
        if (s.registry.get_value(kLm, "SOFTWARE\\Count", name, rv) == 0) platform::read_dword(rv, v);
    });
    return v;
}

void bump(Machine& m, const char* name, int times) {
    for (int i = 0; i < times; ++i) {
        ASSERT_TRUE(m.update("bump", [&](MachineState& s) {
            platform::RegistryValue rv;
            uint32_t v = 0;
            if (s.registry.get_value(kLm, "SOFTWARE\\Count", name, rv) == 0) platform::read_dword(rv, v);
            s.registry.set_dword(kLm, "SOFTWARE\\Count", name, v + 1);
        })) << m.last_error();
    }
}

TEST(SimMachine, TwoProcessesAndTwoThreadsWritingAtOnceLoseNothing) {
    test::TempDir dir;
    Machine m(dir.path());
    ASSERT_TRUE(m.initialize({})) << m.last_error();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Machine other(dir.path());
        for (int i = 0; i < 150; ++i) {
            bool ok = other.update("child", [&](MachineState& s) {
                platform::RegistryValue rv;
                uint32_t v = 0;
                if (s.registry.get_value(kLm, "SOFTWARE\\Count", "n", rv) == 0) platform::read_dword(rv, v);
                s.registry.set_dword(kLm, "SOFTWARE\\Count", "n", v + 1);
            });
            if (!ok) _exit(1);
        }
        _exit(0);
    }
    Machine second(dir.path());
    std::thread t([&] { bump(second, "n", 100); });
    bump(m, "n", 150);
    t.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(counter(m, "n"), 400u);
    // Every change is journaled once, numbered in order.
    const std::string journal = m.journal();
    EXPECT_NE(journal.find("\n#400 "), std::string::npos);
    EXPECT_EQ(journal.find("\n#401 "), std::string::npos);
}

TEST(SimMachine, FaultPointsFailTheNthCallAcrossMachineObjectsAndAreThenSpent) {
    test::TempDir dir;
    {
        Machine m(dir.path());
        ASSERT_TRUE(m.initialize({}));
        ASSERT_TRUE(m.update("arm", [](MachineState& s) { s.faults.arm("registry.set_value", 2, 0x57, 2); }));
    }
    std::vector<uint32_t> codes;
    for (int i = 0; i < 5; ++i) {
        auto reg = make_sim_registry(std::make_shared<Machine>(dir.path()));  // as a new process would
        codes.push_back(reg->set_value(kLm, "SOFTWARE\\X", "v", platform::reg_dword(1)));
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{0, 0x57, 0x57, 0, 0}));
    Machine m(dir.path());
    m.read([](const MachineState& s) { EXPECT_TRUE(s.faults.faults().empty()); });
}

TEST(SimMachine, ShellOpensAreJournaledAndChangeNoModel) {
    test::TempDir dir;
    const auto shell_of = [&] { return make_sim_shell(std::make_shared<Machine>(dir.path())); };
    EXPECT_EQ(shell_of()->open("ms-settings:display"), 2);  // no machine set up there
    Machine m(dir.path());
    ASSERT_TRUE(m.initialize({}));
    std::string before;
    ASSERT_TRUE(m.dump(before));
    EXPECT_EQ(shell_of()->open("ms-settings:display"), 42);
    EXPECT_EQ(shell_of()->open("odd\ntarget"), 42);
    std::string after;
    ASSERT_TRUE(m.dump(after));
    EXPECT_EQ(after, before);
    const std::string journal = m.journal();
    const size_t first = journal.find("\n#1 ");
    ASSERT_NE(first, std::string::npos) << journal;
    EXPECT_NE(journal.find(" shell open ms-settings:display\n#2 ", first), std::string::npos) << journal;
    EXPECT_TRUE(journal.ends_with(" shell open odd?target\n")) << journal;
}

TEST(SimMachine, RegistryKeepsCaseRawBytesAndNeedsElevationForHklm) {
    auto m = std::make_shared<Machine>();
    ManualClock clock;
    m->set_clock(&clock);
    ASSERT_TRUE(m->initialize({}));
    auto reg = make_sim_registry(m);
    const auto multi = platform::reg_multi_sz({"S-1-22-1-1000"});
    ASSERT_EQ(reg->set_value(kLm, "SOFTWARE\\Sorvane\\VDD", "ControlPipeSids", multi), 0u);
    platform::RegistryValue back;
    ASSERT_EQ(reg->get_value(kLm, "software\\SORVANE\\vdd", "controlpipesids", back), 0u);
    EXPECT_EQ(back, multi);
    EXPECT_EQ(back.data.size(), (13u + 2u) * 2u);  // the SID, its NUL and the list's NUL
    std::vector<std::string> names;
    reg->list_subkeys(kLm, "SOFTWARE", names);
    EXPECT_NE(std::find(names.begin(), names.end(), "Sorvane"), names.end());
    std::string sz;
    EXPECT_FALSE(platform::registry_read_sz(*reg, kLm, "SOFTWARE\\Sorvane\\VDD", "ControlPipeSids", sz));

    // Every model survives a round trip through its JSON.
    std::string before;
    ASSERT_TRUE(m->dump(before));
    Json all;
    std::string error;
    ASSERT_TRUE(Json::parse(before, all, error)) << error;
    MachineState copy;
    for_each_model(copy, [&](auto& model) {
        using M = std::decay_t<decltype(model)>;
        EXPECT_TRUE(model.from_json(all.get(M::kName), error)) << error;
    });
    EXPECT_EQ(Machine::dump_of(copy), before);

    ASSERT_TRUE(m->update("token", [](MachineState& s) { s.system.elevated = false; }));
    EXPECT_EQ(reg->set_value(kLm, "SOFTWARE\\Sorvane", "x", platform::reg_sz("y")), platform::kErrorAccessDenied);
    EXPECT_EQ(reg->delete_tree(kLm, "SOFTWARE\\Sorvane"), platform::kErrorAccessDenied);
    EXPECT_EQ(reg->set_value(RegistryHive::current_user, "Software\\Sorvane", "x", platform::reg_sz("y")), 0u);
    std::string after;
    ASSERT_TRUE(m->dump(after));
    EXPECT_NE(after, before);

    ASSERT_TRUE(m->update("token", [](MachineState& s) { s.system.elevated = true; }));
    EXPECT_EQ(reg->delete_tree(kLm, "SOFTWARE\\SORVANE"), 0u);
    EXPECT_EQ(reg->delete_tree(kLm, "SOFTWARE\\Sorvane"), platform::kErrorFileNotFound);
    EXPECT_NE(m->journal().find("+ registry/HKLM/keys/SOFTWARE/keys/Sorvane/keys/VDD/values/ControlPipeSids/text/0 = "
                                "\"S-1-22-1-1000\""),
              std::string::npos);
}

TEST(SimMachine, SeededGuidsRepeatPerSeedAndSystemFollowsTheProcessUid) {
    MachineState a;
    MachineState b;
    b.meta.seed = 7;
    const std::string g1 = a.new_guid();
    EXPECT_EQ(g1.size(), 38u);
    EXPECT_NE(a.new_guid(), g1);
    EXPECT_NE(b.new_guid(), g1);
    MachineState c;
    EXPECT_EQ(c.new_guid(), g1);
    EXPECT_EQ(c.system.effective_user_sid(), "S-1-22-1-" + std::to_string(getuid()));
    c.system.interactive_user = "none";
    EXPECT_EQ(c.system.effective_interactive_user(), "");
}

TEST(SimMachine, PipeNamesMapIntoThePipesFolderOnly) {
    const struct {
        const char* name;
        const char* path;
    } cases[] = {
        {"\\\\.\\pipe\\SorvaneVddPipe", "/m/pipes/SorvaneVddPipe"},
        {"//./PIPE/SorvaneVddPipe", "/m/pipes/SorvaneVddPipe"},
        {"\\\\.\\pipe\\", ""},
        {"\\\\.\\pipe\\..", ""},
        {"\\\\.\\pipe\\a\\..\\..\\x", ""},
        {"\\\\server\\pipe\\x", ""},
        {"SorvaneVddPipe", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(pipe_socket_path("/m", c.name), c.path) << c.name;
}

TEST(SimMachine, ToolInitSetFaultAndDumpSteerTheMachine) {
    test::TempDir dir;
    const std::map<std::string, std::string> env{{"SORVANE_SIM_ROOT", dir.path()}};
    const std::string sim = test::bin_path("sorvane-sim");
    EXPECT_EQ(test::run(sim, {"dump"}, env).code, 1);  // nothing there yet
    ASSERT_EQ(test::run(sim, {"init", "--build", "19044", "--arch", "arm64", "--language", "tr-TR"}, env).code, 0);
    const auto first = test::run(sim, {"dump"}, env);
    ASSERT_EQ(first.code, 0);
    EXPECT_NE(first.out.find("\"text\": \"19044\""), std::string::npos);
    EXPECT_NE(first.out.find("\"oem_code_page\": 857"), std::string::npos);
    EXPECT_EQ(test::run(sim, {"set", "elevated", "no"}, env).code, 0);
    EXPECT_EQ(test::run(sim, {"set", "elevated", "maybe"}, env).code, 2);
    EXPECT_EQ(test::run(sim, {"fault", "registry.set_value", "1", "0x5"}, env).code, 0);
    EXPECT_EQ(test::run(sim, {"fault", "registry.set_value", "0", "5"}, env).code, 2);
    EXPECT_EQ(test::run(sim, {"fault", "list"}, env).out,
              "registry.set_value nth=1 code=0x00000005 times=1 calls=0\n");
    Machine m(dir.path());
    bool elevated = true;
    m.read([&](const MachineState& s) { elevated = s.system.elevated; });
    EXPECT_FALSE(elevated);
    EXPECT_EQ(test::run(sim, {"set", "elevated", "yes"}, env).code, 0);
    EXPECT_EQ(test::run(sim, {"dump"}, env).out, first.out);  // the dump leaves out faults
}

}  // namespace
}  // namespace sorvane::sim
