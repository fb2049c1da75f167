#include "host/ui/panel_bridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "host/core/language.h"
#include "host/core/settings.h"
#include "host/media/color_vibrance.h"
#include "platform/files.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/host_fakes.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

class FakeSurface final : public IPanelSurface {
public:
    bool has_page() override { return true; }
    void post_state(const std::string& json) override { states.push_back(json); }
    void place() override { ++placed; }
    void apply_theme(bool d) override { themes.push_back(d); }
    bool visible() override { return true; }
    void post_report_done(uint64_t generation) override {
        std::lock_guard<std::mutex> lock(mutex);
        done.push_back(generation);
        cv.notify_all();
    }
    uint64_t wait_done() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return !done.empty(); });
        const uint64_t g = done.front();
        done.pop_front();
        return g;
    }
    const std::string& last() const { return states.back(); }

    std::vector<std::string> states;
    std::vector<bool> themes;
    int placed = 0;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<uint64_t> done;
};

class EnglishSystem final : public platform::ISystemLanguage {
public:
    uint16_t user_default_ui_language() override { return 0x0409; }
    bool user_default_geo_name(std::string& out) override { out = "US"; return true; }
    bool user_default_locale_name(std::string& out) override { out = "en-US"; return true; }
    bool time_zone_key_name(std::string& out) override { out = "UTC"; return true; }
};

// A host as the bridge sees it: sessions, a pairing window, a store.
struct FakeHost {
    std::vector<PanelSession> sessions;
    std::vector<std::string> disconnected;
    std::vector<std::string> ids;
    int opened = 0;
    int closed = 0;
    uint32_t remaining = 120;
    std::vector<std::string> removed;

    PanelHooks hooks() {
        PanelHooks h;
        h.sessions = [this] { return sessions; };
        h.disconnect = [this](const std::string& id, const std::string& reason) {
            disconnected.push_back(id + " / " + reason);
            return true;
        };
        h.open_pairing_window = [this](bool force) {
            ++opened;
            remaining = 120;
            return "sorvane://pair?host=h&port=47000&token=" + std::to_string(opened) + (force ? "f" : "");
        };
        h.close_pairing_window = [this] { ++closed; };
        h.pairing_remaining_seconds = [this] { return remaining; };
        h.verify_code = [] { return std::string("1A2B-3C4D"); };
        h.paired_client_ids = [this] { return ids; };
        h.remove_device = [this](const std::string& id) { removed.push_back(id); };
        h.host_name = "SIMPC";
        h.version = "0.1.14";
        return h;
    }
};

class PanelBridgeTest : public ::testing::Test {
protected:
    PanelBridgeTest() {
        setenv(kSettingsPathVariable, dir_.file("settings.txt").c_str(), 1);
        set_system_language_source(std::make_unique<EnglishSystem>());
    }
    ~PanelBridgeTest() override {
        set_system_language_source(nullptr);
        unsetenv(kSettingsPathVariable);
    }
    bool has(const std::string& needle) const { return surface.last().find(needle) != std::string::npos; }

    test::TempDir dir_;
    test::HostLog log_;
    sim::ManualClock clock;
    FakeSurface surface;
    FakeHost host;
};

TEST_F(PanelBridgeTest, FirstViewerIsShownAndDisconnected) {
    host.sessions = {{"tab-1", "Tab", 2560, 1600, 60, false}, {"ph-2", "Phone", 0, 0, 0, true}};
    PanelBridge bridge(surface, host.hooks(), clock);
    bridge.on_message(R"({"cmd":"ready"})");
    EXPECT_TRUE(has(R"("connected":{"client_id":"tab-1","name":"Tab","width":2560,"height":1600,"fps":60,"usb":false})"));
    const size_t sent = surface.states.size();
    bridge.on_message(R"({"cmd":"disconnect"})");
    EXPECT_EQ(host.disconnected, std::vector<std::string>{"tab-1 / panel 'Baglantiyi kes'"});
    EXPECT_EQ(surface.states.size(), sent);  // the next tick shows it
}

TEST_F(PanelBridgeTest, PairingIsShownRenewedAndEndsWhenAPhonePairs) {
    host.ids = {"old"};
    PanelBridge bridge(surface, host.hooks(), clock);
    bridge.on_message(R"({"cmd":"add_device"})");
    EXPECT_EQ(bridge.view(), PanelView::pairqr);
    EXPECT_TRUE(has(R"("pairing":{"uri":"sorvane://pair?host=h&port=47000&token=1","qr_size":)"));
    EXPECT_TRUE(has(R"("qr_path":"M4,4h1v1h-1z)"));
    EXPECT_TRUE(has(R"("remaining_s":120,"total_s":120,"big":false,"verify_code":"1A2B-3C4D"})"));
    EXPECT_NE(log_.text().find("[tray-window] eslestirme URI'si: sorvane://pair?host=h&port=47000&token=1"),
              std::string::npos);

    // The big code, then a new token on request.
    bridge.on_message(R"({"cmd":"qr_big"})");
    EXPECT_TRUE(bridge.big_qr());
    EXPECT_TRUE(has(R"("big":true)"));
    bridge.on_message(R"({"cmd":"refresh_pairing"})");
    EXPECT_TRUE(has("token=2f"));

    // The 120 seconds are over: the tick renews the code by itself.
    host.remaining = 0;
    bridge.refresh();
    EXPECT_EQ(host.opened, 3);
    EXPECT_TRUE(has("token=3\""));

    // A phone paired: the next tick goes back to the main view.
    host.ids.push_back("new-phone");
    bridge.refresh();
    EXPECT_EQ(bridge.view(), PanelView::tray);
    EXPECT_TRUE(has(R"("pairing":null)"));
    EXPECT_TRUE(has(R"("view":"tray")"));
    EXPECT_EQ(host.closed, 1);
    EXPECT_EQ(host.opened, 3);

    // Cancelling closes the window and leaves the view.
    bridge.on_message(R"({"cmd":"add_device"})");
    bridge.on_message(R"({"cmd":"cancel_pairing"})");
    EXPECT_EQ(host.closed, 2);
    EXPECT_FALSE(bridge.big_qr());
    EXPECT_TRUE(has(R"("pairing":null)"));
}

TEST_F(PanelBridgeTest, SettingsCommandsReachTheFileAndTheState) {
    PanelBridge bridge(surface, host.hooks(), clock);
    bridge.on_message(R"({"cmd":"set_lang","lang":"tr"})");
    EXPECT_EQ(settings_get("lang"), "tr");
    EXPECT_TRUE(has(R"("lang":"tr","settings":{"lang_override":"tr")"));
    bridge.on_message(R"({"cmd":"set_lang","lang":"de"})");
    EXPECT_EQ(settings_get("lang"), "tr");
    bridge.on_message(R"({"cmd":"set_lang","lang":"auto"})");
    EXPECT_FALSE(settings_get("lang"));
    EXPECT_TRUE(has(R"("lang":"en","settings":{"lang_override":"auto")"));

    bridge.on_message(R"({"cmd":"set_theme","theme":"dark"})");
    EXPECT_EQ(settings_get("theme"), "dark");
    bridge.refresh();
    EXPECT_TRUE(has(R"("theme_override":"dark")"));
    EXPECT_TRUE(has(R"("theme":"dark"})"));
    EXPECT_EQ(surface.themes, std::vector<bool>{true});

    bridge.on_message(R"({"cmd":"set_vibrance","level":"high"})");
    EXPECT_EQ(settings_get(kSettingColorVibrance), "high");
    EXPECT_TRUE(has(R"("vibrance":"high")"));
    bridge.on_message(R"({"cmd":"set_vibrance","level":"max"})");
    EXPECT_EQ(settings_get(kSettingColorVibrance), "high");
    set_vibrance_level(0);

    // Views and where each one goes back to.
    const struct {
        const char* cmd;
        PanelView view;
    } steps[] = {{"open_settings", PanelView::settings}, {"open_licenses", PanelView::licenses},
                 {"close_licenses", PanelView::settings}, {"open_report", PanelView::report},
                 {"close_report", PanelView::settings},  {"close_settings", PanelView::tray}};
    for (const auto& s : steps) {
        const int placed = surface.placed;
        bridge.on_message(std::string(R"({"cmd":")") + s.cmd + "\"}");
        EXPECT_EQ(bridge.view(), s.view) << s.cmd;
        EXPECT_EQ(surface.placed, placed + 1) << s.cmd;
        EXPECT_TRUE(has(std::string("\"view\":\"") + panel_view_name(s.view) + "\"")) << s.cmd;
    }
}

TEST_F(PanelBridgeTest, RemoveDeviceKeepsTheWholeClientId) {
    PanelBridge bridge(surface, host.hooks(), clock);
    bridge.on_message(R"({"cmd":"remove_device","client_id":""})");
    bridge.on_message("{\"cmd\":\"remove_device\",\"client_id\":\"tel-\xC5\x9F-\xE2\x82\xAC\"}");
    EXPECT_EQ(host.removed, std::vector<std::string>{"tel-\xC5\x9F-\xE2\x82\xAC"});
}

TEST_F(PanelBridgeTest, ReportJobCompletesFailsAndIsCancelled) {
    {
        // No report wired: an error the page can show.
        PanelBridge bridge(surface, host.hooks(), clock);
        bridge.on_message(R"({"cmd":"open_report"})");
        bridge.on_message(R"({"cmd":"create_report"})");
        EXPECT_EQ(bridge.report().state, "error");
        EXPECT_EQ(bridge.report().error, kPanelReportMissing);
    }
    std::mutex gate_mutex;
    std::condition_variable gate_cv;
    bool release = false;
    PanelReportOutcome next{true, "/desk/r.zip", 5, "", false};
    PanelReportRequest seen;
    PanelHooks hooks = host.hooks();
    hooks.encoder_summary = [] { return std::string("H264 | adaptor: GPU | donanim"); };
    hooks.create_report = [&](const PanelReportRequest& request, const std::atomic<bool>& cancel) {
        seen = request;
        std::unique_lock<std::mutex> lock(gate_mutex);
        // The report looks at its cancel flag between steps.
        while (!release && !cancel.load()) gate_cv.wait_for(lock, std::chrono::milliseconds(1));
        if (cancel.load()) return PanelReportOutcome{false, "", 0, "iptal", true};
        return next;
    };
    const auto finish = [&] {
        std::lock_guard<std::mutex> lock(gate_mutex);
        release = true;
        gate_cv.notify_all();
    };
    host.ids = {"a", "b"};
    PanelBridge bridge(surface, hooks, clock);
    bridge.on_message(R"({"cmd":"open_report"})");
    bridge.on_message(R"({"cmd":"create_report"})");
    EXPECT_TRUE(has(R"("report":{"state":"running")"));
    finish();
    bridge.on_report_done(surface.wait_done());
    EXPECT_EQ(seen.protocol, "1.0 (0x0100)");
    EXPECT_EQ(seen.encoder, "H264 | adaptor: GPU | donanim");
    EXPECT_EQ(seen.paired, 2);
    EXPECT_TRUE(has(R"("report":{"state":"done","files":5,"error":""})"));

    release = false;
    next = PanelReportOutcome{false, "", 0, "zip dosyasi olusturulamadi", false};
    bridge.on_message(R"({"cmd":"create_report"})");
    finish();
    bridge.on_report_done(surface.wait_done());
    EXPECT_TRUE(has(R"("report":{"state":"error","files":5,"error":"zip dosyasi olusturulamadi"})"));

    // Hiding the panel while a report runs cancels it; its late word is ignored.
    release = false;
    bridge.on_message(R"({"cmd":"create_report"})");
    bridge.on_hide();
    EXPECT_EQ(bridge.report().state, "idle");
    bridge.on_report_done(surface.wait_done());
    EXPECT_EQ(bridge.report().state, "idle");
    EXPECT_EQ(log_.count("[report] sorun raporu olusturuldu (5 dosya)"), 1u);
    EXPECT_EQ(log_.count("[report] HATA: zip dosyasi olusturulamadi"), 1u);

    // A report that was finished as the panel hid, its word not yet taken:
    // the user never hears of it, so its file does not stay.
    test::TempDir dir;
    next = PanelReportOutcome{true, dir.file("r.zip"), 5, "", false};
    test::write_all(next.path, "PK");
    finish();
    bridge.on_message(R"({"cmd":"create_report"})");
    const uint64_t late = surface.wait_done();
    bridge.on_hide();
    bridge.on_report_done(late);
    EXPECT_EQ(bridge.report().state, "idle");
    EXPECT_FALSE(platform::file_exists(next.path));
}

TEST_F(PanelBridgeTest, FirstRenderIsLoggedOncePerOpen) {
    PanelBridge bridge(surface, host.hooks(), clock);
    bridge.note_open_request(PanelView::tray, false);
    clock.advance_ms(420);
    bridge.on_message(R"({"cmd":"rendered"})");
    bridge.on_message(R"({"cmd":"rendered"})");
    bridge.note_open_request(PanelView::tray, true);
    clock.advance_ms(35);
    bridge.on_message(R"({"cmd":"rendered"})");
    EXPECT_EQ(log_.count("[tray-window] acilis: ilk durum cizildi (T+420 ms, soguk)"), 1u);
    EXPECT_EQ(log_.count("[tray-window] acilis: ilk durum cizildi (T+35 ms, sicak)"), 1u);
}

}  // namespace
}  // namespace sorvane
