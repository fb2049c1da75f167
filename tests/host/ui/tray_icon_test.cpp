// The tray icon on the simulated machine: what the notification area shows,
// and what the user's clicks and the shell's broadcasts do.
#include "host/ui/tray_icon.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/ports.h"
#include "platform/sim/tray_sim.h"
#include "tests/support/host_fakes.h"

namespace sorvane {
namespace {

class TrayTest : public ::testing::Test {
protected:
    TrayTest()
        : machine(std::make_shared<sim::Machine>()), tray(machine, clock), registry(sim::make_sim_registry(machine)) {}

    ~TrayTest() override { stop(); }

    TrayIcon::Callbacks callbacks() {
        TrayIcon::Callbacks cb;
        cb.status_text = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return status;
        };
        cb.state = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            return state;
        };
        cb.quit = [this] { ++quits; };
        cb.add_device = [this] { ++adds; };
        cb.left_click = [this] { ++clicks; };
        cb.balloon_click = [this] { ++balloon_clicks; };
        return cb;
    }
    void set(std::string text, TrayIcon::State s) {
        std::lock_guard<std::mutex> lock(mutex);
        status = std::move(text);
        state = s;
    }
    sim::TrayModel model() {
        sim::TrayModel t;
        machine->read([&](const sim::MachineState& s) { t = s.tray; });
        return t;
    }
    void start(TrayIcon& icon) {
        loop = std::thread([&] { exit_code = icon.run(); });
    }
    void stop() {
        if (!loop.joinable()) return;
        tray.post_quit(0);
        loop.join();
    }
    // Lets the loop handle everything queued so far.
    void settle() {
        std::atomic<bool> done{false};
        tray.post_task([&] { done = true; });
        ASSERT_TRUE(test::eventually([&] { return done.load(); }));
    }

    test::HostLog log;
    sim::ManualClock clock;
    std::shared_ptr<sim::Machine> machine;
    sim::SimTray tray;
    std::unique_ptr<platform::IRegistry> registry;
    std::mutex mutex;
    std::string status = "No device connected";
    TrayIcon::State state = TrayIcon::State::idle;
    std::atomic<int> quits{0}, adds{0}, clicks{0}, balloon_clicks{0};
    std::thread loop;
    int exit_code = -1;
};

TEST_F(TrayTest, StateTooltipAndTheirReturnAfterExplorerRestarts) {
    TrayIcon icon(tray, *registry, callbacks());
    ASSERT_TRUE(icon.create());
    ASSERT_EQ(model().icons.size(), 1u);
    EXPECT_EQ(model().icons[0].resource, 101u);
    EXPECT_EQ(model().icons[0].tooltip, "Sorvane - No device connected");
    start(icon);

    // A long status is cut at 127 UTF-16 units, between characters.
    const std::string name = std::string(114, 'a') + "\xF0\x9F\x93\xB1" + "bb";  // the emoji takes units 125-126
    set(name + " bağlı", TrayIcon::State::pairing);
    clock.advance_ms(2'000);
    ASSERT_TRUE(test::eventually([&] { return model().icons[0].resource == 103; }));
    settle();
    EXPECT_EQ(model().icons[0].tooltip, "Sorvane - " + std::string(114, 'a') + "\xF0\x9F\x93\xB1" + "b");

    // Explorer restarts: the area is empty, and the icon comes back as it was.
    set("Tab bağlı", TrayIcon::State::connected);
    clock.advance_ms(2'000);
    ASSERT_TRUE(test::eventually([&] { return model().icons[0].resource == 102; }));
    size_t told = 0;
    std::string error;
    ASSERT_TRUE(sim::tray_taskbar_created(*machine, told, error)) << error;
    EXPECT_EQ(told, 1u);
    ASSERT_TRUE(test::eventually([&] { return model().icons.size() == 1; }));
    EXPECT_EQ(model().icons[0].resource, 102u);
    EXPECT_EQ(model().icons[0].tooltip, "Sorvane - Tab bağlı");
    EXPECT_EQ(log.count("[tray] TaskbarCreated: simge yeniden ekleniyor"), 1u);

    // Windows turns light: the dark-symbol icon of the same state.
    ASSERT_TRUE(sim::tray_set_theme(*machine, true, error)) << error;
    ASSERT_TRUE(test::eventually([&] { return model().icons[0].resource == 105; }));
    EXPECT_EQ(log.count("[tray] gorev cubugu temasi degisti: acik -> simge koyu sembollu"), 1u);
    stop();
    icon.destroy();
    EXPECT_TRUE(model().icons.empty());
    EXPECT_TRUE(model().windows.empty());
    EXPECT_TRUE(tray.loaded_icons().empty());  // all six, the dark-symbol set too
}

TEST_F(TrayTest, ClicksMenuAndQuitOnce) {
    TrayIcon icon(tray, *registry, callbacks());
    ASSERT_TRUE(icon.create());
    start(icon);
    std::string error;
    ASSERT_TRUE(sim::tray_click(*machine, true, error)) << error;
    ASSERT_TRUE(test::eventually([&] { return clicks.load() == 1; }));

    // A balloon, clicked.
    tray.post_task([&] { icon.show_balloon("Yeni sürüm var", "Sorvane 0.2 yayında."); });
    ASSERT_TRUE(test::eventually([&] { return !model().balloons.empty(); }));
    ASSERT_TRUE(sim::tray_balloon_click(*machine, error)) << error;
    ASSERT_TRUE(test::eventually([&] { return balloon_clicks.load() == 1; }));
    EXPECT_FALSE(sim::tray_balloon_click(*machine, error));  // it is gone

    // The menu: its greyed status line cannot be chosen; "Add device" can.
    EXPECT_FALSE(sim::tray_choose(*machine, TrayIcon::kMenuAddDevice, error));  // nothing open yet
    ASSERT_TRUE(sim::tray_click(*machine, false, error)) << error;
    ASSERT_TRUE(test::eventually([&] { return model().menu.has_value(); }));
    ASSERT_EQ(model().menu->items.size(), 6u);
    EXPECT_EQ(model().menu->items[0].text, "No device connected");
    EXPECT_FALSE(sim::tray_choose(*machine, TrayIcon::kMenuStatus, error));
    EXPECT_EQ(error, "item 1001 is greyed");
    ASSERT_TRUE(sim::tray_choose(*machine, TrayIcon::kMenuAddDevice, error)) << error;
    ASSERT_TRUE(test::eventually([&] { return adds.load() == 1 && !model().menu; }));

    // Exit from the menu, then --quit's message: the host stops once.
    ASSERT_TRUE(sim::tray_click(*machine, false, error)) << error;
    ASSERT_TRUE(test::eventually([&] { return model().menu.has_value(); }));
    ASSERT_TRUE(sim::tray_choose(*machine, TrayIcon::kMenuExit, error)) << error;
    ASSERT_TRUE(sim::post_to_window_class(*machine, TrayIcon::kWindowClass,
                                          platform::WindowMessage{TrayIcon::kQuitMessage, 0, 0, {}}, error));
    loop.join();
    EXPECT_EQ(exit_code, 0);
    EXPECT_EQ(quits.load(), 1);
}

TEST(TrayState, PairingWinsOverConnected) {
    EXPECT_EQ(TrayIcon::state_of(false, 0), TrayIcon::State::idle);
    EXPECT_EQ(TrayIcon::state_of(false, 2), TrayIcon::State::connected);
    EXPECT_EQ(TrayIcon::state_of(true, 1), TrayIcon::State::pairing);
}

TEST_F(TrayTest, MissingIconsAndWindowFailures) {
    {
        // Without the dark-symbol set, a light taskbar gets the light-symbol icons.
        machine->update("fault", [](sim::MachineState& s) { s.faults.arm("tray.load_icon", 4, 1812); });
        std::string error;
        ASSERT_TRUE(sim::tray_set_theme(*machine, true, error));
        TrayIcon icon(tray, *registry, callbacks());
        ASSERT_TRUE(icon.create());
        EXPECT_EQ(model().icons[0].resource, 101u);
        icon.destroy();
        EXPECT_TRUE(tray.loaded_icons().empty());
    }
    const struct {
        const char* point;
        uint64_t nth;
        uint32_t code;
        const char* line;
    } cases[] = {
        {"tray.load_icon", 2, 1812, "[tray] simge kaynaklari yuklenemedi (resources/*.ico .rc'ye derlenmemis olabilir)"},
        {"tray.register_class", 1, 5, "[tray] RegisterClassExW basarisiz: 5"},
        {"tray.create_window", 1, 1400, "[tray] CreateWindowExW basarisiz: 1400"},
    };
    for (const auto& c : cases) {
        machine->update("fault", [&](sim::MachineState& s) {
            s.faults.clear();
            s.faults.arm(c.point, c.nth, c.code);
        });
        TrayIcon icon(tray, *registry, callbacks());
        EXPECT_FALSE(icon.create()) << c.point;
        EXPECT_EQ(log.count(c.line), 1u) << c.point;
        EXPECT_TRUE(tray.loaded_icons().empty()) << c.point;
        EXPECT_TRUE(model().windows.empty()) << c.point;
    }
}

}  // namespace
}  // namespace sorvane
