// Discovery as start-up wires it, over a simulated machine that sorvane-sim
// steers while the watcher runs: what the panel shows of it.
#include "host/app/discovery.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "host/ui/panel_state.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/host_fakes.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

class SimRoot {
public:
    explicit SimRoot(const std::string& root) {
        const char* old = std::getenv("SORVANE_SIM_ROOT");
        had_ = old != nullptr;
        if (had_) old_ = old;
        ::setenv("SORVANE_SIM_ROOT", root.c_str(), 1);
    }
    ~SimRoot() {
        if (had_) {
            ::setenv("SORVANE_SIM_ROOT", old_.c_str(), 1);
        } else {
            ::unsetenv("SORVANE_SIM_ROOT");
        }
    }

private:
    bool had_ = false;
    std::string old_;
};

std::string net_json(const PanelHooks& hooks) {
    PanelState s;
    s.net = hooks.net_warning();
    const std::string json = panel_state_json(s);
    const size_t at = json.find("\"net\":");
    return at == std::string::npos ? std::string() : json.substr(at, json.find('}', at) - at + 1);
}

TEST(Discovery, SwitchingTheWifiToPublicShowsThePanelWarningAndItsFix) {
    test::HostLog log;
    test::TempDir dir;
    const std::string root = dir.file("machine");
    SimRoot sim_root(root);
    const std::string sim = test::bin_path("sorvane-sim");
    const auto steer = [&](std::vector<std::string> args) {
        return test::run(sim, args, {{"SORVANE_SIM_ROOT", root}}).code;
    };
    ASSERT_EQ(steer({"init"}), 0);
    ASSERT_EQ(steer({"network", "add", "Wi-Fi", "wifi", "192.168.1.20/24", "--category", "private"}), 0);
    // The host's program (this test) may take connections on Private networks.
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    ASSERT_EQ(steer({"firewall", "add", "Sorvane control", "allow", "--app", exe, "--ports", "47000", "--protocol", "tcp",
                     "--profiles", "private"}),
              0);

    sim::ManualClock clock;
    clock.set_local_offset_minutes(0);
    auto network = platform::make_system_network_info();
    auto shell = platform::make_shell();
    HostDiscovery discovery(clock, *network, *shell);
    PanelHooks hooks;
    fill_panel_hooks(discovery, hooks);
    discovery.start({"d95a5ea1-d5c1-4013-8876-88a91d5583da", "SIMPC", 47000, 0x0100, "0caf0585ab051220ffff"});
    const auto passes_after = [&](uint64_t ms) {
        EXPECT_TRUE(test::eventually([&] { return clock.waiters() > 0; }));
        clock.advance_ms(ms);
    };
    ASSERT_TRUE(test::eventually([&] { return discovery.network_snapshot().valid; }));
    EXPECT_EQ(net_json(hooks), "");

    // The user's laptop joins the network as Public: within two passes the
    // panel warns, and the log says why.
    ASSERT_EQ(steer({"network", "category", "Wi-Fi", "public"}), 0);
    passes_after(2'000);
    ASSERT_TRUE(test::eventually([&] { return discovery.network_snapshot().blocked; }));
    EXPECT_EQ(net_json(hooks), R"("net":{"warn":true,"wifi":true})");
    EXPECT_TRUE(log.has("[net] ag turu: Wi-Fi Genel; Genel profilde sorvane-host.exe izni: yok; guvenlik duvari engeli "
                        "ACIK"))
        << log.text();
    const std::string blocked_at = discovery.network_snapshot().first_blocked_at.substr(11, 5);

    // Fixed: the warning stays, saying since when it no longer applies.
    ASSERT_EQ(steer({"firewall", "profile", "public", "inbound", "allow"}), 0);
    passes_after(10'000);
    ASSERT_TRUE(test::eventually([&] { return !discovery.network_snapshot().blocked_now; }));
    EXPECT_EQ(net_json(hooks), R"("net":{"warn":true,"wifi":true,"fixed":true,"blocked_at":")" + blocked_at + "\"}");

    hooks.open_net_settings();
    discovery.stop();
    discovery.stop();
    EXPECT_TRUE(log.has("[net] ag ayarlari acildi (Wi-Fi): ok"));
    sim::Machine machine(root);
    EXPECT_NE(machine.journal().find("shell open ms-settings:network-wifi"), std::string::npos);
}

}  // namespace
}  // namespace sorvane
