// The panel window: where it goes, and how it is created, prewarmed, shown and hidden.
#include "host/ui/tray_window.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "host/core/settings.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/tray_sim.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using platform::PanelScreen;
using platform::ScreenRect;
using platform::TaskbarEdge;

TEST(PanelPlacement, SizeByViewAndCornerByTaskbar) {
    const PanelScreen bottom{{0, 0, 1920, 1040}, TaskbarEdge::bottom, 96};
    const ScreenRect tray_icon{1800, 1048, 1824, 1072};
    const struct {
        const char* name;
        PanelView view;
        bool big;
        bool warn;
        PanelScreen screen;
        ScreenRect icon;
        ScreenRect expected;
    } cases[] = {
        {"main view, bottom taskbar, icon on the right", PanelView::tray, false, false, bottom, tray_icon,
         {1508, 448, 1908, 1028}},
        {"150 %: 600 x 870 pixels, 18 from the edges", PanelView::tray, false, false,
         {{0, 0, 2880, 1560}, TaskbarEdge::bottom, 144}, {}, {2262, 672, 2862, 1542}},
        {"pairing with the network warning", PanelView::pairqr, false, true, bottom, tray_icon,
         {1368, 176, 1908, 1028}},
        {"big code, bounded by the work area", PanelView::pairqr, true, false, bottom, tray_icon,
         {1128, 28, 1908, 1028}},
        {"licences", PanelView::licenses, false, false, bottom, tray_icon, {1368, 368, 1908, 1028}},
        {"left taskbar, icon near the bottom", PanelView::settings, false, false,
         {{48, 0, 1920, 1080}, TaskbarEdge::left, 96}, {8, 1000, 32, 1024}, {60, 488, 460, 1068}},
        {"top taskbar, icon on the left", PanelView::report, false, false,
         {{0, 40, 1920, 1080}, TaskbarEdge::top, 96}, {100, 8, 124, 32}, {12, 52, 412, 632}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(panel_placement(c.view, c.big, c.warn, c.screen, c.icon), c.expected) << c.name;
    }
}

class FakeWebView final : public platform::IWebView {
public:
    void create(std::function<void(bool, const std::string&)> ready) override { ready(true, ""); }
    void navigate(const std::string& path, std::function<void(bool, int)> done) override {
        navigated = path;
        done(true, 0);
    }
    void post_message(const std::string& json) override { posted.push_back(json); }
    void set_message_handler(std::function<void(const std::string&)> h) override { on_message = std::move(h); }
    void set_deactivated_handler(std::function<void()> h) override { on_deactivated = std::move(h); }
    void show() override {
        shown = true;
        ++shows;
    }
    void hide() override { shown = false; }
    bool visible() override { return shown; }
    void set_bounds(const ScreenRect& b) override { bounds = b; }
    void keep_topmost() override {}
    PanelScreen screen() override { return {{0, 0, 1920, 1040}, TaskbarEdge::bottom, 96}; }
    void apply_theme(bool) override {}
    bool suspend(std::string&) override {
        ++suspends;
        return true;
    }
    void resume() override {}

    std::string navigated;
    std::vector<std::string> posted;
    std::function<void(const std::string&)> on_message;
    std::function<void()> on_deactivated;
    bool shown = false;
    int shows = 0;
    int suspends = 0;
    ScreenRect bounds;
};

class TrayWindowTest : public ::testing::Test {
protected:
    TrayWindowTest() : machine(std::make_shared<sim::Machine>()), tray(machine, clock) {
        setenv(kSettingsPathVariable, dir.file("settings.txt").c_str(), 1);
        std::string step;
        uint32_t error = 0;
        tray.create_window("SorvaneTrayWindow", "Sorvane", [](const platform::WindowMessage&) { return 0; }, step, error);
    }
    ~TrayWindowTest() override { unsetenv(kSettingsPathVariable); }

    TrayWindowConfig config() {
        TrayWindowConfig c;
        c.make_webview = [this](const platform::WebViewConfig&, std::string&) {
            auto v = std::make_unique<FakeWebView>();
            view = v.get();
            ++made;
            return v;
        };
        return c;
    }

    test::TempDir dir;
    test::HostLog log;
    sim::ManualClock clock;
    std::shared_ptr<sim::Machine> machine;
    sim::SimTray tray;
    FakeWebView* view = nullptr;
    int made = 0;
};

TEST_F(TrayWindowTest, PrewarmedThenOpenedWarmAndHiddenByClickingElsewhere) {
    PanelHooks hooks;
    hooks.open_pairing_window = [](bool) { return std::string("sorvane://pair?host=h&token=t"); };
    int closed = 0;
    hooks.close_pairing_window = [&] { ++closed; };
    TrayWindow panel(tray, clock, hooks, config());
    panel.prewarm();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->navigated, "/tray.html?lang=en&theme=light");
    EXPECT_FALSE(view->shown);
    EXPECT_EQ(view->suspends, 1);
    EXPECT_EQ(log.count("[tray-window] onceden isitma tamamlandi (T+0 ms), uyutuldu"), 1u);

    clock.advance_ms(25);
    panel.open(PanelView::tray);
    EXPECT_EQ(made, 1);
    EXPECT_TRUE(view->shown);
    EXPECT_EQ(view->bounds, (ScreenRect{1508, 448, 1908, 1028}));
    view->on_message(R"({"cmd":"rendered"})");
    EXPECT_EQ(log.count("[tray-window] acilis: ilk durum cizildi (T+0 ms, sicak)"), 1u);
    ASSERT_FALSE(view->posted.empty());

    // Clicking elsewhere hides the main view; the pairing view stays.
    view->on_deactivated();
    EXPECT_FALSE(panel.is_visible());
    EXPECT_EQ(closed, 1);
    panel.open(PanelView::pairqr);
    EXPECT_EQ(view->shows, 2);
    EXPECT_EQ(view->bounds, (ScreenRect{1368, 332, 1908, 1028}));
    view->on_deactivated();
    EXPECT_TRUE(panel.is_visible());
}

TEST_F(TrayWindowTest, OpenedColdShowsAtOnce) {
    TrayWindow panel(tray, clock, PanelHooks{}, config());
    panel.open(PanelView::settings);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(view->shown);
    EXPECT_EQ(panel.bridge().view(), PanelView::settings);
    EXPECT_EQ(log.count("[tray-window] acilis: pencere gorunur (T+0 ms)"), 1u);
    view->on_message(R"({"cmd":"rendered"})");
    EXPECT_EQ(log.count("(T+0 ms, soguk)"), 1u);
}

}  // namespace
}  // namespace sorvane
