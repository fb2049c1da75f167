#include "host/app/discovery.h"

#include "platform/self_process.h"

namespace sorvane {

HostDiscovery::HostDiscovery(platform::IClock& clock, platform::INetworkInfo& network, platform::IShell& shell)
    : network_list_(platform::make_network_list()),
      firewall_(platform::make_firewall_policy()),
      registrar_(platform::make_dns_service_registrar()),
      clock_(clock),
      network_(network),
      shell_(shell) {
    advertisement_ = std::make_unique<MdnsAdvertisement>(*registrar_);
}

HostDiscovery::~HostDiscovery() { stop(); }

void HostDiscovery::start(const DiscoveryStart& start) {
    std::string exe;
    platform::module_file_name(exe);
    NetworkWatcherPorts ports;
    ports.clock = &clock_;
    ports.network = &network_;
    ports.network_list = network_list_.get();
    ports.firewall = firewall_.get();
    ports.shell = &shell_;
    watcher_ = std::make_unique<NetworkWatcher>(ports, exe, start.control_port);

    AdvertisementSettings settings;
    settings.host_id = start.host_id;
    settings.host_name = start.host_name;
    settings.port = start.control_port;
    settings.protocol_version = start.protocol_version;
    settings.fingerprint_prefix = start.fingerprint_hex.substr(0, 16);
    advertisement_->start_advertising(settings, watcher_->physical_interfaces());

    MdnsAdvertisement* ad = advertisement_.get();
    watcher_->set_network_change_callback(
        [ad](const std::vector<netprofile::PhysIf>& interfaces) { ad->update_interfaces(interfaces); });
    watcher_->set_pass_callback([ad] { ad->retry_failed(); });
    watcher_->start_network_watcher();
}

NetworkSnapshot HostDiscovery::network_snapshot() const {
    return watcher_ ? watcher_->network_snapshot() : NetworkSnapshot{};
}

bool HostDiscovery::open_network_settings(bool wifi) {
    if (watcher_) return watcher_->open_network_settings(wifi);
    NetworkWatcher idle(NetworkWatcherPorts{&clock_, &network_, network_list_.get(), firewall_.get(), &shell_}, {}, 0);
    return idle.open_network_settings(wifi);
}

void HostDiscovery::stop() {
    if (watcher_) {
        watcher_->set_network_change_callback(nullptr);
        watcher_->set_pass_callback(nullptr);
        watcher_->stop_network_watcher();
    }
    advertisement_->stop_advertising();
}

std::optional<PanelNetWarning> panel_net_warning(const NetworkSnapshot& snapshot) {
    if (!snapshot.valid || !snapshot.blocked) return std::nullopt;
    PanelNetWarning w;
    w.wifi = snapshot.public_is_wifi;
    // "YYYY-MM-DD hh:mm:ss": the page shows the hour and minute.
    if (!snapshot.blocked_now && snapshot.first_blocked_at.size() >= 16) {
        w.fixed_blocked_at = snapshot.first_blocked_at.substr(11, 5);
    }
    return w;
}

void fill_panel_hooks(HostDiscovery& discovery, PanelHooks& hooks) {
    hooks.net_warning = [&discovery] { return panel_net_warning(discovery.network_snapshot()); };
    hooks.open_net_settings = [&discovery] {
        discovery.open_network_settings(discovery.network_snapshot().public_is_wifi);
    };
}

}  // namespace sorvane
