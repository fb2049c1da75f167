// The network watcher over the simulated machine's networks, firewall and shell.
#include "host/net/network_watcher.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>

#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/network_model.h"
#include "platform/sim/ports.h"
#include "platform/system.h"
#include "tests/support/host_fakes.h"

namespace sorvane {
namespace {

const std::string kHostExe = "C:\\Program Files\\Sorvane\\sorvane-host.exe";

platform::NetworkAdapter adapter(const char* name, uint32_t type, uint32_t index, const char* ip) {
    platform::NetworkAdapter a;
    a.friendly_name = name;
    a.description = type == platform::kIfTypeIeee80211 ? "Intel(R) Wi-Fi 6 AX201" : "Realtek PCIe GbE";
    a.adapter_name = std::string("{") + name + "-GUID}";
    a.if_type = type;
    a.if_index = index;
    a.up = true;
    a.addresses.push_back({ip, 24});
    return a;
}

sim::FirewallRule rule(const char* name, int32_t action, std::string app, std::string ports,
                       int32_t profiles = 0x7FFFFFFF) {
    sim::FirewallRule r;
    r.name = name;
    r.action = action;
    r.application = std::move(app);
    r.protocol = 6;
    r.local_ports = std::move(ports);
    r.profiles = profiles;
    return r;
}

// A simulated machine in memory and the watcher's ports on it.
struct Rig {
    std::shared_ptr<sim::Machine> machine = std::make_shared<sim::Machine>();
    sim::ManualClock clock;
    std::unique_ptr<platform::INetworkInfo> network = sim::make_sim_network_info(machine, nullptr);
    std::unique_ptr<platform::INetworkList> list = sim::make_sim_network_list(machine);
    std::unique_ptr<platform::IFirewallPolicy> firewall = sim::make_sim_firewall(machine);
    std::unique_ptr<platform::IShell> shell = sim::make_sim_shell(machine);
    NetworkWatcher watcher{{&clock, network.get(), list.get(), firewall.get(), shell.get()}, kHostExe, 47000};

    Rig() {
        machine->update("setup", [](sim::MachineState& s) { s.network.simulated_adapters = true; });
    }
    void change(const std::function<void(sim::MachineState&)>& fn) { machine->update("test", fn); }
    void add(const platform::NetworkAdapter& a, int32_t category) {
        change([&](sim::MachineState& s) {
            s.network.adapters.push_back(a);
            if (category >= 0) s.network.set_category(a.adapter_name, category);
        });
    }
};

TEST(NetworkWatcher, LocalPortsAndEnvironment) {
    const struct {
        const char* ports;
        bool includes;
    } cases[] = {
        {"*", true},          {"47000", true},     {"80,443,47000", true}, {"46000-48000", true},
        {" 80, 47000 ", true}, {"47001", false},    {"470000", false},      {"48000-46000", false},
        {"", false},          {"RPC", false},      {"47000-", false},      {"-47000", false},
    };
    for (const auto& c : cases) EXPECT_EQ(local_ports_include(c.ports, 47000), c.includes) << c.ports;

    ::setenv("SORVANE_TEST_PROGRAMS", "C:\\Program Files", 1);
    EXPECT_EQ(platform::expand_environment("%SORVANE_TEST_PROGRAMS%\\Sorvane\\x.exe"), "C:\\Program Files\\Sorvane\\x.exe");
    EXPECT_EQ(platform::expand_environment("100%% %NOT_SET_ANYWHERE% 5%"), "100%% %NOT_SET_ANYWHERE% 5%");
    EXPECT_EQ(platform::expand_environment("%%SORVANE_TEST_PROGRAMS%"), "%C:\\Program Files");
    ::unsetenv("SORVANE_TEST_PROGRAMS");
}

TEST(NetworkWatcher, BlockedTable) {
    using platform::kIfTypeEthernet;
    using platform::kIfTypeIeee80211;
    const auto wifi = adapter("Wi-Fi", kIfTypeIeee80211, 11, "192.168.1.20");
    const auto eth = adapter("Ethernet", kIfTypeEthernet, 12, "10.0.0.5");
    const int32_t kPublic = platform::kNetworkCategoryPublic;
    const int32_t kPrivate = platform::kNetworkCategoryPrivate;
    const int32_t kDomain = platform::kNetworkCategoryDomain;
    const auto allow_host = rule("allow host", 1, kHostExe, "47000", 6);
    struct Case {
        const char* what;
        std::vector<std::pair<platform::NetworkAdapter, int32_t>> networks;
        std::function<void(sim::FirewallModel&)> firewall;
        bool blocked;
        const char* line;  // the "[net]" line after "ag turu: "
    };
    const Case cases[] = {
        {"cafe Wi-Fi (Public) without an allow rule", {{wifi, kPublic}}, [](sim::FirewallModel&) {}, true,
         "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: yok; guvenlik duvari engeli ACIK"},
        {"an allow rule for the host's program with port 47000", {{wifi, kPublic}},
         [&](sim::FirewallModel& f) { f.rules.push_back(allow_host); }, false,
         "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: var; guvenlik duvari engeli kapali"},
        {"the program's path compares without case, after expanding variables", {{wifi, kPublic}},
         [](sim::FirewallModel& f) {
             f.rules.push_back(rule("allow", 1, "%SORVANE_TEST_PF%\\SORVANE\\Sorvane-Host.EXE", "46000-48000", 4));
         },
         false, "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: var; guvenlik duvari engeli kapali"},
        {"all inbound blocked beats the allow rule", {{wifi, kPublic}},
         [&](sim::FirewallModel& f) {
             f.rules.push_back(allow_host);
             f.profile(4)->block_all_inbound = true;
         },
         true, "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: GELEN TUMU ENGELLI; guvenlik duvari engeli ACIK"},
        {"a port-only block rule is not a block rule", {{wifi, kPublic}},
         [&](sim::FirewallModel& f) {
             f.rules.push_back(allow_host);
             f.rules.push_back(rule("block port", 0, "", "47000"));
         },
         false, "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: var; guvenlik duvari engeli kapali"},
        {"a block rule for the host's program is", {{wifi, kPublic}},
         [&](sim::FirewallModel& f) {
             f.rules.push_back(allow_host);
             f.rules.push_back(rule("block host", 0, kHostExe, "*"));
         },
         true, "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: ENGELLE kurali; guvenlik duvari engeli ACIK"},
        {"rules that do not apply: another profile, UDP, disabled, outbound, a service, another program",
         {{wifi, kPublic}},
         [&](sim::FirewallModel& f) {
             f.rules.push_back(rule("private only", 1, kHostExe, "47000", 2));
             auto udp = allow_host;
             udp.protocol = 17;
             auto disabled = allow_host;
             disabled.enabled = false;
             auto outbound = allow_host;
             outbound.direction = 2;
             auto service = rule("service", 1, "", "47000");
             service.service_name = "Sorvane";
             f.rules.insert(f.rules.end(), {udp, disabled, outbound, service, rule("other", 1, "C:\\x.exe", "*")});
         },
         true, "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: yok; guvenlik duvari engeli ACIK"},
        {"a port rule without a program lets the host through", {{wifi, kPublic}},
         [](sim::FirewallModel& f) { f.rules.push_back(rule("port", 1, "", "47000", -1)); }, false,
         "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: var; guvenlik duvari engeli kapali"},
        {"the profile's firewall is off", {{wifi, kPublic}},
         [](sim::FirewallModel& f) { f.profile(4)->enabled = false; }, false,
         "Wi-Fi Genel; Genel profilde sorvane-host.exe izni: yok (guvenlik duvari kapali); guvenlik duvari engeli "
         "kapali"},
        {"inbound allowed by default", {{eth, kPrivate}},
         [](sim::FirewallModel& f) { f.profile(2)->default_inbound_block = false; }, false,
         "Ethernet Ozel; Ozel profilde sorvane-host.exe izni: yok; guvenlik duvari engeli kapali"},
        {"a Domain network is never blocked", {{eth, kDomain}}, [](sim::FirewallModel&) {}, false,
         "Ethernet Etki alani; guvenlik duvari engeli kapali"},
        {"a network the list does not know", {{eth, -1}}, [](sim::FirewallModel&) {}, false,
         "Ethernet bilinmiyor; guvenlik duvari engeli kapali"},
        {"details of the first Private or Public network; any blocked one counts",
         {{eth, kDomain}, {wifi, kPrivate}, {adapter("Ethernet 2", kIfTypeEthernet, 13, "10.1.0.5"), kPublic}},
         [](sim::FirewallModel& f) { f.rules.push_back(rule("private", 1, kHostExe, "47000", 2)); }, true,
         "Wi-Fi Ozel, Ethernet Etki alani, Ethernet Genel; Ozel profilde sorvane-host.exe izni: var; guvenlik "
         "duvari engeli ACIK"},
        {"no physical network", {}, [](sim::FirewallModel&) {}, false, "fiziksel ag yok; guvenlik duvari engeli kapali"},
    };
    ::setenv("SORVANE_TEST_PF", "C:\\Program Files", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::HostLog log;
        Rig rig;
        for (const auto& [a, category] : c.networks) rig.add(a, category);
        rig.change([&](sim::MachineState& s) { c.firewall(s.firewall); });
        rig.watcher.run_pass();
        const NetworkSnapshot snap = rig.watcher.network_snapshot();
        EXPECT_TRUE(snap.valid);
        EXPECT_EQ(snap.blocked, c.blocked);
        EXPECT_EQ(snap.first_blocked_at.empty(), !c.blocked);
        EXPECT_TRUE(log.has(std::string("] [net] ag turu: ") + c.line + "\n")) << log.text();
        EXPECT_EQ(log.count("[net]"), 1u);
    }
    ::unsetenv("SORVANE_TEST_PF");
}

TEST(NetworkWatcher, BlockedIsStickyButTheSnapshotTellsWhenItWasFixed) {
    test::HostLog log;
    Rig rig;
    rig.clock.set_local_offset_minutes(180);
    rig.add(adapter("Wi-Fi", platform::kIfTypeIeee80211, 11, "192.168.1.20"), platform::kNetworkCategoryPublic);
    // Before the first pass there is nothing to show.
    EXPECT_FALSE(rig.watcher.network_snapshot().valid);
    rig.watcher.run_pass();
    NetworkSnapshot snap = rig.watcher.network_snapshot();
    ASSERT_TRUE(snap.blocked);
    EXPECT_TRUE(snap.blocked_now);
    EXPECT_TRUE(snap.any_public);
    EXPECT_TRUE(snap.public_is_wifi);
    const std::string first = snap.first_blocked_at;
    EXPECT_EQ(first.size(), 19u);

    // The user adds the rule; the firewall is read again only after 10 s.
    rig.change([](sim::MachineState& s) { s.firewall.rules.push_back(rule("allow", 1, kHostExe, "47000")); });
    rig.clock.advance_ms(2'000);
    rig.watcher.run_pass();
    EXPECT_TRUE(rig.watcher.network_snapshot().blocked_now);
    rig.clock.advance_ms(8'000);
    rig.watcher.run_pass();
    snap = rig.watcher.network_snapshot();
    EXPECT_TRUE(snap.blocked);
    EXPECT_FALSE(snap.blocked_now);
    EXPECT_EQ(snap.first_blocked_at, first);
    EXPECT_EQ(log.count("[net] guvenlik duvari engeli kalkti; uyari bu calisma boyunca kalir"), 1u);
    // The line only repeats when the networks or the sticky flag change.
    EXPECT_EQ(log.count("[net] ag turu:"), 1u);

    // A failed firewall query makes the details unknown, not the host blocked.
    rig.machine->update("fault", [](sim::MachineState& s) { s.faults.arm("firewall.list", 1, 0x80004005); });
    rig.clock.advance_ms(10'000);
    rig.watcher.run_pass();
    EXPECT_FALSE(rig.watcher.network_snapshot().details_known);
}

TEST(NetworkWatcher, TheThreadReportsANewInterfaceWithinOnePass) {
    test::HostLog log;
    Rig rig;
    rig.add(adapter("Wi-Fi", platform::kIfTypeIeee80211, 11, "192.168.1.20"), platform::kNetworkCategoryPrivate);
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::vector<netprofile::PhysIf>> changes;
    int passes = 0;
    rig.watcher.set_network_change_callback([&](const std::vector<netprofile::PhysIf>& list) {
        std::lock_guard<std::mutex> g(m);
        changes.push_back(list);
    });
    rig.watcher.set_pass_callback([&] {
        std::lock_guard<std::mutex> g(m);
        ++passes;
        cv.notify_all();
    });
    auto wait_passes = [&](int n) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(30), [&] { return passes >= n; });
    };
    rig.watcher.start_network_watcher();
    rig.watcher.start_network_watcher();  // already running
    ASSERT_TRUE(wait_passes(1));
    // An unchanged list on the next pass calls nobody.
    ASSERT_TRUE(test::eventually([&] { return rig.clock.waiters() > 0; }));
    rig.clock.advance_ms(2'000);
    ASSERT_TRUE(wait_passes(2));

    rig.add(adapter("Ethernet", platform::kIfTypeEthernet, 12, "10.0.0.5"), platform::kNetworkCategoryPublic);
    ASSERT_TRUE(test::eventually([&] { return rig.clock.waiters() > 0; }));
    rig.clock.advance_ms(2'000);
    ASSERT_TRUE(wait_passes(3));
    rig.watcher.stop_network_watcher();
    rig.watcher.stop_network_watcher();

    const std::vector<netprofile::PhysIf> one{{11, "{Wi-Fi-GUID}", false}};
    const std::vector<netprofile::PhysIf> two{{11, "{Wi-Fi-GUID}", false}, {12, "{Ethernet-GUID}", true}};
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0], one);
    EXPECT_EQ(changes[1], two);
    EXPECT_EQ(rig.watcher.physical_interfaces(), two);
}

TEST(NetworkWatcher, OpensTheSettingsPageOfTheAdapterType) {
    test::HostLog log;
    Rig rig;
    EXPECT_TRUE(rig.watcher.open_network_settings(true));
    EXPECT_NE(rig.machine->journal().find("shell open ms-settings:network-wifi"), std::string::npos);
    rig.machine->update("fault", [](sim::MachineState& s) { s.faults.arm("shell.open", 1, 31); });
    EXPECT_FALSE(rig.watcher.open_network_settings(false));
    EXPECT_TRUE(log.has("[net] ag ayarlari acildi (Wi-Fi): ok"));
    EXPECT_TRUE(log.has("[net] ag ayarlari acildi (Ethernet): HATA"));
}

}  // namespace
}  // namespace sorvane
