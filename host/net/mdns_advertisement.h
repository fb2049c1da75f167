// The host's DNS-SD advertisement, "_sorvane._tcp": paired phones find the
// host on the local network without the QR code. One registration for every
// interface, or one per physical interface when a Public network is among
// them, so that the computer name stays off the Public ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/net/network_watcher.h"
#include "platform/dns_sd.h"

namespace sorvane {

struct AdvertisementSettings {
    std::string host_id;
    std::string host_name;  // the computer name; empty when it could not be read
    uint16_t port = 0;      // the control port
    uint16_t protocol_version = 0;
    std::string fingerprint_prefix;  // the first 16 characters of the fingerprint text
};

// The instance a registration submits: name from the host id, TXT v, id, n
// (unless hidden), f (unless empty), in that order.
platform::DnsServiceInstance advertised_instance(const AdvertisementSettings& s, uint32_t if_index, bool hide_name);

class MdnsAdvertisement {
public:
    explicit MdnsAdvertisement(platform::IDnsServiceRegistrar& registrar);
    ~MdnsAdvertisement();
    MdnsAdvertisement(const MdnsAdvertisement&) = delete;
    MdnsAdvertisement& operator=(const MdnsAdvertisement&) = delete;

    // Stores the settings and registers; true when every registration was accepted.
    bool start_advertising(const AdvertisementSettings& settings, const std::vector<netprofile::PhysIf>& interfaces);
    // Registers again when started and interfaces differ from the stored list.
    void update_interfaces(const std::vector<netprofile::PhysIf>& interfaces);
    // Registers again when a registration failed because the responder was
    // not running (or lost it) and the responder is back. The watcher calls
    // it after every pass.
    void retry_failed();
    // Withdraws every registration. A second call does nothing.
    void stop_advertising();

    bool started() const;
    // Registrations accepted and kept now.
    size_t registrations() const;

private:
    // Shared with a registration's completion, which runs on the responder's
    // thread and touches nothing else.
    struct Outcome {
        std::atomic<bool> lost{false};  // the responder was not running or dropped it
    };
    struct Kept {
        std::unique_ptr<platform::IDnsServiceRegistration> registration;
        std::shared_ptr<Outcome> outcome;
    };

    bool register_all();  // mutex_ held
    bool register_one(uint32_t if_index, bool hide_name);  // mutex_ held
    void withdraw_all();  // mutex_ held

    platform::IDnsServiceRegistrar& registrar_;
    mutable std::mutex mutex_;
    AdvertisementSettings settings_;
    std::vector<netprofile::PhysIf> interfaces_;
    bool started_ = false;
    std::vector<Kept> kept_;
    // A registration was refused because the responder was not running.
    bool refused_not_running_ = false;
};

}  // namespace sorvane
