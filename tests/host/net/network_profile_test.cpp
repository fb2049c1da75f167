#include "host/net/network_profile.h"

#include <gtest/gtest.h>

#include "host/core/log.h"
#include "platform/sim/network_sim.h"

namespace sorvane::netprofile {
namespace {

using platform::NetworkAdapter;

NetworkAdapter adapter(std::string name, std::string description, uint32_t index,
                       std::vector<platform::AdapterIpv4> addresses, uint32_t type = platform::kIfTypeEthernet) {
    NetworkAdapter a;
    a.friendly_name = std::move(name);
    a.description = std::move(description);
    a.adapter_name = "{guid-" + std::to_string(index) + "}";
    a.if_type = type;
    a.if_index = index;
    a.up = true;
    a.addresses = std::move(addresses);
    return a;
}

std::vector<std::string> ips_and_classes(const std::vector<AdapterAddress>& list) {
    std::vector<std::string> out;
    for (const auto& a : list) out.push_back(a.ip + "/" + std::to_string(a.klass));
    return out;
}

TEST(NetworkProfile, OrderScenarios) {
    struct Scenario {
        const char* what;
        std::vector<NetworkAdapter> adapters;
        uint32_t default_route;
        std::vector<std::string> expected;  // ip/class in offered order
    };
    const Scenario scenarios[] = {
        {"laptop with Wi-Fi, a Hyper-V switch and a Tailscale address",
         {adapter("vEthernet (Default Switch)", "Hyper-V Virtual Ethernet Adapter", 5, {{"172.20.0.1", 20}}),
          adapter("Tailscale", "Tailscale Tunnel", 9, {{"100.101.2.3", 32}}),
          adapter("Wi-Fi", "Intel(R) Wi-Fi 6 AX201", 12, {{"192.168.1.20", 24}}, platform::kIfTypeIeee80211)},
         12,
         {"192.168.1.20/0", "100.101.2.3/8", "172.20.0.1/9"}},
        {"USB tethering comes after physical networks even with the default route",
         {adapter("Ethernet 3", "Remote NDIS based Internet Sharing Device", 20, {{"192.168.42.100", 24}}),
          adapter("Ethernet", "Realtek PCIe GbE", 3, {{"10.0.0.5", 8}})},
         20,
         {"10.0.0.5/2", "192.168.42.100/3"}},
        {"a physical mesh-range address is offered late",
         {adapter("Ethernet 2", "USB Gigabit", 4, {{"100.70.0.5", 10}}),
          adapter("Ethernet", "Realtek PCIe GbE", 3, {{"10.0.0.5", 8}})},
         0,
         {"10.0.0.5/2", "100.70.0.5/7"}},
        {"link-local, down and loopback adapters contribute nothing",
         {adapter("Ethernet", "Intel", 3, {{"169.254.10.1", 16}}),
          adapter("Loopback Pseudo-Interface 1", "Software Loopback Interface 1", 1, {{"127.0.0.1", 8}},
                  platform::kIfTypeSoftwareLoopback),
          [] {
              auto a = adapter("Ethernet 9", "Intel", 7, {{"10.9.9.9", 8}});
              a.up = false;
              return a;
          }(),
          adapter("Wi-Fi", "Qualcomm", 8, {{"192.168.0.7", 24}, {"10.1.1.1", 8}})},
         0,
         {"192.168.0.7/1", "10.1.1.1/2"}},
        {"tunnel and PPP types are virtual whatever their names; the default route does not lift them",
         {adapter("Corp", "Cisco AnyConnect", 30, {{"10.200.0.2", 16}}, platform::kIfTypeTunnel),
          adapter("Dial", "Modem", 31, {{"100.64.0.1", 32}}, platform::kIfTypePpp),
          adapter("Ethernet", "Intel", 3, {{"192.168.5.5", 24}})},
         30,
         {"192.168.5.5/1", "100.64.0.1/8", "10.200.0.2/9"}},
        {"equal classes keep the system's order",
         {adapter("A", "Intel", 1, {{"10.0.0.2", 8}, {"10.0.0.1", 8}}), adapter("B", "Intel", 2, {{"172.16.0.1", 12}})},
         0,
         {"10.0.0.2/2", "10.0.0.1/2", "172.16.0.1/2"}},
    };
    for (const Scenario& s : scenarios) {
        sim::SimNetwork net;
        net.set_adapters(s.adapters);
        net.set_default_route(s.default_route);
        EXPECT_EQ(ips_and_classes(enumerate(net)), s.expected) << s.what;
    }
}

TEST(NetworkProfile, ClassificationWords) {
    using platform::kIfTypeEthernet;
    for (const char* name : {"VirtualBox Host-Only", "vEthernet (WSL)", "ZeroTier One", "OpenVPN TAP-Windows6",
                             "Bluetooth Network Connection", "Teredo Tunneling Pseudo-Interface", "Npcap Loopback",
                             "docker0", "wg0 WireGuard", "Microsoft Wi-Fi Direct Virtual Adapter"}) {
        EXPECT_TRUE(is_virtual_adapter(kIfTypeEthernet, name, "")) << name;
    }
    EXPECT_TRUE(is_virtual_adapter(kIfTypeEthernet, "Ethernet", "Hyper-V Virtual Ethernet Adapter"));
    EXPECT_FALSE(is_virtual_adapter(kIfTypeEthernet, "Ethernet", "Intel(R) Ethernet Connection I219-V"));
    EXPECT_TRUE(is_usb_tethering("Ethernet 4", "Remote NDIS Compatible Device"));
    EXPECT_TRUE(is_usb_tethering("usb0", "cdc_ncm (USB NCM)"));
    EXPECT_FALSE(is_usb_tethering("Ethernet", "Realtek USB GbE"));
    // A tethering adapter that also looks virtual is virtual, not USB.
    sim::SimNetwork net;
    net.set_adapters({adapter("RNDIS", "Remote NDIS (virtual)", 5, {{"192.168.42.100", 24}})});
    const auto list = enumerate(net);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(list[0].is_virtual);
    EXPECT_FALSE(list[0].usb);
    EXPECT_EQ(list[0].klass, 9);

    EXPECT_TRUE(in_mesh_range("100.64.0.0"));
    EXPECT_TRUE(in_mesh_range("100.127.255.255"));
    EXPECT_FALSE(in_mesh_range("100.63.1.1"));
    EXPECT_FALSE(in_mesh_range("100.128.1.1"));
}

TEST(NetworkProfile, UsbSubnetAndFailures) {
    sim::SimNetwork net;
    net.set_adapters({adapter("Ethernet 3", "Remote NDIS based Internet Sharing Device", 20, {{"192.168.42.100", 24}}),
                      adapter("Wi-Fi", "Intel", 12, {{"192.168.1.20", 24}}, platform::kIfTypeIeee80211)});
    EXPECT_TRUE(is_on_usb_subnet(net, "192.168.42.129"));
    EXPECT_FALSE(is_on_usb_subnet(net, "192.168.43.1"));
    EXPECT_FALSE(is_on_usb_subnet(net, "192.168.1.30"));  // Wi-Fi subnet is not USB
    EXPECT_FALSE(is_on_usb_subnet(net, "not an ip"));

    net.set_fail(true);
    EXPECT_TRUE(enumerate(net).empty());
    EXPECT_TRUE(offered_addresses(net).empty());
}

TEST(NetworkProfile, OfferedAddressesAreLoggedOnlyWhenTheyChange) {
    std::string logged;
    process_log().set_echo_sink([&](std::string_view s) { logged.append(s); });
    process_log().open(true, "");
    sim::SimNetwork net;
    net.set_adapters({adapter("Wi-Fi", "Intel", 12, {{"192.168.1.20", 24}}, platform::kIfTypeIeee80211),
                      adapter("Tailscale", "Tailscale Tunnel", 9, {{"100.101.2.3", 32}})});
    net.set_default_route(12);
    EXPECT_EQ(offered_addresses(net), (std::vector<std::string>{"192.168.1.20", "100.101.2.3"}));
    EXPECT_NE(logged.find("[pairing] QR IP #1: 192.168.1.20 adapter \"Wi-Fi\" (physical), default route\n"),
              std::string::npos);
    EXPECT_NE(logged.find("[pairing] QR IP #2: 100.101.2.3 adapter \"Tailscale\" (virtual), mesh VPN range\n"),
              std::string::npos);
    logged.clear();
    offered_addresses(net);
    EXPECT_EQ(logged, "");
    net.set_default_route(0);  // same addresses, but the route moved: logged again
    offered_addresses(net);
    EXPECT_NE(logged.find("QR IP #1: 192.168.1.20 adapter \"Wi-Fi\" (physical)\n"), std::string::npos);
    process_log().set_echo_sink(nullptr);
}

TEST(NetworkProfile, RealAdaptersOfThisMachine) {
    // The Linux enumeration never offers loopback or link-local addresses.
    auto net = platform::make_system_network_info();
    for (const AdapterAddress& a : enumerate(*net)) {
        EXPECT_NE(a.ip.rfind("127.", 0), 0u) << a.ip;
        EXPECT_NE(a.ip.rfind("169.254.", 0), 0u) << a.ip;
        EXPECT_GE(a.prefix_length, 1);
    }
}

}  // namespace
}  // namespace sorvane::netprofile
