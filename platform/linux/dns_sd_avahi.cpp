// DNS service registration through the Avahi daemon (its client library on
// the system D-Bus). One client on one poll thread per registrar; the client
// waits for a daemon that is not there yet and reconnects to one that
// restarts, reporting the registrations it lost.
//
// Windows' responder answers for the host name it is given with the
// addresses of the interface; Avahi only answers for its own host name. So a
// registration under another name publishes that name's IPv4 address records
// on the registration's interfaces (or on every interface for index 0).
#include <arpa/inet.h>
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/dns_sd.h"
#include "platform/win_error.h"

namespace sorvane::platform {

namespace {

uint32_t code_of(int avahi_error) {
    switch (avahi_error) {
        case AVAHI_ERR_COLLISION: return kDnsErrorNameTaken;
        case AVAHI_ERR_INVALID_HOST_NAME:
        case AVAHI_ERR_INVALID_DOMAIN_NAME:
        case AVAHI_ERR_INVALID_SERVICE_NAME:
        case AVAHI_ERR_INVALID_SERVICE_TYPE:
        case AVAHI_ERR_INVALID_PORT:
        case AVAHI_ERR_INVALID_INTERFACE:
        case AVAHI_ERR_INVALID_ADDRESS:
        case AVAHI_ERR_INVALID_RECORD:
        case AVAHI_ERR_INVALID_FLAGS:
        case AVAHI_ERR_INVALID_ARGUMENT: return kErrorInvalidParameter;
        case AVAHI_ERR_NO_DAEMON:
        case AVAHI_ERR_DISCONNECTED:
        case AVAHI_ERR_BAD_STATE:
        case AVAHI_ERR_DBUS_ERROR: return kErrorServiceNotActive;
        default: return kErrorGenFailure;
    }
}

// "<label>.<_service>.<_proto>.<domain>" split into Avahi's parts.
bool split_instance(const std::string& instance, std::string& label, std::string& type, std::string& domain) {
    const size_t type_start = instance.find("._");
    if (type_start == std::string::npos || type_start == 0) return false;
    const size_t proto = instance.find("._", type_start + 2);
    if (proto == std::string::npos) return false;
    const size_t domain_dot = instance.find('.', proto + 2);
    if (domain_dot == std::string::npos || domain_dot + 1 >= instance.size()) return false;
    label = instance.substr(0, type_start);
    type = instance.substr(type_start + 1, domain_dot - type_start - 1);
    domain = instance.substr(domain_dot + 1);
    return true;
}

struct Entry {
    AvahiEntryGroup* group = nullptr;  // under the poll lock
    DnsServiceCompletion done;         // cleared when withdrawn
    std::string instance_name;
};

class AvahiCore : public std::enable_shared_from_this<AvahiCore> {
public:
    ~AvahiCore() {
        if (poll_ == nullptr) return;
        avahi_threaded_poll_stop(poll_);
        for (auto& e : live_) e->group = nullptr;  // freed with the client
        if (client_ != nullptr) avahi_client_free(client_);
        avahi_threaded_poll_free(poll_);
    }

    bool available() {
        if (!ensure_poll()) return false;
        avahi_threaded_poll_lock(poll_);
        ensure_client();
        const bool running = client_ != nullptr && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING;
        avahi_threaded_poll_unlock(poll_);
        return running;
    }

    uint32_t submit(const DnsServiceInstance& in, DnsServiceCompletion done, std::shared_ptr<Entry>& out) {
        std::string label;
        std::string type;
        std::string domain;
        if (!split_instance(in.instance_name, label, type, domain)) return kErrorInvalidParameter;
        if (!ensure_poll()) return kErrorServiceNotActive;
        avahi_threaded_poll_lock(poll_);
        const uint32_t rc = submit_locked(in, label, type, domain, std::move(done), out);
        avahi_threaded_poll_unlock(poll_);
        return rc;
    }

    void withdraw(const std::shared_ptr<Entry>& entry) {
        avahi_threaded_poll_lock(poll_);
        entry->done = nullptr;
        if (entry->group != nullptr) avahi_entry_group_free(entry->group);
        entry->group = nullptr;
        live_.erase(std::remove(live_.begin(), live_.end(), entry), live_.end());
        avahi_threaded_poll_unlock(poll_);
    }

private:
    bool ensure_poll() {
        std::lock_guard<std::mutex> g(start_mutex_);
        if (poll_ != nullptr) return true;
        poll_ = avahi_threaded_poll_new();
        if (poll_ == nullptr) return false;
        if (avahi_threaded_poll_start(poll_) < 0) {
            avahi_threaded_poll_free(poll_);
            poll_ = nullptr;
            return false;
        }
        return true;
    }

    // Poll lock held. Without a system bus there is no client; the next
    // call tries again.
    void ensure_client() {
        if (client_ != nullptr) return;
        int error = 0;
        client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL, &AvahiCore::on_client, this,
                                   &error);
    }

    uint32_t submit_locked(const DnsServiceInstance& in, const std::string& label, const std::string& type,
                           const std::string& domain, DnsServiceCompletion done, std::shared_ptr<Entry>& out) {
        ensure_client();
        if (client_ == nullptr || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) {
            return kErrorServiceNotActive;
        }
        auto entry = std::make_shared<Entry>();
        entry->done = std::move(done);
        entry->instance_name = in.instance_name;
        AvahiEntryGroup* group = avahi_entry_group_new(client_, &AvahiCore::on_group, entry.get());
        if (group == nullptr) return code_of(avahi_client_errno(client_));

        const AvahiIfIndex iface = in.interface_index == 0 ? AVAHI_IF_UNSPEC : static_cast<AvahiIfIndex>(in.interface_index);
        // The daemon answers for its own name already.
        const char* own = avahi_client_get_host_name(client_);
        const std::string host_label = in.host_name.substr(0, in.host_name.find('.'));
        const bool own_name = own != nullptr && iequals_ascii(host_label, own);
        int r = 0;
        if (!own_name) r = add_addresses(group, in.interface_index, in.host_name);

        // The list is written to the record last entry first.
        AvahiStringList* txt = nullptr;
        for (const auto& [key, value] : in.properties) txt = avahi_string_list_add_pair(txt, key.c_str(), value.c_str());
        if (r >= 0) {
            r = avahi_entry_group_add_service_strlst(group, iface, AVAHI_PROTO_INET, AVAHI_PUBLISH_NO_COOKIE,
                                                     label.c_str(), type.c_str(), domain.c_str(),
                                                     own_name ? nullptr : in.host_name.c_str(), in.port, txt);
        }
        avahi_string_list_free(txt);
        if (r >= 0) r = avahi_entry_group_commit(group);
        if (r < 0) {
            avahi_entry_group_free(group);
            return code_of(r);
        }
        entry->group = group;
        live_.push_back(entry);
        out = std::move(entry);
        return kDnsRequestPending;
    }

    static int add_addresses(AvahiEntryGroup* group, uint32_t if_index, const std::string& host) {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) != 0) return 0;
        int r = 0;
        for (const ifaddrs* a = list; a != nullptr && r >= 0; a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
            if ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0) continue;
            const unsigned index = ::if_nametoindex(a->ifa_name);
            if (index == 0 || (if_index != 0 && index != if_index)) continue;
            AvahiAddress addr{};
            addr.proto = AVAHI_PROTO_INET;
            addr.data.ipv4.address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
            r = avahi_entry_group_add_address(group, static_cast<AvahiIfIndex>(index), AVAHI_PROTO_INET,
                                              AVAHI_PUBLISH_NO_REVERSE, host.c_str(), &addr);
        }
        ::freeifaddrs(list);
        return r;
    }

    // Every registration is gone with the daemon's state: tell each one.
    void lose_all() {
        for (auto& e : live_) {
            if (e->group == nullptr) continue;
            avahi_entry_group_free(e->group);
            e->group = nullptr;
            if (e->done) e->done(kErrorServiceNotActive, {});
        }
    }

    static void on_client(AvahiClient* c, AvahiClientState state, void* self_ptr) {
        auto* self = static_cast<AvahiCore*>(self_ptr);
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING: break;
            case AVAHI_CLIENT_FAILURE:
                self->lose_all();
                if (avahi_client_errno(c) == AVAHI_ERR_DISCONNECTED) {
                    // The daemon went away: a new client waits for it to come back.
                    avahi_client_free(c);
                    self->client_ = nullptr;
                    int error = 0;
                    self->client_ = avahi_client_new(avahi_threaded_poll_get(self->poll_), AVAHI_CLIENT_NO_FAIL,
                                                     &AvahiCore::on_client, self, &error);
                }
                break;
            case AVAHI_CLIENT_CONNECTING:
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION: self->lose_all(); break;
        }
    }

    static void on_group(AvahiEntryGroup* g, AvahiEntryGroupState state, void* entry_ptr) {
        auto* e = static_cast<Entry*>(entry_ptr);
        // The first call comes from inside avahi_entry_group_new, before the
        // entry knows its group.
        if (e->group != nullptr && e->group != g) return;
        if (!e->done) return;
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED: e->done(0, e->instance_name); break;
            case AVAHI_ENTRY_GROUP_COLLISION: e->done(kDnsErrorNameTaken, {}); break;
            case AVAHI_ENTRY_GROUP_FAILURE:
                e->done(code_of(avahi_client_errno(avahi_entry_group_get_client(g))), {});
                break;
            default: break;
        }
    }

    std::mutex start_mutex_;
    AvahiThreadedPoll* poll_ = nullptr;
    AvahiClient* client_ = nullptr;            // under the poll lock
    std::vector<std::shared_ptr<Entry>> live_;  // under the poll lock
};

class AvahiRegistration final : public IDnsServiceRegistration {
public:
    AvahiRegistration(std::shared_ptr<AvahiCore> core, std::shared_ptr<Entry> entry)
        : core_(std::move(core)), entry_(std::move(entry)) {}
    ~AvahiRegistration() override { core_->withdraw(entry_); }

private:
    std::shared_ptr<AvahiCore> core_;
    std::shared_ptr<Entry> entry_;
};

class AvahiRegistrar final : public IDnsServiceRegistrar {
public:
    uint32_t register_service(const DnsServiceInstance& instance, DnsServiceCompletion done,
                              std::unique_ptr<IDnsServiceRegistration>& out) override {
        out.reset();
        std::shared_ptr<Entry> entry;
        const uint32_t rc = core_->submit(instance, std::move(done), entry);
        if (rc == kDnsRequestPending) out = std::make_unique<AvahiRegistration>(core_, std::move(entry));
        return rc;
    }

    bool responder_available() override { return core_->available(); }

private:
    std::shared_ptr<AvahiCore> core_ = std::make_shared<AvahiCore>();
};

}  // namespace

std::unique_ptr<IDnsServiceRegistrar> make_dns_service_registrar() { return std::make_unique<AvahiRegistrar>(); }

}  // namespace sorvane::platform
