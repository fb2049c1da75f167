// The driver's lifecycle over the simulated display framework in manual
// mode: the test steps the framework (adapter completion, power, swap
// chains, frames, device loss, object destruction) and checks what the
// control plane answers, what the machine's display topology shows and what
// the driver log says.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver/core/control_plane.h"
#include "driver/core/edid.h"
#include "driver/runtime/driver_backend.h"
#include "platform/files.h"
#include "platform/sim/iddcx_sim.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace sorvane::vdd {
namespace {

using platform::IddObject;
using sim::SimIddCx;

bool eventually(const std::function<bool()>& cond) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

struct Rig {
    sim::ManualClock clock;
    std::shared_ptr<sim::Machine> machine = std::make_shared<sim::Machine>();
    test::TempDir logs;
    DriverLog log{clock, logs.path()};
    std::unique_ptr<SimIddCx> iddcx;
    std::unique_ptr<DriverBackend> backend;
    std::unique_ptr<ControlPlane> control;

    Rig() {
        machine->initialize({});
        install_driver_log(&log);
        set_log_level(kLogDebug);
        iddcx = std::make_unique<SimIddCx>(machine, clock, SimIddCx::Mode::manual);
        backend = std::make_unique<DriverBackend>(*iddcx, clock);
        control = std::make_unique<ControlPlane>(*backend, clock);
        EXPECT_EQ(backend->device_add(), 0u);
        EXPECT_EQ(backend->d0_entry(), 0u);
    }
    ~Rig() {
        control.reset();
        backend.reset();
        iddcx.reset();
        install_driver_log(nullptr);
    }
    std::string ask(const std::string& command, uint32_t connection = 1) {
        return control->handle_request(connection, "SVC/1 7 " + command);
    }
    std::string log_text() {
        std::string all;
        std::vector<std::string> names;
        platform::list_directory(logs.path(), names);
        for (const auto& n : names) all += test::read_all(logs.file(n));
        return all;
    }
    sim::DisplayModel topology() {
        sim::DisplayModel d;
        machine->read([&](const sim::MachineState& s) { d = s.display; });
        return d;
    }
    IddObject only_monitor() {
        const auto m = iddcx->monitors();
        EXPECT_EQ(m.size(), 1u);
        return m.empty() ? 0 : m.front();
    }
};

TEST(DriverLifecycle, AdapterReadinessArrivalInTheTopologyAndPowerCycleReuse) {
    Rig rig;
    EXPECT_EQ(rig.ask("MONITOR_ADD 1920 1080 60"), "SVC/1 7 ERR 3 NOT_READY msg=adapter");
    ASSERT_TRUE(rig.iddcx->complete_adapter_init(0));
    EXPECT_TRUE(has(rig.log_text(), "adapter ready (max monitors 8)"));
    const std::string luid = sim::luid_string({rig.iddcx->adapter_luid().high, rig.iddcx->adapter_luid().low});
    EXPECT_EQ(rig.ask("MONITOR_ADD 2560 1600 60 key=abc mmw=340 mmh=212"),
              "SVC/1 7 OK id=1 serial=" + hex32(fnv1a32("abc")) + " slot=0 os_luid=" + luid +
                  " os_target=256 mode=2560x1600@60");

    // Windows placed it to the right of the physical monitor and keeps its EDID.
    sim::DisplayModel d = rig.topology();
    const sim::SimTarget* t = d.find_target({rig.iddcx->adapter_luid().high, rig.iddcx->adapter_luid().low}, 256);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(t->active);
    EXPECT_EQ(t->mode, (sim::DisplayMode{2560, 1600, 60}));
    EXPECT_EQ(t->x, 1920);
    EXPECT_EQ(t->monitor_name, "Sorvane");
    EXPECT_EQ(t->modes.size(), build_mode_list(2560, 1600, 60).size());
    std::string detail;
    const auto edid = build_edid({"SVN", 1, fnv1a32("abc"), "Sorvane", 2560, 1600, 60, 340, 212}, detail);
    rig.machine->read([&](const sim::MachineState& s) {
        platform::RegistryValue v;
        ASSERT_EQ(s.registry.get_value(platform::RegistryHive::local_machine, sim::monitor_parameters_key(t->device),
                                       "EDID", v),
                  0u);
        EXPECT_EQ(v.data, edid);
    });

    // Powered down the adapter is not ready; powered up it is reused, monitors keep their ids.
    rig.iddcx->power_down();
    EXPECT_TRUE(has(rig.ask("GET_STATE"), " adapter=starting "));
    EXPECT_EQ(rig.ask("MONITOR_ADD 1920 1080 60"), "SVC/1 7 ERR 3 NOT_READY msg=adapter");
    rig.iddcx->power_up();
    EXPECT_TRUE(has(rig.log_text(), "D0Entry: adapter already registered, reused (ready)"));
    EXPECT_EQ(rig.iddcx->calls("adapter_init_async"), 1u);
    const std::string state = rig.ask("GET_STATE");
    EXPECT_TRUE(has(state, " adapter=ready ")) << state;
    EXPECT_TRUE(has(state, " m0=id:1,slot:0,")) << state;
}

TEST(DriverLifecycle, AFailedAdapterIsNeverReusedAndTheNextPowerUpStartsAnother) {
    Rig rig;
    ASSERT_TRUE(rig.iddcx->complete_adapter_init(0xC0000001));
    EXPECT_TRUE(has(rig.log_text(), "adapter initialisation failed: 0xc0000001"));
    EXPECT_TRUE(has(rig.ask("GET_STATE"), " adapter=failed adapter_error=0xc0000001 "));
    // A failure the framework reports before the start call has returned stands as well.
    rig.iddcx->set_completes_init_inline(true);
    rig.iddcx->fail("adapter_init_finished", 0xC0000002);
    rig.iddcx->power_down();
    rig.iddcx->power_up();
    EXPECT_TRUE(has(rig.ask("GET_STATE"), " adapter=failed adapter_error=0xc0000002 ")) << rig.ask("GET_STATE");
    rig.iddcx->set_completes_init_inline(false);
    rig.iddcx->power_down();
    rig.iddcx->power_up();
    EXPECT_EQ(rig.iddcx->calls("adapter_init_async"), 3u);
    EXPECT_TRUE(has(rig.ask("GET_STATE"), " adapter=starting "));
    EXPECT_EQ(rig.ask("MONITOR_ADD 1920 1080 60"), "SVC/1 7 ERR 3 NOT_READY msg=adapter");
    ASSERT_TRUE(rig.iddcx->complete_adapter_init(0));
    EXPECT_TRUE(has(rig.ask("MONITOR_ADD 1920 1080 60"), " OK id=1 "));
}

TEST(DriverLifecycle, FrameworkFailuresOfCreateArrivalAndDeviceAdd) {
    struct Case {
        const char* point;
        uint32_t status;
        const char* answer;
        const char* line;
    };
    const Case cases[] = {
        {"monitor_create", 0xC000009A, "SVC/1 7 ERR 9 IDDCX status=0xc000009a",
         "IddCxMonitorCreate failed: 0xc000009a (id 1, slot 0)"},
        {"monitor_arrival", 0xC0000001, "SVC/1 7 ERR 9 IDDCX status=0xc0000001", "IddCxMonitorArrival failed: 0xc0000001"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.point);
        Rig rig;
        rig.iddcx->complete_adapter_init(0);
        rig.iddcx->fail(c.point, c.status);
        EXPECT_EQ(rig.ask("MONITOR_ADD 1920 1080 60"), c.answer);
        EXPECT_TRUE(has(rig.log_text(), c.line));
        EXPECT_TRUE(rig.control->entries().empty());
        EXPECT_EQ(rig.backend->monitor_records(), 0u);
        EXPECT_TRUE(rig.iddcx->monitors().empty());
        EXPECT_EQ(rig.topology().targets.size(), 1u);  // the physical monitor only
        // The slot is free again.
        EXPECT_TRUE(has(rig.ask("MONITOR_ADD 1920 1080 60"), " slot=0 "));
    }
    sim::ManualClock clock;
    auto machine = std::make_shared<sim::Machine>();
    machine->initialize({});
    SimIddCx iddcx(machine, clock, SimIddCx::Mode::manual);
    iddcx.fail("device_initialize", 0xC0000001);
    DriverBackend backend(iddcx, clock);
    EXPECT_EQ(backend.device_add(), 0xC0000001u);
    EXPECT_EQ(backend.d0_entry(), 0xC000009Au);  // no device context
}

TEST(DriverLifecycle, DepartureOfAMonitorAlreadyGoneCountsAsDone) {
    Rig rig;
    rig.iddcx->complete_adapter_init(0);
    ASSERT_TRUE(has(rig.ask("MONITOR_ADD 1920 1080 60"), " OK "));
    rig.iddcx->fail("monitor_departure", 0xC0000184);
    EXPECT_EQ(rig.ask("MONITOR_REMOVE 1"), "SVC/1 7 OK id=1");
    ASSERT_EQ(rig.control->entries().size(), 1u);
    EXPECT_EQ(rig.control->entries()[0].state, MonitorState::departing);
    rig.iddcx->destroy_monitor(rig.only_monitor());
    EXPECT_TRUE(rig.control->entries().empty());
    EXPECT_TRUE(has(rig.log_text(), "monitor object cleaned up: id 1 slot 0\r\n"));
}

TEST(DriverLifecycle, SweepDeletesDepartedMonitorsTheFrameworkKeepsAndTheSlotWaitsForThem) {
    Rig rig;
    rig.iddcx->complete_adapter_init(0);
    ASSERT_TRUE(has(rig.ask("MONITOR_ADD 1920 1080 60"), " OK id=1 "));
    ASSERT_TRUE(has(rig.ask("MONITOR_ADD 1920 1080 60", 2), " OK id=2 "));
    ASSERT_TRUE(has(rig.ask("MONITOR_ADD 1920 1080 60", 3), " OK id=3 "));
    const auto handles = rig.iddcx->monitors();  // ids 1, 2, 3 in creation order
    ASSERT_EQ(handles.size(), 3u);
    // 1 had a swap chain that was taken back, 2 never had one, 3 keeps its swap chain.
    rig.iddcx->assign_swap_chain(handles[0]);
    rig.iddcx->assign_swap_chain(handles[2]);
    EXPECT_TRUE(eventually([&] { return has(rig.ask("GET_STATE"), "m2=id:3,slot:2,") && has(rig.ask("GET_STATE"), "state:active,owner:3"); }));
    for (const char* id : {"1", "2", "3"}) EXPECT_EQ(rig.ask(std::string("MONITOR_REMOVE ") + id), std::string("SVC/1 7 OK id=") + id);
    rig.iddcx->unassign_swap_chain(handles[0]);
    rig.clock.advance_ms(4000);
    rig.control->tick();
    EXPECT_EQ(rig.control->entries().size(), 3u);
    rig.clock.advance_ms(1001);
    rig.control->tick();
    const std::string log = rig.log_text();
    EXPECT_TRUE(has(log, "monitor object cleaned up: id 1 slot 0 (after forced delete)"));
    EXPECT_TRUE(has(log, "monitor object cleaned up: id 2 slot 1 (after forced delete)"));
    ASSERT_EQ(rig.control->entries().size(), 1u);
    // The one whose object still exists keeps its slot past the departing time-out.
    rig.clock.advance_ms(30'000);
    rig.control->tick();
    EXPECT_EQ(rig.control->entries().size(), 1u);
    EXPECT_FALSE(has(rig.log_text(), "slot force-freed"));
    EXPECT_FALSE(has(rig.ask("MONITOR_ADD 1920 1080 60", 4), " slot=2 "));
}

TEST(DriverLifecycle, RenderPreferenceWaitsForTheAdapterAndSoftwareAdaptersAreRefused) {
    Rig rig;
    EXPECT_EQ(rig.ask("GPU_LUID 00000000:00012a40"), "SVC/1 7 OK render_pref=00000000:00012a40 pending=1");
    EXPECT_EQ(rig.iddcx->render_adapter_set(), (platform::AdapterLuid{}));
    rig.iddcx->complete_adapter_init(0);
    EXPECT_EQ(rig.iddcx->render_adapter_set(), (platform::AdapterLuid{0, 0x12a40}));
    EXPECT_EQ(rig.ask("GPU_LUID 00000000:00012a50", 2), "SVC/1 7 ERR 8 GPU_INVALID msg=luid");  // basic render
    EXPECT_TRUE(has(rig.log_text(), "render adapter preference: 00000000:00012a40 (stored; applied when the adapter is ready)"));
}

TEST(DriverLifecycle, AnOlderFrameworkGetsTheFirstCallbackSetAndNoRenderAdapterCall) {
    sim::ManualClock clock;
    auto machine = std::make_shared<sim::Machine>();
    machine->initialize({});
    SimIddCx iddcx(machine, clock, SimIddCx::Mode::manual);
    iddcx.set_framework({0x1500, 23, true, 176});
    DriverBackend backend(iddcx, clock);
    ControlPlane control(backend, clock);
    ASSERT_EQ(backend.device_add(), 0u);
    EXPECT_EQ(iddcx.client_config().size, 176u);
    EXPECT_FALSE(iddcx.client_config().description2);
    backend.d0_entry();
    EXPECT_EQ(iddcx.adapter_caps().flags, 0u);
    EXPECT_EQ(iddcx.adapter_caps().max_monitors, 8u);
    iddcx.complete_adapter_init(0);
    EXPECT_EQ(control.handle_request(1, "SVC/1 3 GPU_LUID 00000000:00012a40"), "SVC/1 3 ERR 9 IDDCX status=0xc00000bb");
    EXPECT_EQ(control.handle_request(1, "SVC/1 4 GET_STATE").find(" iddcx=0x00001500") != std::string::npos, true);
}

TEST(DriverSwapChain, EveryAcquiredFrameIsFinishedAndUnassignmentEndsTheThreadWithinOneWait) {
    Rig rig;
    rig.iddcx->complete_adapter_init(0);
    ASSERT_TRUE(has(rig.ask("MONITOR_ADD 1920 1080 60"), " OK "));
    const IddObject monitor = rig.only_monitor();
    const IddObject sc = rig.iddcx->assign_swap_chain(monitor);
    ASSERT_NE(sc, 0u);
    sim::SimIddCx::SwapChainInfo info;
    for (int i = 0; i < 30; ++i) {
        rig.iddcx->present(sc, 1 + i % 3);
        ASSERT_TRUE(eventually([&] { return rig.iddcx->swap_chain_info(sc, info) && info.finished == info.offered; }));
    }
    EXPECT_EQ(info.acquired, info.finished);
    EXPECT_EQ(info.offered, 60u);
    EXPECT_TRUE(info.device_set);
    uint64_t acquired = 0;
    uint64_t finished = 0;
    ASSERT_TRUE(rig.backend->processor_counts(1, acquired, finished));
    EXPECT_EQ(acquired, 60u);
    EXPECT_EQ(finished, 60u);
    EXPECT_TRUE(has(rig.ask("GET_STATE"), " render_actual=00000000:00012a40 "));
    // The thread sits in its 16 ms wait; unassignment must not need the clock to move.
    const uint64_t before = rig.clock.now_ms();
    rig.iddcx->unassign_swap_chain(monitor);
    EXPECT_EQ(rig.clock.now_ms(), before);
    EXPECT_FALSE(rig.backend->processor_counts(1, acquired, finished));
    EXPECT_TRUE(has(rig.log_text(), "UnassignSwapChain: monitor id 1\r\n"));
}

TEST(DriverSwapChain, DeviceLossEndsTheLoopAndTheNextSwapChainGetsANewProcessor) {
    Rig rig;
    rig.iddcx->complete_adapter_init(0);
    ASSERT_TRUE(has(rig.ask("MONITOR_ADD 1920 1080 60"), " OK "));
    const IddObject monitor = rig.only_monitor();
    const IddObject first = rig.iddcx->assign_swap_chain(monitor);
    rig.iddcx->present(first, 2);
    sim::SimIddCx::SwapChainInfo info;
    ASSERT_TRUE(eventually([&] { return rig.iddcx->swap_chain_info(first, info) && info.finished == 2; }));
    rig.iddcx->remove_device(first);
    // The loop leaves and deletes its swap chain so that the framework hands out another.
    ASSERT_TRUE(eventually([&] { return rig.iddcx->swap_chain_info(first, info) && info.deleted; }));
    EXPECT_TRUE(has(rig.log_text(), "acquire failed, leaving the swap-chain loop: 0x887a0005"));
    const IddObject second = rig.iddcx->assign_swap_chain(monitor);
    ASSERT_NE(second, first);
    rig.iddcx->present(second, 3);
    ASSERT_TRUE(eventually([&] { return rig.iddcx->swap_chain_info(second, info) && info.finished == 3; }));

    // A render device that cannot be made: the swap chain goes back at once.
    rig.iddcx->fail("d3d11.create_device", 0x887A0005);
    const IddObject third = rig.iddcx->assign_swap_chain(monitor);
    ASSERT_TRUE(rig.iddcx->swap_chain_info(third, info));
    EXPECT_TRUE(info.deleted);
    EXPECT_TRUE(has(rig.log_text(), "D3D11CreateDevice failed: 0x887a0005"));
    EXPECT_TRUE(has(rig.log_text(), "D3D initialisation failed; deleting the swap chain so the OS retries"));
}

}  // namespace
}  // namespace sorvane::vdd
