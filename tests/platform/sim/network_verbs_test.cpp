// sorvane-sim network and firewall: what they change in the machine, what
// they refuse, and the network list and firewall ports reading the result.
#include <gtest/gtest.h>

#include "platform/sim/machine.h"
#include "platform/sim/network_model.h"
#include "platform/sim/ports.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace sorvane::sim {
namespace {

TEST(SimNetworkVerbs, AdaptersCategoriesAndFirewallAsThePortsSeeThem) {
    test::TempDir dir;
    const std::map<std::string, std::string> env{{"SORVANE_SIM_ROOT", dir.path()}};
    const std::string sim = test::bin_path("sorvane-sim");
    const auto steer = [&](std::vector<std::string> args) { return test::run(sim, args, env).code; };
    ASSERT_EQ(steer({"init"}), 0);
    auto machine = std::make_shared<Machine>(dir.path());
    auto network = make_sim_network_info(machine, nullptr);
    auto list = make_sim_network_list(machine);
    auto firewall = make_sim_firewall(machine);

    // What they refuse leaves the machine as it was.
    const std::vector<std::vector<std::string>> refused = {
        {"network", "add", "Wi-Fi", "radio", "192.168.1.20/24"},
        {"network", "add", "Wi-Fi", "wifi", "192.168.1.20"},
        {"network", "add", "Wi-Fi", "wifi", "192.168.1.256/24"},
        {"network", "add", "Wi-Fi", "wifi", "192.168.1.20/33"},
        {"network", "add", "Wi-Fi", "wifi", "192.168.1.20/24", "--category", "home"},
        {"network", "category", "Wi-Fi", "home"},
        {"network", "remove", "Wi-Fi"},
        {"firewall", "add", "x", "deny"},
        {"firewall", "add", "x", "allow", "--profiles", "private,home"},
        {"firewall", "profile", "work", "enabled", "on"},
        {"firewall", "profile", "public", "inbound", "drop"},
        {"firewall", "remove", "no such rule"},
    };
    std::string before;
    ASSERT_TRUE(machine->dump(before));
    for (const auto& args : refused) EXPECT_EQ(steer(args), 2) << args[0] << " " << args[1] << " " << args.back();
    std::string after;
    ASSERT_TRUE(machine->dump(after));
    EXPECT_EQ(after, before);

    ASSERT_EQ(steer({"network", "add", "Wi-Fi", "wifi", "192.168.1.20/24", "--default-route"}), 0);
    ASSERT_EQ(steer({"network", "add", "Ethernet", "ethernet", "10.0.0.5/8", "--category", "domain"}), 0);
    EXPECT_EQ(steer({"network", "add", "wi-fi", "ethernet", "10.0.0.6/8"}), 2);  // the name is taken
    std::vector<platform::NetworkAdapter> adapters;
    ASSERT_TRUE(network->adapters(adapters));
    ASSERT_EQ(adapters.size(), 2u);
    EXPECT_EQ(adapters[0].if_type, platform::kIfTypeIeee80211);
    EXPECT_EQ(network->best_interface(0x08080808), adapters[0].if_index);
    std::vector<platform::NetworkConnection> connections;
    ASSERT_EQ(list->connections(connections), 0u);
    ASSERT_EQ(connections.size(), 2u);  // a new network is Public, as Windows makes it
    int32_t profiles = 0;
    ASSERT_EQ(firewall->current_profiles(profiles), 0u);
    EXPECT_EQ(profiles, 1 | 4);

    ASSERT_EQ(steer({"network", "down", "Ethernet"}), 0);
    ASSERT_EQ(steer({"network", "category", "Wi-Fi", "private"}), 0);
    ASSERT_EQ(steer({"network", "connectivity", "Wi-Fi", "0x20"}), 0);
    ASSERT_EQ(firewall->current_profiles(profiles), 0u);
    EXPECT_EQ(profiles, 2);
    ASSERT_EQ(list->connections(connections), 0u);
    ASSERT_EQ(connections.size(), 2u);
    for (const auto& c : connections) {
        const bool wifi = c.adapter_id == adapters[0].adapter_name;
        EXPECT_EQ(c.connectivity, wifi ? platform::kConnectivityIpv4Local : platform::kConnectivityIpv4Internet);
    }

    ASSERT_EQ(steer({"firewall", "profile", "public", "block-all", "on"}), 0);
    ASSERT_EQ(steer({"firewall", "add", "Sorvane (svc)", "block", "--service", "SorvaneSvc", "--ports", "47000-47002",
                     "--protocol", "tcp", "--profiles", "public"}),
              0);
    platform::FirewallProfileState state;
    ASSERT_EQ(firewall->profile_state(platform::kFirewallProfilePublic, state), 0u);
    EXPECT_TRUE(state.block_all_inbound);
    EXPECT_TRUE(state.default_inbound_block);
    std::vector<platform::FirewallRuleSpec> rules;
    ASSERT_EQ(firewall->list_rules(rules), 0u);
    EXPECT_EQ(rules.back().service_name, "SorvaneSvc");
    EXPECT_EQ(rules.back().profiles, 4);
    EXPECT_EQ(rules.back().action, 0);

    // Back to the Linux system's adapters: the categories go with the simulated ones.
    ASSERT_EQ(steer({"network", "real"}), 0);
    ASSERT_EQ(list->connections(connections), 0u);
    EXPECT_TRUE(connections.empty());
}

}  // namespace
}  // namespace sorvane::sim
