// The simulated machine's networks: the adapters as the IP helper lists them,
// the interface that carries the default route, and the category the Network
// List Manager gives each adapter's network.
//
// Until something sets simulated adapters, the machine's adapters are the
// Linux system's own (a test in a network namespace advertises on real
// interfaces); categories apply to either kind, by adapter name.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network.h"
#include "platform/sim/json.h"

namespace sorvane::sim {

class Machine;

class NetworkModel {
public:
    static constexpr const char* kName = "network";

    bool simulated_adapters = false;
    std::vector<platform::NetworkAdapter> adapters;
    uint32_t default_route = 0;  // interface index; 0 none
    // Upper-case adapter name -> network category (platform::kNetworkCategory...).
    // An adapter without an entry has no connection in the network list.
    std::map<std::string, int32_t> categories;
    // Upper-case adapter name -> NLM connectivity bits; a connection without
    // an entry reaches the internet over IPv4.
    std::map<std::string, uint32_t> connectivity;

    // The simulated adapter whose friendly name or adapter name is name
    // (ASCII case-insensitive); null when none.
    platform::NetworkAdapter* find(std::string_view name);
    // An interface index no simulated adapter uses (from 11 up, as Windows
    // numbers the adapters after its own).
    uint32_t free_index() const;
    void set_category(std::string_view adapter_name, int32_t category);
    void clear_category(std::string_view adapter_name);
    void set_connectivity(std::string_view adapter_name, uint32_t bits);
    // The firewall profiles of the connected networks' categories (Public
    // when there is none).
    int32_t current_profiles() const;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

// The adapter list of the machine: its simulated adapters when it has them,
// else what fallback (the Linux system's list) says. Fault point
// "network.adapters".
std::unique_ptr<platform::INetworkInfo> make_sim_network_info(std::shared_ptr<Machine> machine,
                                                             std::unique_ptr<platform::INetworkInfo> fallback);

// The network list: one connection per adapter name with a category. Fault
// point "network.connections" (its code is the HRESULT).
std::unique_ptr<platform::INetworkList> make_sim_network_list(std::shared_ptr<Machine> machine);

}  // namespace sorvane::sim
