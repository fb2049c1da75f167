// The network watcher: every 2 s it looks at the category of each physical
// network and at the firewall's view of the host, logs what changed,
// publishes a snapshot for the panel and the report, and tells discovery when
// the set of physical interfaces changed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/firewall.h"
#include "platform/network.h"
#include "platform/shell.h"

namespace sorvane {

namespace netprofile {

// One physical interface as discovery advertises on it.
struct PhysIf {
    uint32_t if_index = 0;
    std::string adapter_name;
    bool is_public = false;  // its network is Public: the computer name stays hidden there
    bool operator==(const PhysIf& o) const = default;
};

}  // namespace netprofile

// Network categories as the host names them.
inline constexpr int kCategoryUnknown = 0;
inline constexpr int kCategoryPublic = 1;
inline constexpr int kCategoryPrivate = 2;
inline constexpr int kCategoryDomain = 3;

// "Genel", "Ozel", "Etki alani" or "bilinmiyor".
const char* category_name(int category);

struct PhysicalNetwork {
    bool wifi = false;
    int category = kCategoryUnknown;
    std::string adapter_name;
    uint32_t if_index = 0;
    bool operator==(const PhysicalNetwork& o) const = default;
};

// One firewall rule as the diagnostics read it.
struct FirewallRule {
    bool enabled = false;
    bool allow = false;
    bool inbound = false;
    int32_t profiles = 0;
    int32_t protocol = 0;
    std::string application;  // may be empty
    std::string local_ports;
    bool has_service = false;
};

// The firewall's view of the host on the network whose details are shown.
struct FirewallDetails {
    int category = kCategoryUnknown;
    bool profile_enabled = false;
    bool default_inbound_block = false;
    bool allow_rule = false;  // an allow rule applies to the host
    bool block_rule = false;  // a block rule naming the host's program applies
    bool block_all_inbound = false;
};

struct NetworkSnapshot {
    bool valid = false;  // false until the first pass
    std::vector<PhysicalNetwork> networks;
    bool any_public = false;
    bool public_is_wifi = true;  // the first Public network is Wi-Fi, or there is none
    bool details_known = false;
    FirewallDetails details;
    // Sticky for the run: once the firewall blocked the host, this stays true.
    bool blocked = false;
    // What the latest pass found: false again once the user fixed the cause.
    bool blocked_now = false;
    // Local time "YYYY-MM-DD hh:mm:ss" when blocked first became true; empty before.
    std::string first_blocked_at;
};

// True when the local ports text includes port: "*", or one of its
// comma-separated items is port or a range "a-b" holding it.
bool local_ports_include(const std::string& ports, uint16_t port);


// Whether rule governs inbound TCP connections to the host's program
// (host_exe_lower, lower case) on port in the profile with bit profile_bit.
bool rule_applies_to_host(const FirewallRule& rule, const std::string& host_exe_lower, uint16_t port,
                          int32_t profile_bit);

// The firewall's state as one query found it.
struct FirewallQuery {
    bool known = false;
    platform::FirewallProfileState private_profile;
    platform::FirewallProfileState public_profile;
    std::vector<FirewallRule> rules;
};

// Reads the Private and Public profiles and every rule; known stays false
// when any step fails.
FirewallQuery query_firewall(platform::IFirewallPolicy& firewall);

struct BlockVerdict {
    bool blocked = false;
    bool details_known = false;
    FirewallDetails details;  // of the first Private or Public network
};

// Whether the firewall keeps the phone from reaching the host on any of the
// Private or Public networks (Domain and unknown ones are never blocked).
BlockVerdict evaluate_blocked(const std::vector<PhysicalNetwork>& networks, const FirewallQuery& firewall,
                              const std::string& host_exe_lower, uint16_t port);

// The physical networks: one per physical adapter with an IPv4 address in
// the order the pairing addresses are offered, virtual adapters and repeated
// adapter names left out, each with its category from the network list.
std::vector<PhysicalNetwork> physical_networks(platform::INetworkInfo& net, platform::INetworkList& list);
std::vector<netprofile::PhysIf> physical_interfaces(const std::vector<PhysicalNetwork>& networks);

// "Wi-Fi Genel, Ethernet Ozel" or "fiziksel ag yok"; the firewall part
// "; Genel profilde sorvane-host.exe izni: yok" (empty without details).
std::string network_text(const std::vector<PhysicalNetwork>& networks);
std::string firewall_detail_text(const BlockVerdict& verdict);

struct NetworkWatcherPorts {
    platform::IClock* clock = nullptr;
    platform::INetworkInfo* network = nullptr;
    platform::INetworkList* network_list = nullptr;
    platform::IFirewallPolicy* firewall = nullptr;
    platform::IShell* shell = nullptr;
};

class NetworkWatcher {
public:
    using InterfacesCallback = std::function<void(const std::vector<netprofile::PhysIf>&)>;

    // host_exe: the full path of the host's program; port: the control port
    // the firewall must let through.
    NetworkWatcher(NetworkWatcherPorts ports, std::string host_exe, uint16_t port);
    ~NetworkWatcher();
    NetworkWatcher(const NetworkWatcher&) = delete;
    NetworkWatcher& operator=(const NetworkWatcher&) = delete;

    // Starts the watcher thread unless it runs; it makes a pass at once and
    // then every 2 s of the clock.
    void start_network_watcher();
    // Stops and joins the thread. A second call does nothing.
    void stop_network_watcher();

    // A copy of the latest published snapshot.
    NetworkSnapshot network_snapshot() const;
    // The interfaces discovery advertises on, computed now.
    std::vector<netprofile::PhysIf> physical_interfaces();
    // Called (outside the watcher's lock, on the watcher thread) with the new
    // interface list whenever it differs from the previous pass's. An empty
    // callback removes it.
    void set_network_change_callback(InterfacesCallback cb);
    // Called at the end of every pass (retries that wait for a pass).
    void set_pass_callback(std::function<void()> cb);

    // Opens the system's Wi-Fi or Ethernet settings page; false when the
    // shell could not.
    bool open_network_settings(bool wifi);

    // One pass of the watcher (the thread's body; tests call it directly).
    void run_pass();

private:
    void loop();

    NetworkWatcherPorts ports_;
    const std::string host_exe_lower_;
    const uint16_t port_;

    mutable std::mutex mutex_;  // the snapshot, the callbacks, the stop flag
    std::condition_variable cv_;
    bool stop_ = false;
    NetworkSnapshot snapshot_;
    InterfacesCallback on_change_;
    std::function<void()> on_pass_;
    std::thread thread_;

    // The watcher thread's own state (run_pass is never run twice at once).
    std::mutex pass_mutex_;
    FirewallQuery firewall_;
    bool firewall_queried_ = false;
    uint64_t firewall_queried_at_ = 0;
    bool blocked_ = false;
    bool blocked_now_ = false;
    bool logged_ = false;
    std::string logged_text_;
    bool logged_blocked_ = false;
    std::vector<netprofile::PhysIf> last_interfaces_;
};

}  // namespace sorvane
