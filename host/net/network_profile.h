// The host's IPv4 addresses, classified by adapter and sorted into the order
// offered to a phone for pairing: physical networks first (the default route
// before the rest), USB tethering next, mesh-VPN ranges and virtual adapters last.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/network.h"

namespace sorvane::netprofile {

struct AdapterAddress {
    std::string ip;
    std::string friendly_name;
    std::string description;
    std::string adapter_name;
    bool wifi = false;
    bool is_virtual = false;
    bool default_route = false;
    bool mesh_range = false;
    bool usb = false;
    uint8_t prefix_length = 0;
    uint32_t if_index = 0;
    int klass = 0;  // the sort key; smaller is offered first
};

// Classification of one adapter from its lowercase "friendly name | description".
bool is_virtual_adapter(uint32_t if_type, const std::string& friendly_name, const std::string& description);
bool is_usb_tethering(const std::string& friendly_name, const std::string& description);
// "100.%d." with 64 to 127: the carrier-grade NAT range mesh VPNs use.
bool in_mesh_range(const std::string& ip);

// Every eligible address, sorted stably by class. Empty when the system
// could not list its adapters.
std::vector<AdapterAddress> enumerate(platform::INetworkInfo& net);

// The ip texts of enumerate() in order; logs the list when it changed since
// it was last logged in this process.
std::vector<std::string> offered_addresses(platform::INetworkInfo& net);

// True when ip lies in the subnet of a USB tethering adapter.
bool is_on_usb_subnet(platform::INetworkInfo& net, const std::string& ip);

}  // namespace sorvane::netprofile
