#include "host/net/mdns_advertisement.h"

#include <cinttypes>

#include "common/text.h"
#include "host/core/log.h"

namespace sorvane {

platform::DnsServiceInstance advertised_instance(const AdvertisementSettings& s, uint32_t if_index, bool hide_name) {
    platform::DnsServiceInstance in;
    in.instance_name = s.host_id.substr(0, 8) + "._sorvane._tcp.local";
    in.host_name = (s.host_name.empty() ? std::string("sorvane-host") : s.host_name) + ".local";
    in.port = s.port;
    in.interface_index = if_index;
    in.properties.emplace_back("v", std::to_string(s.protocol_version));
    in.properties.emplace_back("id", s.host_id);
    if (!hide_name) in.properties.emplace_back("n", s.host_name);
    if (!s.fingerprint_prefix.empty()) in.properties.emplace_back("f", s.fingerprint_prefix);
    return in;
}

MdnsAdvertisement::MdnsAdvertisement(platform::IDnsServiceRegistrar& registrar) : registrar_(registrar) {}

MdnsAdvertisement::~MdnsAdvertisement() { stop_advertising(); }

bool MdnsAdvertisement::start_advertising(const AdvertisementSettings& settings,
                                          const std::vector<netprofile::PhysIf>& interfaces) {
    std::lock_guard<std::mutex> g(mutex_);
    settings_ = settings;
    interfaces_ = interfaces;
    started_ = true;
    return register_all();
}

void MdnsAdvertisement::update_interfaces(const std::vector<netprofile::PhysIf>& interfaces) {
    std::lock_guard<std::mutex> g(mutex_);
    if (!started_ || interfaces == interfaces_) return;
    log("[mdns] ag arayuzleri degisti: yeniden ilan");
    interfaces_ = interfaces;
    register_all();
}

void MdnsAdvertisement::retry_failed() {
    std::lock_guard<std::mutex> g(mutex_);
    if (!started_) return;
    bool lost = refused_not_running_;
    for (const auto& k : kept_) lost = lost || k.outcome->lost.load();
    if (!lost || !registrar_.responder_available()) return;
    log("[mdns] yanitlayici yeniden hazir: ilan yenileniyor");
    register_all();
}

void MdnsAdvertisement::stop_advertising() {
    std::lock_guard<std::mutex> g(mutex_);
    started_ = false;
    withdraw_all();
}

bool MdnsAdvertisement::started() const {
    std::lock_guard<std::mutex> g(mutex_);
    return started_;
}

size_t MdnsAdvertisement::registrations() const {
    std::lock_guard<std::mutex> g(mutex_);
    return kept_.size();
}

bool MdnsAdvertisement::register_all() {
    withdraw_all();
    refused_not_running_ = false;
    const std::string id = settings_.host_id.substr(0, 8);
    bool any_hidden = false;
    for (const auto& i : interfaces_) any_hidden = any_hidden || i.is_public;
    if (!any_hidden) {
        const bool ok = register_one(0, false);
        log("[mdns] _sorvane._tcp ilani basladi (port %u, id=%s, f=%s, bilgisayar adi gorunur)",
            static_cast<unsigned>(settings_.port), id.c_str(), settings_.fingerprint_prefix.c_str());
        return ok;
    }
    bool ok = true;
    int hidden = 0;
    int visible = 0;
    for (const auto& i : interfaces_) {
        ok = register_one(i.if_index, i.is_public) && ok;
        ++(i.is_public ? hidden : visible);
    }
    log("[mdns] _sorvane._tcp ilani basladi (port %u, id=%s, f=%s, arayuz basina: %d Ortak arayuzde bilgisayar adi "
        "GIZLI (Ortak ag), %d arayuzde gorunur)",
        static_cast<unsigned>(settings_.port), id.c_str(), settings_.fingerprint_prefix.c_str(), hidden, visible);
    return ok;
}

bool MdnsAdvertisement::register_one(uint32_t if_index, bool hide_name) {
    auto outcome = std::make_shared<Outcome>();
    std::unique_ptr<platform::IDnsServiceRegistration> registration;
    const uint32_t rc = registrar_.register_service(
        advertised_instance(settings_, if_index, hide_name),
        [outcome](uint32_t status, const std::string& name) {
            if (status != 0) {
                if (status == platform::kErrorServiceNotActive) outcome->lost.store(true);
                log("[mdns] ilan HATASI: %" PRIu32, status);
            } else {
                log("[mdns] ilan edildi: %s", name.empty() ? "(bilinmiyor)" : scrub_text(name).c_str());
            }
        },
        registration);
    if (rc != platform::kDnsRequestPending || registration == nullptr) {
        log("[mdns] DnsServiceRegister basarisiz (arayuz %" PRIu32 "): %" PRIu32, if_index, rc);
        if (rc == platform::kErrorServiceNotActive) refused_not_running_ = true;
        return false;
    }
    kept_.push_back({std::move(registration), std::move(outcome)});
    return true;
}

void MdnsAdvertisement::withdraw_all() {
    if (kept_.empty()) return;
    kept_.clear();  // each registration withdraws its instance
    log("[mdns] ilan geri cekildi");
}

}  // namespace sorvane
