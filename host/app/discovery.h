// Discovery at start-up and shutdown: the mDNS advertisement and the network
// watcher that keeps it current, with the ports they run on.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/net/mdns_advertisement.h"
#include "host/net/network_watcher.h"
#include "host/ui/panel_bridge.h"
#include "platform/clock.h"
#include "platform/dns_sd.h"
#include "platform/firewall.h"
#include "platform/network.h"
#include "platform/shell.h"

namespace sorvane {

struct DiscoveryStart {
    std::string host_id;
    std::string host_name;
    uint16_t control_port = 0;
    uint16_t protocol_version = 0;
    std::string fingerprint_hex;  // the host fingerprint as hexadecimal text
};

class HostDiscovery {
public:
    // The network list, the firewall and the registrar come from the
    // system's factories.
    HostDiscovery(platform::IClock& clock, platform::INetworkInfo& network, platform::IShell& shell);
    ~HostDiscovery();
    HostDiscovery(const HostDiscovery&) = delete;
    HostDiscovery& operator=(const HostDiscovery&) = delete;

    // Advertises on the current physical interfaces, wires the network-change
    // callback to the advertisement and starts the watcher.
    void start(const DiscoveryStart& start);
    // Removes the callback, joins the watcher, withdraws the advertisement.
    // A second call does nothing.
    void stop();

    // For the panel and the report: the latest snapshot (not valid before
    // start), and the system's Wi-Fi or Ethernet settings page.
    NetworkSnapshot network_snapshot() const;
    bool open_network_settings(bool wifi);

private:
    std::unique_ptr<platform::INetworkList> network_list_;
    std::unique_ptr<platform::IFirewallPolicy> firewall_;
    std::unique_ptr<platform::IDnsServiceRegistrar> registrar_;
    std::unique_ptr<NetworkWatcher> watcher_;
    std::unique_ptr<MdnsAdvertisement> advertisement_;
    platform::IClock& clock_;
    platform::INetworkInfo& network_;
    platform::IShell& shell_;
};

// The panel's "net" member: present once the watcher found the host blocked
// (it stays for the run), with the time of the first block once the cause is
// gone.
std::optional<PanelNetWarning> panel_net_warning(const NetworkSnapshot& snapshot);

// The panel's "net" member and its "open_net_settings" command (the settings
// page of the first Public network's kind).
void fill_panel_hooks(HostDiscovery& discovery, PanelHooks& hooks);

}  // namespace sorvane
