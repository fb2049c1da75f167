// DNS service registration with DnsServiceRegister: the system's multicast
// DNS responder answers for the instance. Each request's context lives until
// the system is done with it (the completion of its deregistration).
#include <windows.h>
#include <windns.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dns_sd.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

struct Context {
    DNS_SERVICE_REGISTER_REQUEST request{};
    PDNS_SERVICE_INSTANCE instance = nullptr;
    DnsServiceCompletion done;  // cleared when withdrawn
};

// Contexts the system may still call back with, by address.
std::mutex g_mutex;
std::map<Context*, std::shared_ptr<Context>> g_contexts;

void WINAPI on_registered(DWORD status, PVOID query_context, PDNS_SERVICE_INSTANCE instance) {
    std::string name;
    if (instance != nullptr) {
        if (instance->pszInstanceName != nullptr) name = win32::narrow(instance->pszInstanceName);
        DnsServiceFreeInstance(instance);
    }
    DnsServiceCompletion done;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        const auto it = g_contexts.find(static_cast<Context*>(query_context));
        if (it != g_contexts.end()) done = it->second->done;
    }
    if (done) done(static_cast<uint32_t>(status), name);
}

void release(Context* c) {
    std::shared_ptr<Context> owned;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        const auto it = g_contexts.find(c);
        if (it == g_contexts.end()) return;
        owned = std::move(it->second);
        g_contexts.erase(it);
    }
    if (owned->instance != nullptr) DnsServiceFreeInstance(owned->instance);
}

void WINAPI on_deregistered(DWORD, PVOID query_context, PDNS_SERVICE_INSTANCE instance) {
    if (instance != nullptr) DnsServiceFreeInstance(instance);
    release(static_cast<Context*>(query_context));
}

class Win32Registration final : public IDnsServiceRegistration {
public:
    explicit Win32Registration(Context* c) : c_(c) {}
    ~Win32Registration() override {
        DNS_SERVICE_REGISTER_REQUEST request{};
        {
            std::lock_guard<std::mutex> g(g_mutex);
            c_->done = nullptr;
            request = c_->request;
        }
        request.pRegisterCompletionCallback = on_deregistered;
        if (DnsServiceDeRegister(&request, nullptr) != kDnsRequestPending) release(c_);
    }

private:
    Context* c_;
};

class Win32Registrar final : public IDnsServiceRegistrar {
public:
    uint32_t register_service(const DnsServiceInstance& in, DnsServiceCompletion done,
                              std::unique_ptr<IDnsServiceRegistration>& out) override {
        out.reset();
        const std::wstring name = win32::widen(in.instance_name);
        const std::wstring host = win32::widen(in.host_name);
        std::vector<std::wstring> keys;
        std::vector<std::wstring> values;
        for (const auto& [k, v] : in.properties) {
            keys.push_back(win32::widen(k));
            values.push_back(win32::widen(v));
        }
        std::vector<PCWSTR> key_ptrs;
        std::vector<PCWSTR> value_ptrs;
        for (size_t i = 0; i < keys.size(); ++i) {
            key_ptrs.push_back(keys[i].c_str());
            value_ptrs.push_back(values[i].c_str());
        }
        auto c = std::make_shared<Context>();
        c->done = std::move(done);
        c->instance = DnsServiceConstructInstance(name.c_str(), host.c_str(), nullptr, nullptr, in.port, in.priority,
                                                  in.weight, static_cast<DWORD>(keys.size()), key_ptrs.data(),
                                                  value_ptrs.data());
        if (c->instance == nullptr) return ERROR_OUTOFMEMORY;
        c->request.Version = DNS_QUERY_REQUEST_VERSION1;
        c->request.InterfaceIndex = in.interface_index;
        c->request.pServiceInstance = c->instance;
        c->request.pRegisterCompletionCallback = on_registered;
        c->request.pQueryContext = c.get();
        c->request.hCredentials = nullptr;
        c->request.unicastEnabled = FALSE;
        Context* raw = c.get();
        {
            std::lock_guard<std::mutex> g(g_mutex);
            g_contexts[raw] = c;
        }
        const DWORD rc = DnsServiceRegister(&raw->request, nullptr);
        if (rc != kDnsRequestPending) {
            release(raw);
            return static_cast<uint32_t>(rc);
        }
        out = std::make_unique<Win32Registration>(raw);
        return kDnsRequestPending;
    }

    // The responder is part of the system.
    bool responder_available() override { return true; }
};

}  // namespace

std::unique_ptr<IDnsServiceRegistrar> make_dns_service_registrar() { return std::make_unique<Win32Registrar>(); }

}  // namespace sorvane::platform
