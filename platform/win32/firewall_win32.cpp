// The firewall policy (INetFwPolicy2): the profiles' switches and the rule
// collection. Each call joins the multithreaded apartment for its duration.
#include <windows.h>
#include <netfw.h>
#include <objbase.h>
#include <oleauto.h>

#include "platform/firewall.h"
#include "platform/win32/com.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

using win32::ComScope;
using win32::Released;

class Bstr {
public:
    explicit Bstr(const std::string& utf8) : b_(SysAllocString(win32::widen(utf8).c_str())) {}
    Bstr() = default;
    ~Bstr() { SysFreeString(b_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return b_; }
    BSTR* out() { return &b_; }
    std::string text() const { return b_ == nullptr ? std::string() : win32::narrow(b_); }

private:
    BSTR b_ = nullptr;
};

HRESULT open_policy(Released<INetFwPolicy2>& policy) {
    return CoCreateInstance(__uuidof(NetFwPolicy2), nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                            reinterpret_cast<void**>(&policy.p));
}

HRESULT open_rules(Released<INetFwPolicy2>& policy, Released<INetFwRules>& rules) {
    HRESULT hr = open_policy(policy);
    if (FAILED(hr)) return hr;
    return policy.p->get_Rules(&rules.p);
}

void read_rule(INetFwRule* r, FirewallRuleSpec& x) {
    Bstr name, description, grouping, application, ports, remote, service;
    r->get_Name(name.out());
    r->get_Description(description.out());
    r->get_Grouping(grouping.out());
    r->get_ApplicationName(application.out());
    r->get_LocalPorts(ports.out());
    r->get_RemoteAddresses(remote.out());
    r->get_ServiceName(service.out());
    x.name = name.text();
    x.description = description.text();
    x.grouping = grouping.text();
    x.application = application.text();
    x.local_ports = ports.text();
    x.remote_addresses = remote.text();
    x.service_name = service.text();
    LONG protocol = 256;
    LONG profiles = kFirewallProfilesAll;
    NET_FW_RULE_DIRECTION direction = NET_FW_RULE_DIR_IN;
    NET_FW_ACTION action = NET_FW_ACTION_ALLOW;
    VARIANT_BOOL enabled = VARIANT_FALSE;
    r->get_Protocol(&protocol);
    r->get_Profiles(&profiles);
    r->get_Direction(&direction);
    r->get_Action(&action);
    r->get_Enabled(&enabled);
    x.protocol = protocol;
    x.profiles = profiles;
    x.direction = direction == NET_FW_RULE_DIR_IN ? 1 : 2;
    x.action = action == NET_FW_ACTION_ALLOW ? 1 : 0;
    x.enabled = enabled != VARIANT_FALSE;
}

class Win32Firewall final : public IFirewallPolicy {
public:
    uint32_t open() override {
        ComScope com;
        Released<INetFwPolicy2> policy;
        Released<INetFwRules> rules;
        return static_cast<uint32_t>(open_rules(policy, rules));
    }

    uint32_t add_rule(const FirewallRuleSpec& wanted) override {
        ComScope com;
        Released<INetFwPolicy2> policy;
        Released<INetFwRules> rules;
        HRESULT hr = open_rules(policy, rules);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        Released<INetFwRule> r;
        hr = CoCreateInstance(__uuidof(NetFwRule), nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwRule),
                              reinterpret_cast<void**>(&r.p));
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        const Bstr name(wanted.name), description(wanted.description), grouping(wanted.grouping),
            application(wanted.application), ports(wanted.local_ports), remote(wanted.remote_addresses);
        r.p->put_Name(name.get());
        r.p->put_Description(description.get());
        r.p->put_Grouping(grouping.get());
        if (!wanted.application.empty()) r.p->put_ApplicationName(application.get());
        r.p->put_Protocol(wanted.protocol);
        if (!wanted.local_ports.empty()) r.p->put_LocalPorts(ports.get());
        r.p->put_RemoteAddresses(remote.get());
        r.p->put_Profiles(wanted.profiles);
        r.p->put_Direction(wanted.direction == 1 ? NET_FW_RULE_DIR_IN : NET_FW_RULE_DIR_OUT);
        r.p->put_Action(wanted.action == 1 ? NET_FW_ACTION_ALLOW : NET_FW_ACTION_BLOCK);
        r.p->put_Enabled(wanted.enabled ? VARIANT_TRUE : VARIANT_FALSE);
        if (!wanted.service_name.empty()) {
            const Bstr service(wanted.service_name);
            r.p->put_ServiceName(service.get());
        }
        return static_cast<uint32_t>(rules.p->Add(r.p));
    }

    uint32_t remove_rule(std::string_view name) override {
        ComScope com;
        Released<INetFwPolicy2> policy;
        Released<INetFwRules> rules;
        HRESULT hr = open_rules(policy, rules);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        const Bstr n{std::string(name)};
        return static_cast<uint32_t>(rules.p->Remove(n.get()));
    }

    uint32_t find_rule(std::string_view name) override {
        ComScope com;
        Released<INetFwPolicy2> policy;
        Released<INetFwRules> rules;
        HRESULT hr = open_rules(policy, rules);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        const Bstr n{std::string(name)};
        Released<INetFwRule> r;
        hr = rules.p->Item(n.get(), &r.p);
        return SUCCEEDED(hr) ? 0 : ERROR_FILE_NOT_FOUND;
    }

    uint32_t list_rules(std::vector<FirewallRuleSpec>& out) override {
        out.clear();
        ComScope com;
        Released<INetFwPolicy2> policy;
        Released<INetFwRules> rules;
        HRESULT hr = open_rules(policy, rules);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        Released<IUnknown> unknown;
        hr = rules.p->get__NewEnum(&unknown.p);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        Released<IEnumVARIANT> list;
        hr = unknown.p->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&list.p));
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        for (;;) {
            VARIANT v;
            VariantInit(&v);
            ULONG fetched = 0;
            hr = list.p->Next(1, &v, &fetched);
            if (hr != S_OK || fetched == 0) break;
            Released<INetFwRule> r;
            if (v.vt == VT_DISPATCH && v.pdispVal != nullptr &&
                SUCCEEDED(v.pdispVal->QueryInterface(__uuidof(INetFwRule), reinterpret_cast<void**>(&r.p)))) {
                FirewallRuleSpec x;
                read_rule(r.p, x);
                out.push_back(std::move(x));
            }
            VariantClear(&v);
        }
        if (FAILED(hr)) {
            out.clear();
            return static_cast<uint32_t>(hr);
        }
        return 0;
    }

    uint32_t current_profiles(int32_t& out) override {
        out = 0;
        ComScope com;
        Released<INetFwPolicy2> policy;
        HRESULT hr = open_policy(policy);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        LONG mask = 0;
        hr = policy.p->get_CurrentProfileTypes(&mask);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        out = mask;
        return 0;
    }

    uint32_t profile_state(int32_t profile, FirewallProfileState& out) override {
        NET_FW_PROFILE_TYPE2 type;
        switch (profile) {
            case kFirewallProfileDomain: type = NET_FW_PROFILE2_DOMAIN; break;
            case kFirewallProfilePrivate: type = NET_FW_PROFILE2_PRIVATE; break;
            case kFirewallProfilePublic: type = NET_FW_PROFILE2_PUBLIC; break;
            default: return static_cast<uint32_t>(E_INVALIDARG);
        }
        ComScope com;
        Released<INetFwPolicy2> policy;
        HRESULT hr = open_policy(policy);
        if (FAILED(hr)) return static_cast<uint32_t>(hr);
        VARIANT_BOOL enabled = VARIANT_FALSE;
        VARIANT_BOOL block_all = VARIANT_FALSE;
        NET_FW_ACTION inbound = NET_FW_ACTION_BLOCK;
        if (FAILED(hr = policy.p->get_FirewallEnabled(type, &enabled))) return static_cast<uint32_t>(hr);
        if (FAILED(hr = policy.p->get_DefaultInboundAction(type, &inbound))) return static_cast<uint32_t>(hr);
        if (FAILED(hr = policy.p->get_BlockAllInboundTraffic(type, &block_all))) return static_cast<uint32_t>(hr);
        out.enabled = enabled != VARIANT_FALSE;
        out.default_inbound_block = inbound == NET_FW_ACTION_BLOCK;
        out.block_all_inbound = block_all != VARIANT_FALSE;
        return 0;
    }
};

}  // namespace

std::unique_ptr<IFirewallPolicy> make_firewall_policy() { return std::make_unique<Win32Firewall>(); }

}  // namespace sorvane::platform
