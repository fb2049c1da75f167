// The desktop of a process following its machine: displays from the
// topology the driver changes, input reaching the desktop and the machine's
// input journal, UIPI steered by sorvane-sim, and power events reaching every
// process of the machine.
#include "platform/sim/machine_desktop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>

#include "platform/power.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/power_sim.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::sim {
namespace {

uint64_t luid64(const SimLuid& l) { return static_cast<uint64_t>(l.high) << 32 | l.low; }

struct MachineRig {
    MachineRig() {
        machine = std::make_shared<Machine>(dir.path());
        EXPECT_TRUE(machine->initialize(MachineSetup{}));  // one 1920x1080 monitor
        env = {{"SORVANE_SIM_ROOT", dir.path()}};
    }
    // A monitor arrives from the indirect display driver, as the driver process reports it.
    SimTarget add_driver_monitor(uint32_t id, DisplayMode mode) {
        SimTarget placed;
        EXPECT_TRUE(machine->update("monitor arrival", [&](MachineState& s) {
            SimLuid luid = s.display.gpus.back().indirect ? s.display.gpus.back().luid
                                                          : s.display.add_indirect_adapter("Sorvane Display Adapter");
            SimTarget t;
            t.adapter = luid;
            t.id = id;
            t.indirect = true;
            t.device = "DISPLAY\\SVN0001\\5&2f1d8a7&0&UID" + std::to_string(id);
            t.monitor_key = "SVN0001/0000000" + std::to_string(id);
            t.modes = {mode};
            placed = s.display.arrive(t);
        }));
        return placed;
    }
    int sim(const std::vector<std::string>& args, std::string* out = nullptr) {
        const auto r = test::run(test::bin_path("sorvane-sim"), args, env);
        if (out) *out = r.out;
        return r.code;
    }

    test::TempDir dir;
    std::shared_ptr<Machine> machine;
    std::map<std::string, std::string> env;
    ManualClock clock{1'000'000};
};

TEST(MachineDesktop, DisplaysComeAndGoWithTheDriversMonitors) {
    MachineRig rig;
    MachineDesktop md(rig.machine, rig.clock);
    auto dup = md.make_duplication();
    std::vector<platform::AdapterDesc> adapters;
    ASSERT_EQ(dup->enum_adapters(adapters), 0);
    ASSERT_EQ(adapters.size(), 2u);  // the render GPU, then the basic render adapter
    EXPECT_TRUE(adapters[1].software);
    std::vector<platform::OutputDesc> outputs;
    ASSERT_EQ(dup->enum_outputs(0, outputs), 0);
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0].device_name, "\\\\.\\DISPLAY1");

    const SimTarget t = rig.add_driver_monitor(1, {2560, 1600, 60});
    ASSERT_EQ(t.x, 1920);
    // The path names the driver's adapter and target; its output is on the render GPU.
    uint32_t count = 0;
    ASSERT_EQ(dup->display_config_buffer_sizes(count), 0);
    std::vector<platform::DisplayPath> paths;
    ASSERT_EQ(dup->query_display_config(count, paths), 0);
    ASSERT_EQ(paths.size(), 2u);
    const auto path = std::find_if(paths.begin(), paths.end(), [&](const platform::DisplayPath& p) {
        return p.target_adapter_luid == luid64(t.adapter) && p.target_id == 1;
    });
    ASSERT_NE(path, paths.end());
    std::string gdi;
    ASSERT_EQ(dup->source_gdi_name(path->source_adapter_luid, path->source_id, gdi), 0);
    EXPECT_EQ(gdi, "\\\\.\\DISPLAY2");
    ASSERT_EQ(dup->enum_outputs(0, outputs), 0);
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[1].device_name, gdi);
    EXPECT_EQ(outputs[1].left, 1920);
    EXPECT_EQ(outputs[1].right, 1920 + 2560);
    EXPECT_EQ(outputs[1].bottom, 1600);
    platform::DisplayDevice monitor;
    ASSERT_TRUE(dup->enum_display_devices(&gdi, 0, monitor));
    EXPECT_EQ(monitor.id, "\\\\?\\DISPLAY#SVN0001#5&2f1d8a7&0&UID1#{e6f07b5f-ee97-4a90-b076-33f57bf4eaa7}");

    // Its frames show the test card, the barcode carrying the frame time.
    std::shared_ptr<platform::GpuDevice> device;
    ASSERT_EQ(dup->create_device(0, device), 0);
    std::unique_ptr<platform::IOutputDuplication> out;
    ASSERT_EQ(dup->duplicate_output(0, 1, *device, out), 0);
    platform::DuplicationFrameInfo info;
    const platform::CpuTexture* tex = nullptr;
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_EQ(out->acquire_next_frame(100, info, tex), 0);
        ASSERT_EQ(tex->width, 2560u);
        ASSERT_EQ(tex->height, 1600u);
        uint64_t t_ms = 0;
        ASSERT_TRUE(read_test_card_barcode(tex->data.data(), tex->pitch, tex->width, tex->height, t_ms));
        EXPECT_EQ(static_cast<int64_t>(t_ms) * 10000, info.last_present_time);
        EXPECT_GE(t_ms, rig.clock.now_ms() - 17);
        EXPECT_LE(t_ms, rig.clock.now_ms());
        ASSERT_EQ(out->release_frame(), 0);
    }

    // The driver removes it: its duplication is lost, its output gone.
    ASSERT_TRUE(rig.machine->update("monitor departure", [&](MachineState& s) { s.display.depart(t.adapter, 1); }));
    EXPECT_EQ(out->acquire_next_frame(100, info, tex), platform::kDxgiErrorAccessLost);
    ASSERT_EQ(dup->enum_outputs(0, outputs), 0);
    EXPECT_EQ(outputs.size(), 1u);
    // Moving the remaining monitor is a mode change: open duplications lose access.
    ASSERT_EQ(dup->duplicate_output(0, 0, *device, out), 0);
    ASSERT_TRUE(rig.machine->update("move", [&](MachineState& s) { s.display.targets.front().y = 100; }));
    EXPECT_EQ(out->acquire_next_frame(100, info, tex), platform::kDxgiErrorAccessLost);
}

TEST(MachineDesktop, InputReachesTheDesktopTheJournalAndObeysUipi) {
    MachineRig rig;
    rig.add_driver_monitor(1, {1920, 1080, 60});
    MachineDesktop md(rig.machine, rig.clock);
    auto sink = md.make_input_sink();
    auto foreground = md.make_foreground_info();
    auto dup = md.make_duplication();

    // A click at (2020, 100) marks the second display at (100, 100); a move moves duplication's pointer.
    platform::InputEvent move;
    move.type = platform::kInputMouse;
    move.mi.flags = platform::kMouseEventMove | platform::kMouseEventAbsolute | platform::kMouseEventVirtualDesk;
    move.mi.dx = (2020 * 65536 + 3839) / 3840;
    move.mi.dy = (100 * 65536 + 1079) / 1080;
    platform::InputEvent click;
    click.type = platform::kInputMouse;
    click.mi.flags = platform::kMouseEventLeftDown;
    platform::InputEvent release = click;
    release.mi.flags = platform::kMouseEventLeftUp;
    const platform::InputEvent mouse[] = {move, click, release};
    uint32_t error = 0;
    ASSERT_EQ(sink->send_input(mouse, error), 3u);
    EXPECT_EQ(md.desktop().pointer().x, 2020);
    ASSERT_EQ(md.desktop().marks(1).size(), 1u);
    EXPECT_EQ(md.desktop().marks(1)[0].x, 100);
    EXPECT_EQ(md.desktop().marks(1)[0].y, 100);

    // Keys go to the machine's input journal, which sorvane-sim input shows.
    platform::InputEvent key;
    key.ki.vk = 'Q';
    platform::InputEvent key_up = key;
    key_up.ki.flags = platform::kKeyEventKeyUp;
    const platform::InputEvent keys[] = {key, key_up};
    ASSERT_EQ(sink->send_input(keys, error), 2u);
    std::string journal;
    ASSERT_EQ(rig.sim({"input"}, &journal), 0);
    EXPECT_NE(journal.find("key Q down"), std::string::npos) << journal;
    EXPECT_NE(journal.find("button left down at (2020,100)"), std::string::npos) << journal;

    // An elevated foreground window: a host that is not elevated has its input dropped.
    ASSERT_EQ(rig.sim({"set", "elevated", "no"}), 0);
    ASSERT_EQ(rig.sim({"foreground", "--elevated", "taskmgr.exe"}), 0);
    EXPECT_FALSE(foreground->current_process_token().elevated);
    const uint32_t pid = foreground->foreground_process_id();
    ASSERT_NE(pid, 0u);
    platform::ProcessQuery q;
    ASSERT_TRUE(foreground->query_process(pid, q, error));
    EXPECT_TRUE(q.token.elevated);
    EXPECT_EQ(q.image_path, "C:\\Windows\\System32\\taskmgr.exe");
    EXPECT_EQ(sink->send_input(keys, error), 2u);  // SendInput still says it inserted them
    EXPECT_EQ(sink->send_input(mouse, error), 3u);
    EXPECT_EQ(md.desktop().marks(1).size(), 1u);
    ASSERT_EQ(rig.sim({"input"}, &journal), 0);
    EXPECT_NE(journal.find("UIPI: 2 event(s) dropped, foreground taskmgr.exe is elevated"), std::string::npos);
    // Back to a normal foreground: input arrives again.
    ASSERT_EQ(rig.sim({"foreground", "--normal"}), 0);
    EXPECT_EQ(sink->send_input(mouse, error), 3u);
    EXPECT_EQ(md.desktop().marks(1).size(), 2u);
    EXPECT_EQ(rig.sim({"foreground", "--elevated", "bad\x01name"}), 2);
}

TEST(MachinePower, EventsReachEveryProcessOfTheMachine) {
    MachineRig rig;
    ASSERT_EQ(::setenv("SORVANE_SIM_ROOT", rig.dir.path().c_str(), 1), 0);
    int ready[2], got[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(got), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A second process of the machine registers, says so, and reports what arrives.
        uint32_t error = 0;
        const int out = got[1];
        bool ok = platform::power_notifications().register_callback(
            [out](uint32_t type) {
                const uint8_t b = static_cast<uint8_t>(type);
                if (::write(out, &b, 1) != 1) ::_exit(3);
            },
            error);
        const char r = ok ? 'r' : 'f';
        if (::write(ready[1], &r, 1) != 1) ::_exit(2);
        ::pause();
        ::_exit(0);
    }
    char r = 0;
    ASSERT_EQ(::read(ready[0], &r, 1), 1);
    ASSERT_EQ(r, 'r');
    std::mutex m;
    std::condition_variable cv;
    std::vector<uint32_t> here;
    uint32_t error = 0;
    ASSERT_TRUE(platform::power_notifications().register_callback(
        [&](uint32_t type) {
            std::lock_guard<std::mutex> g(m);
            here.push_back(type);
            cv.notify_all();
        },
        error));
    std::string said;
    EXPECT_EQ(rig.sim({"power", "suspend"}, &said), 0);
    EXPECT_EQ(said, "power suspend delivered to 2 process(es)\n");
    EXPECT_EQ(rig.sim({"power", "resume-auto"}), 0);
    EXPECT_EQ(rig.sim({"power", "hibernate"}), 2);
    pollfd p{got[0], POLLIN, 0};
    uint8_t types[2] = {};
    for (uint8_t& t : types) {
        ASSERT_EQ(::poll(&p, 1, 30000), 1);
        ASSERT_EQ(::read(got[0], &t, 1), 1);
    }
    EXPECT_EQ(types[0], platform::kPowerSuspend);
    EXPECT_EQ(types[1], platform::kPowerResumeAutomatic);
    {
        std::unique_lock<std::mutex> g(m);
        cv.wait_for(g, std::chrono::seconds(30), [&] { return here.size() >= 2; });
        EXPECT_EQ(here, (std::vector<uint32_t>{platform::kPowerSuspend, platform::kPowerResumeAutomatic}));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    // The ended process's socket goes at the next event.
    EXPECT_EQ(rig.sim({"power", "resume-user"}, &said), 0);
    EXPECT_EQ(said, "power resume-user delivered to 1 process(es)\n");
    for (int fd : {ready[0], ready[1], got[0], got[1]}) ::close(fd);
}

}  // namespace
}  // namespace sorvane::sim
