// Network adapter facts: the adapters with their IPv4 addresses (as the IP
// helper lists them on Windows) and the interface that carries the route to
// an address. No traffic is sent by any of these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvane::platform {

// Interface types, with the numbers Windows uses (IANA ifType).
inline constexpr uint32_t kIfTypeOther = 1;
inline constexpr uint32_t kIfTypeEthernet = 6;
inline constexpr uint32_t kIfTypePpp = 23;
inline constexpr uint32_t kIfTypeSoftwareLoopback = 24;
inline constexpr uint32_t kIfTypeIeee80211 = 71;
inline constexpr uint32_t kIfTypeTunnel = 131;

struct AdapterIpv4 {
    std::string ip;         // dotted text
    uint8_t prefix_length = 0;
};

struct NetworkAdapter {
    std::string friendly_name;  // UTF-8
    std::string description;    // UTF-8
    std::string adapter_name;   // the system's name for it (a GUID text on Windows)
    uint32_t if_type = kIfTypeOther;
    uint32_t if_index = 0;
    bool up = false;
    std::vector<AdapterIpv4> addresses;  // unicast, in the system's order
};

class INetworkInfo {
public:
    virtual ~INetworkInfo() = default;
    // Adapters in the system's order. False when the system could not list them.
    virtual bool adapters(std::vector<NetworkAdapter>& out) = 0;
    // Index of the interface that carries the route to destination (first octet
    // in the high byte); 0 when unknown.
    virtual uint32_t best_interface(uint32_t destination) = 0;
};

std::unique_ptr<INetworkInfo> make_system_network_info();

// Network List Manager categories (NLM_NETWORK_CATEGORY).
inline constexpr int32_t kNetworkCategoryPublic = 0;
inline constexpr int32_t kNetworkCategoryPrivate = 1;
inline constexpr int32_t kNetworkCategoryDomain = 2;

// One connection of the network list: the adapter it runs over and the
// category of its network.
// NLM_CONNECTIVITY bits.
inline constexpr uint32_t kConnectivityIpv4Subnet = 0x10;
inline constexpr uint32_t kConnectivityIpv4Local = 0x20;
inline constexpr uint32_t kConnectivityIpv4Internet = 0x40;
inline constexpr uint32_t kConnectivityIpv6Subnet = 0x100;
inline constexpr uint32_t kConnectivityIpv6Local = 0x200;
inline constexpr uint32_t kConnectivityIpv6Internet = 0x400;

struct NetworkConnection {
    std::string adapter_id;  // the adapter's GUID text, "{...}" (its adapter name)
    int32_t category = kNetworkCategoryPublic;
    uint32_t connectivity = 0;  // kConnectivity... bits
};

class INetworkList {
public:
    virtual ~INetworkList() = default;
    // The connections the network list manager knows. 0, or the HRESULT of
    // the failed step (out is then empty).
    virtual uint32_t connections(std::vector<NetworkConnection>& out) = 0;
};

// Windows: the Network List Manager. Linux: the simulated machine's networks.
std::unique_ptr<INetworkList> make_network_list();

}  // namespace sorvane::platform
