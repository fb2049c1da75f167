// DNS service registration, shaped after DnsServiceRegister: the system's
// multicast DNS responder answers for a service instance the program
// describes (no fixed addresses: the responder answers with the addresses of
// the interface a query arrived on).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sorvane::platform {

// What DnsServiceRegister answers when it accepted a request.
inline constexpr uint32_t kDnsRequestPending = 9506;
// The responder is not running (a registration cannot be made, or one that
// was made is gone).
inline constexpr uint32_t kErrorServiceNotActive = 1062;
// The instance name or host name is taken by another machine.
inline constexpr uint32_t kDnsErrorNameTaken = 9017;

struct DnsServiceInstance {
    std::string instance_name;  // "<name>._<service>._tcp.local"
    std::string host_name;      // "<computer name>.local"
    uint16_t port = 0;
    uint16_t priority = 0;
    uint16_t weight = 0;
    // TXT properties, in the order they are published.
    std::vector<std::pair<std::string, std::string>> properties;
    uint32_t interface_index = 0;  // 0: every interface
};

// How a registration ended up, on a thread of the responder's client: status
// 0 and the instance name the responder took (empty when it gave none), or a
// failure. A responder that can go away (a daemon restarting) calls it again
// with kErrorServiceNotActive when the registration is lost. Never called
// after the registration was withdrawn.
using DnsServiceCompletion = std::function<void(uint32_t status, const std::string& registered_name)>;

// One accepted registration; destroying it withdraws the instance.
class IDnsServiceRegistration {
public:
    virtual ~IDnsServiceRegistration() = default;
};

class IDnsServiceRegistrar {
public:
    virtual ~IDnsServiceRegistrar() = default;
    // Submits instance. kDnsRequestPending when the request was accepted (out
    // then holds the registration), else the failure code and out is empty.
    // done must not call back into the registrar or its registrations.
    virtual uint32_t register_service(const DnsServiceInstance& instance, DnsServiceCompletion done,
                                      std::unique_ptr<IDnsServiceRegistration>& out) = 0;
    // Whether the responder takes registrations now. Windows' responder is
    // part of the system and always does; a daemon may be stopped or
    // restarting.
    virtual bool responder_available() = 0;
};

// Windows: DnsServiceRegister. Linux: the Avahi daemon on the system D-Bus.
std::unique_ptr<IDnsServiceRegistrar> make_dns_service_registrar();

}  // namespace sorvane::platform
