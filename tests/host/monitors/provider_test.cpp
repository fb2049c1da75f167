// The driver monitor provider against the real driver process on a fresh
// simulated machine.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "host/core/log.h"
#include "host/monitors/driver_monitor_provider.h"
#include "platform/sim/display_config_sim.h"
#include "platform/sim/gpu_sim.h"
#include "platform/sim/machine.h"
#include "tests/support/driver_node.h"
#include "tests/support/driver_ready.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

class ProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = dir.file("machine");
        machine = std::make_shared<sim::Machine>(root);
        ASSERT_TRUE(machine->initialize(sim::MachineSetup{})) << machine->last_error();
        test::install_device_node(*machine);
        ::setenv("SORVANE_SIM_ROOT", root.c_str(), 1);
        start_driver();
        api = sim::make_sim_display_config(machine);
        process_log().set_echo_sink([this](std::string_view line) {
            std::lock_guard<std::mutex> g(log_mutex);
            log_text.append(line);
        });
        open_log(true, "");
        config.has_output = [this](const MonitorRef& ref) {
            bool found = false;
            machine->read([&](const sim::MachineState& s) {
                for (const auto& t : s.display.targets)
                    if (t.active && t.id == ref.target_id &&
                        ((static_cast<uint64_t>(t.adapter.high) << 32) | t.adapter.low) == ref.adapter_luid)
                        found = true;
            });
            return found;
        };
        provider = std::make_unique<DriverMonitorProvider>(clock, *api, config);
        before = topology();
    }
    void TearDown() override {
        provider.reset();
        if (driver) {
            driver->signal(SIGTERM);
            driver->wait();
        }
        open_log(false, "");
    }

    void start_driver() {
        driver = std::make_unique<test::Process>(test::bin_path("sorvane-vdd"), std::vector<std::string>{"run"},
                                                 std::map<std::string, std::string>{{"SORVANE_SIM_ROOT", root}});
        ASSERT_TRUE(driver->wait_for_output("driver loaded")) << driver->err();
        ASSERT_TRUE(test::wait_for_driver_ready()) << driver->err();
    }

    // The machine's paths, one line each.
    std::string topology() {
        std::string out;
        machine->read([&](const sim::MachineState& s) {
            for (const auto& t : s.display.targets)
                out += sim::luid_string(t.adapter) + "/" + std::to_string(t.id) + (t.active ? " on " : " off ") +
                       sim::mode_string(t.mode) + " " + std::to_string(t.x) + "," + std::to_string(t.y) +
                       (t.primary ? " primary" : "") + "\n";
        });
        return out;
    }
    // The driver lets a removed monitor depart on its own thread.
    std::string settled_topology() {
        for (int i = 0; i < 500 && topology() != before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return topology();
    }
    std::string logged() {
        std::lock_guard<std::mutex> g(log_mutex);
        return log_text;
    }
    bool logged_eventually(const std::string& text) {
        for (int i = 0; i < 500; ++i) {
            if (logged().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    bool acquire(const std::string& client, uint32_t w, uint32_t h, uint32_t hz, uint32_t session, AcquiredMonitor& m) {
        std::string error;
        MonitorRequest r;
        r.client_id = client;
        r.width = w;
        r.height = h;
        r.refresh = hz;
        const bool ok = provider->acquire_monitor(r, session, m, error);
        EXPECT_TRUE(ok) << error << "\n" << logged();
        return ok;
    }

    test::TempDir dir;
    std::string root;
    std::shared_ptr<sim::Machine> machine;
    std::unique_ptr<test::Process> driver;
    std::unique_ptr<platform::IDisplayConfigApi> api;
    std::unique_ptr<platform::IGpuAdapters> gpus;
    DriverMonitorConfig config;
    sim::ManualClock clock;
    std::unique_ptr<DriverMonitorProvider> provider;
    std::string before;
    std::mutex log_mutex;
    std::string log_text;
};

TEST(MonitorRequest, IsNormalised) {
    MonitorRequest r;
    r.width = 5120, r.height = 2880, r.refresh = 300, r.mm_width = 600, r.mm_height = 3000;
    const MonitorRequest n = normalise_request(r);
    EXPECT_EQ(n.width, 3314u);
    EXPECT_EQ(n.height, 2332u);
    EXPECT_EQ(n.refresh, 240u);
    EXPECT_EQ(n.mm_width, 0u);
    EXPECT_EQ(normalise_request(MonitorRequest{}).width, 1920u);
}

TEST_F(ProviderTest, AcquireExtendsRightOfThePhysicalDisplayAndReleaseRestoresTheTopology) {
    AcquiredMonitor m;
    ASSERT_TRUE(acquire("client-one-0123456789", 2560, 1600, 60, 1, m));
    EXPECT_FALSE(m.reused);
    EXPECT_TRUE(m.ref.by_target);
    const std::string with = topology();
    EXPECT_NE(with.find(" on 2560x1600@60 1920,0\n"), std::string::npos) << with;
    EXPECT_TRUE(provider->monitor_alive("client-one-0123456789", 1));

    // Taken back within the grace: same monitor, no new MONITOR_ADD.
    provider->release_after_grace("client-one-0123456789", 1, 0);
    clock.advance_ms(10'000);
    AcquiredMonitor again;
    ASSERT_TRUE(acquire("client-one-0123456789", 2560, 1600, 60, 2, again));
    EXPECT_TRUE(again.reused);
    EXPECT_EQ(again.ref.target_id, m.ref.target_id);
    EXPECT_NE(logged().find("suspended monitor id="), std::string::npos);

    // The grace expires: the monitor goes and the topology is as before.
    provider->release_after_grace("client-one-0123456789", 2, 0);
    clock.advance_ms(30'001);
    ASSERT_TRUE(logged_eventually("(client client-o, grace period expired)")) << logged();
    ASSERT_TRUE(logged_eventually("[monitor] K10")) << logged();
    EXPECT_EQ(provider->entry_count(), 0u);
    EXPECT_EQ(settled_topology(), before) << logged();

    // Released at once when the session ends; a second viewer keeps its own.
    AcquiredMonitor a, b;
    ASSERT_TRUE(acquire("viewer-a", 1920, 1080, 60, 3, a));
    ASSERT_TRUE(acquire("viewer-b", 1280, 800, 60, 4, b));
    EXPECT_NE(a.ref.target_id, b.ref.target_id);
    // The driver allows four adds and removes a second per connection.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    provider->release_monitor("viewer-a", 3);
    EXPECT_EQ(provider->entry_count(), 1u);
    EXPECT_TRUE(provider->monitor_alive("viewer-b", 4));
    provider->release_monitor("viewer-b", 4);
    EXPECT_EQ(settled_topology(), before) << logged();
}

// The story of a fresh machine, told by sorvane-sim: the viewer's monitor is
// extended to the right of the physical display, and once it is released and
// its grace has run out the displays are exactly as before.
TEST_F(ProviderTest, SimToolShowsTheMonitorRightOfThePhysicalDisplayUntilTheGraceEnds) {
    auto displays = [&] {
        const auto r = test::run(test::bin_path("sorvane-sim"), {"topology", "displays"}, {{"SORVANE_SIM_ROOT", root}});
        EXPECT_EQ(r.code, 0) << r.err;
        return r.out;
    };
    // The rows of the table as words: TARGET KIND STATE POSITION MODE ROTATION PRIMARY MONITOR...
    auto rows = [](const std::string& table) {
        std::vector<std::vector<std::string>> out;
        std::istringstream lines(table);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream words(line);
            std::vector<std::string> row;
            for (std::string w; words >> w;) row.push_back(w);
            if (row.size() >= 7 && row[0] != "TARGET") out.push_back(row);
        }
        return out;
    };
    const std::string table_before = displays();
    ASSERT_EQ(rows(table_before).size(), 1u) << table_before;

    AcquiredMonitor m;
    ASSERT_TRUE(acquire("0f1e2d3c-done-when", 2560, 1600, 60, 1, m));
    const auto with = rows(displays());
    ASSERT_EQ(with.size(), 2u);
    for (const auto& row : with) {
        if (row[1] == "physical") {
            EXPECT_EQ(row[3], "0,0");
            EXPECT_EQ(row[6], "yes");
        } else {
            EXPECT_EQ(row[1], "virtual");
            EXPECT_EQ(row[2], "active");
            EXPECT_EQ(row[3], "1920,0");
            EXPECT_EQ(row[4], "2560x1600@60");
            EXPECT_EQ(row[6], "-");
        }
    }

    provider->release_after_grace("0f1e2d3c-done-when", 1, 0);
    clock.advance_ms(30'001);
    ASSERT_TRUE(logged_eventually("grace period expired)")) << logged();
    ASSERT_TRUE(logged_eventually("[monitor] K10")) << logged();
    std::string table_after = displays();
    for (int i = 0; i < 500 && table_after != table_before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        table_after = displays();
    }
    EXPECT_EQ(table_after, table_before) << logged();
}

// A mode whose pixel clock the driver refuses still gives the viewer a
// monitor, at the next refresh the driver accepts.
TEST_F(ProviderTest, ARefusedPixelClockIsRetriedAtLowerRefreshes) {
    AcquiredMonitor m;
    ASSERT_TRUE(acquire("viewer-4k", 3840, 2160, 120, 1, m));
    EXPECT_EQ(m.refresh, 60u);
    EXPECT_EQ(m.width, 3840u);
    EXPECT_NE(topology().find(" on 3840x2160@60 1920,0\n"), std::string::npos) << topology();
    size_t at = 0;
    for (const char* line : {"MONITOR_ADD 3840x2160@120 refused (pixel clock too high): trying 100 Hz",
                             "MONITOR_ADD 3840x2160@75 refused (pixel clock too high): trying 60 Hz",
                             "[monitor] MONITOR_ADD 3840x2160@60 key="}) {
        at = logged().find(line, at);
        ASSERT_NE(at, std::string::npos) << line << "\n" << logged();
    }

    // The same request after a lost connection takes the monitor back as it is.
    provider->release_after_grace("viewer-4k", 1, 0);
    AcquiredMonitor again;
    ASSERT_TRUE(acquire("viewer-4k", 3840, 2160, 120, 2, again));
    EXPECT_TRUE(again.reused);
    EXPECT_EQ(again.refresh, 60u);
}

// The driver renders on the host's render GPU: the NVIDIA one of two, named
// to the driver while it has no monitor.
TEST_F(ProviderTest, TheDriverIsToldTheRenderGpuBeforeItsFirstMonitor) {
    machine->update("second GPU", [](sim::MachineState& s) {
        sim::SimGpu g = s.display.gpus.front();
        g.luid.low += 0x100;
        g.vendor_id = 0x10DE;
        g.name = "Simulated Discrete GPU";
        s.display.gpus.insert(s.display.gpus.begin() + 1, g);
    });
    gpus = sim::make_sim_gpu_adapters(machine);
    config.find_render_gpu = [this] { return find_driver_render_gpu(*gpus); };
    provider = std::make_unique<DriverMonitorProvider>(clock, *api, config);
    AcquiredMonitor m;
    ASSERT_TRUE(acquire("viewer-gpu", 1920, 1080, 60, 1, m));
    EXPECT_NE(logged().find("[monitor] GPU_LUID 00000000:00012b40 (Simulated Discrete GPU)\n"), std::string::npos)
        << logged();
}

// Where the user put the viewer's monitor is recorded at removal and used
// for its next monitor.
TEST_F(ProviderTest, TheUsersPositionIsRememberedForTheNextMonitor) {
    DisplayPositionStore positions;
    positions.load(dir.file("display_positions.txt"));
    config.positions = &positions;
    provider = std::make_unique<DriverMonitorProvider>(clock, *api, config);

    AcquiredMonitor m;
    ASSERT_TRUE(acquire("viewer-k86", 1280, 800, 60, 1, m));
    // The user drags it to the left of the primary display, 100 pixels lower.
    machine->update("user moves the monitor", [&](sim::MachineState& s) {
        for (auto& t : s.display.targets)
            if (t.id == m.ref.target_id && t.indirect) t.x = -1280, t.y = 100;
    });
    provider->release_monitor("viewer-k86", 1);
    ASSERT_TRUE(positions.position_of("viewer-k86"));
    EXPECT_EQ(positions.position_of("viewer-k86")->side, 'L');
    EXPECT_EQ(positions.position_of("viewer-k86")->offset, 100);
    EXPECT_NE(logged().find("[monitor] konum kaydedildi (K86, client viewer-k): "), std::string::npos) << logged();
    ASSERT_EQ(settled_topology(), before);

    AcquiredMonitor again;
    ASSERT_TRUE(acquire("viewer-k86", 1280, 800, 60, 2, again));
    EXPECT_NE(logged().find("-> (-1280,100)\n"), std::string::npos) << logged();
    EXPECT_NE(topology().find(" on 1280x800@60 -1280,100\n"), std::string::npos) << topology();
    provider.reset();  // its shutdown records into positions
}

TEST_F(ProviderTest, DriverDeathIsSeenAndTheNextAcquireReconnects) {
    AcquiredMonitor m;
    ASSERT_TRUE(acquire("viewer-x", 1920, 1080, 60, 1, m));
    driver->signal(SIGKILL);
    driver->wait();
    driver.reset();
    for (int i = 0; i < 20 && provider->monitor_alive("viewer-x", 1); ++i) clock.advance_ms(3'000);
    // The driver's adapter and monitor went with its process.
    EXPECT_EQ(topology(), before);
    start_driver();
    AcquiredMonitor again;
    ASSERT_TRUE(acquire("viewer-x", 1920, 1080, 60, 2, again));
    EXPECT_FALSE(again.reused);
    EXPECT_NE(again.ref.adapter_luid, m.ref.adapter_luid);  // a fresh adapter
    EXPECT_NE(logged().find("driver control connection lost"), std::string::npos) << logged();
}

// A viewer coming back within its grace takes its monitor back when it asks
// for the same mode; a changed mode replaces the monitor; a new monitor whose
// DXGI output never appears is given up and removed.
TEST_F(ProviderTest, ABackViewerTakesItsMonitorBackUnlessItsModeChangedAndNoOutputMeansNoMonitor) {
    AcquiredMonitor m;
    ASSERT_TRUE(acquire("viewer-back", 1280, 720, 60, 1, m));
    provider->release_after_grace("viewer-back", 1, 30'000);
    AcquiredMonitor same;
    ASSERT_TRUE(acquire("viewer-back", 1280, 720, 60, 2, same));
    EXPECT_TRUE(same.reused);
    EXPECT_EQ(same.ref.target_id, m.ref.target_id);
    EXPECT_NE(logged().find("monitor id=1 taken back (1280x720@60)"), std::string::npos) << logged();

    provider->release_after_grace("viewer-back", 2, 30'000);
    AcquiredMonitor other;
    ASSERT_TRUE(acquire("viewer-back", 1280, 800, 60, 3, other));
    EXPECT_FALSE(other.reused);
    EXPECT_EQ(other.height, 800u);
    EXPECT_NE(logged().find("monitor id=1 cannot be reused (mode changed): replacing it"), std::string::npos)
        << logged();
    EXPECT_NE(logged().find("MONITOR_REMOVE id=1 (client "), std::string::npos) << logged();
    EXPECT_NE(logged().find(", replaced)"), std::string::npos) << logged();
    provider->release_monitor("viewer-back", 3);
    EXPECT_EQ(settled_topology(), before);

    config.has_output = [](const MonitorRef&) { return false; };
    provider = std::make_unique<DriverMonitorProvider>(clock, *api, config);
    AcquiredMonitor none;
    std::string error;
    MonitorRequest r;
    r.client_id = "viewer-dark";
    r.width = 1280, r.height = 720, r.refresh = 60;
    EXPECT_FALSE(provider->acquire_monitor(r, 4, none, error));
    EXPECT_EQ(error, "the new monitor has no DXGI output after 10000 ms");
    EXPECT_NE(logged().find(", no DXGI output)"), std::string::npos) << logged();
    EXPECT_EQ(settled_topology(), before);
}

}  // namespace
}  // namespace sorvane
