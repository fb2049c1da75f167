#include "host/net/network_watcher.h"

#include <cinttypes>
#include <cstdio>

#include "common/text.h"
#include "host/core/log.h"
#include "host/net/network_profile.h"
#include "platform/system.h"

namespace sorvane {

namespace {

constexpr uint64_t kPassIntervalMs = 2'000;
constexpr uint64_t kFirewallQueryIntervalMs = 10'000;
constexpr int32_t kProtocolTcp = 6;
constexpr int32_t kProtocolAny = 256;

int category_of(int32_t list_category) {
    switch (list_category) {
        case platform::kNetworkCategoryPublic: return kCategoryPublic;
        case platform::kNetworkCategoryPrivate: return kCategoryPrivate;
        case platform::kNetworkCategoryDomain: return kCategoryDomain;
        default: return kCategoryUnknown;
    }
}

bool parse_port(std::string_view text, uint32_t& out) {
    int64_t v = 0;
    if (!parse_int_exact(text, v) || v < 0 || v > 65535) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

std::string trim(std::string_view s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return std::string(s.substr(b, e - b));
}

const platform::FirewallProfileState& profile_of(const FirewallQuery& q, int category) {
    return category == kCategoryPublic ? q.public_profile : q.private_profile;
}

}  // namespace

const char* category_name(int category) {
    switch (category) {
        case kCategoryPublic: return "Genel";
        case kCategoryPrivate: return "Ozel";
        case kCategoryDomain: return "Etki alani";
        default: return "bilinmiyor";
    }
}

bool local_ports_include(const std::string& ports, uint16_t port) {
    if (trim(ports) == "*") return true;
    size_t start = 0;
    while (start <= ports.size()) {
        size_t end = ports.find(',', start);
        if (end == std::string::npos) end = ports.size();
        const std::string item = trim(std::string_view(ports).substr(start, end - start));
        const size_t dash = item.find('-');
        uint32_t lo = 0;
        uint32_t hi = 0;
        if (dash == std::string::npos) {
            if (parse_port(item, lo) && lo == port) return true;
        } else if (parse_port(trim(item.substr(0, dash)), lo) && parse_port(trim(item.substr(dash + 1)), hi) &&
                   lo <= port && port <= hi) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool rule_applies_to_host(const FirewallRule& rule, const std::string& host_exe_lower, uint16_t port,
                          int32_t profile_bit) {
    if (!rule.enabled || !rule.inbound) return false;
    const bool all_profiles = rule.profiles == platform::kFirewallProfilesAll || rule.profiles == -1;
    if (!all_profiles && (rule.profiles & profile_bit) == 0) return false;
    if (rule.protocol != kProtocolTcp && rule.protocol != kProtocolAny) return false;
    if (!rule.application.empty()) {
        const std::string app = rule.application.find('%') != std::string::npos
                                    ? platform::expand_environment(rule.application)
                                    : rule.application;
        return ascii_lower(app) == host_exe_lower && local_ports_include(rule.local_ports, port);
    }
    if (rule.has_service) return false;
    const std::string ports = trim(rule.local_ports);
    return !ports.empty() && ports != "*" && local_ports_include(ports, port);
}

FirewallQuery query_firewall(platform::IFirewallPolicy& firewall) {
    FirewallQuery q;
    if (firewall.open() != 0) return q;
    if (firewall.profile_state(platform::kFirewallProfilePrivate, q.private_profile) != 0) return q;
    if (firewall.profile_state(platform::kFirewallProfilePublic, q.public_profile) != 0) return q;
    std::vector<platform::FirewallRuleSpec> specs;
    if (firewall.list_rules(specs) != 0) return q;
    q.rules.reserve(specs.size());
    for (const auto& s : specs) {
        FirewallRule r;
        r.enabled = s.enabled;
        r.allow = s.action == 1;
        r.inbound = s.direction == 1;
        r.profiles = s.profiles;
        r.protocol = s.protocol;
        r.application = s.application;
        r.local_ports = s.local_ports;
        r.has_service = !s.service_name.empty();
        q.rules.push_back(std::move(r));
    }
    q.known = true;
    return q;
}

BlockVerdict evaluate_blocked(const std::vector<PhysicalNetwork>& networks, const FirewallQuery& firewall,
                              const std::string& host_exe_lower, uint16_t port) {
    BlockVerdict v;
    if (!firewall.known) return v;
    for (const auto& n : networks) {
        if (n.category != kCategoryPrivate && n.category != kCategoryPublic) continue;
        const int32_t bit =
            n.category == kCategoryPublic ? platform::kFirewallProfilePublic : platform::kFirewallProfilePrivate;
        const platform::FirewallProfileState& p = profile_of(firewall, n.category);
        FirewallDetails d;
        d.category = n.category;
        d.profile_enabled = p.enabled;
        d.default_inbound_block = p.default_inbound_block;
        d.block_all_inbound = p.block_all_inbound;
        for (const auto& r : firewall.rules) {
            if (!rule_applies_to_host(r, host_exe_lower, port, bit)) continue;
            if (r.allow) {
                d.allow_rule = true;
            } else if (!r.application.empty()) {
                d.block_rule = true;
            }
        }
        const bool blocked =
            d.profile_enabled && (d.block_all_inbound || (d.default_inbound_block && (d.block_rule || !d.allow_rule)));
        if (!v.details_known) {
            v.details_known = true;
            v.details = d;
        }
        v.blocked = v.blocked || blocked;
    }
    return v;
}

std::vector<PhysicalNetwork> physical_networks(platform::INetworkInfo& net, platform::INetworkList& list) {
    std::vector<platform::NetworkConnection> connections;
    if (list.connections(connections) != 0) connections.clear();
    std::vector<PhysicalNetwork> out;
    for (const auto& a : netprofile::enumerate(net)) {
        if (a.is_virtual) continue;
        bool seen = false;
        for (const auto& n : out) seen = seen || n.adapter_name == a.adapter_name;
        if (seen) continue;
        PhysicalNetwork n;
        n.wifi = a.wifi;
        n.adapter_name = a.adapter_name;
        n.if_index = a.if_index;
        for (const auto& c : connections) {
            if (iequals_ascii(c.adapter_id, a.adapter_name)) {
                n.category = category_of(c.category);
                break;
            }
        }
        out.push_back(std::move(n));
    }
    return out;
}

std::vector<netprofile::PhysIf> physical_interfaces(const std::vector<PhysicalNetwork>& networks) {
    std::vector<netprofile::PhysIf> out;
    for (const auto& n : networks) {
        if (n.if_index == 0) continue;
        bool seen = false;
        for (const auto& p : out) seen = seen || p.if_index == n.if_index;
        if (seen) continue;
        out.push_back({n.if_index, n.adapter_name, n.category == kCategoryPublic});
    }
    return out;
}

std::string network_text(const std::vector<PhysicalNetwork>& networks) {
    if (networks.empty()) return "fiziksel ag yok";
    std::string text;
    for (const auto& n : networks) {
        if (!text.empty()) text += ", ";
        text += n.wifi ? "Wi-Fi " : "Ethernet ";
        text += category_name(n.category);
    }
    return text;
}

std::string firewall_detail_text(const BlockVerdict& verdict) {
    if (!verdict.details_known) return {};
    const FirewallDetails& d = verdict.details;
    std::string text = "; ";
    text += category_name(d.category);
    text += " profilde sorvane-host.exe izni: ";
    if (d.block_all_inbound) {
        text += "GELEN TUMU ENGELLI";
    } else if (d.block_rule) {
        text += "ENGELLE kurali";
    } else if (d.allow_rule) {
        text += "var";
    } else {
        text += "yok";
    }
    if (!d.profile_enabled) text += " (guvenlik duvari kapali)";
    return text;
}

NetworkWatcher::NetworkWatcher(NetworkWatcherPorts ports, std::string host_exe, uint16_t port)
    : ports_(ports), host_exe_lower_(ascii_lower(host_exe)), port_(port) {}

NetworkWatcher::~NetworkWatcher() { stop_network_watcher(); }

void NetworkWatcher::start_network_watcher() {
    std::lock_guard<std::mutex> g(mutex_);
    if (thread_.joinable()) return;
    stop_ = false;
    thread_ = std::thread([this] { loop(); });
}

void NetworkWatcher::stop_network_watcher() {
    std::thread t;
    {
        std::lock_guard<std::mutex> g(mutex_);
        stop_ = true;
        t = std::move(thread_);
    }
    cv_.notify_all();
    if (t.joinable()) t.join();
}

NetworkSnapshot NetworkWatcher::network_snapshot() const {
    std::lock_guard<std::mutex> g(mutex_);
    return snapshot_;
}

std::vector<netprofile::PhysIf> NetworkWatcher::physical_interfaces() {
    return sorvane::physical_interfaces(physical_networks(*ports_.network, *ports_.network_list));
}

void NetworkWatcher::set_network_change_callback(InterfacesCallback cb) {
    std::lock_guard<std::mutex> g(mutex_);
    on_change_ = std::move(cb);
}

void NetworkWatcher::set_pass_callback(std::function<void()> cb) {
    std::lock_guard<std::mutex> g(mutex_);
    on_pass_ = std::move(cb);
}

bool NetworkWatcher::open_network_settings(bool wifi) {
    const int64_t rc = ports_.shell->open(wifi ? "ms-settings:network-wifi" : "ms-settings:network-ethernet");
    const bool ok = rc > 32;
    log("[net] ag ayarlari acildi (%s): %s", wifi ? "Wi-Fi" : "Ethernet", ok ? "ok" : "HATA");
    return ok;
}

void NetworkWatcher::run_pass() {
    std::lock_guard<std::mutex> pass(pass_mutex_);
    const std::vector<PhysicalNetwork> networks = physical_networks(*ports_.network, *ports_.network_list);

    BlockVerdict verdict;
    if (!networks.empty()) {
        const uint64_t now = ports_.clock->now_ms();
        if (!firewall_queried_ || now - firewall_queried_at_ >= kFirewallQueryIntervalMs) {
            firewall_ = query_firewall(*ports_.firewall);
            firewall_queried_ = true;
            firewall_queried_at_ = now;
        }
        verdict = evaluate_blocked(networks, firewall_, host_exe_lower_, port_);
        if (blocked_now_ && !verdict.blocked) {
            log("[net] guvenlik duvari engeli kalkti; uyari bu calisma boyunca kalir");
        }
        blocked_now_ = verdict.blocked;
        blocked_ = blocked_ || verdict.blocked;
    }

    const std::string text = network_text(networks);
    if (!logged_ || text != logged_text_ || blocked_ != logged_blocked_) {
        log("[net] ag turu: %s%s; guvenlik duvari engeli %s", text.c_str(), firewall_detail_text(verdict).c_str(),
            blocked_ ? "ACIK" : "kapali");
        logged_ = true;
        logged_text_ = text;
        logged_blocked_ = blocked_;
    }

    std::vector<netprofile::PhysIf> interfaces = sorvane::physical_interfaces(networks);
    InterfacesCallback on_change;
    std::function<void()> on_pass;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (interfaces != last_interfaces_) on_change = on_change_;
        on_pass = on_pass_;
        NetworkSnapshot& s = snapshot_;
        s.valid = true;
        s.networks = networks;
        s.any_public = false;
        s.public_is_wifi = true;
        for (const auto& n : networks) {
            if (n.category != kCategoryPublic) continue;
            s.public_is_wifi = n.wifi;
            s.any_public = true;
            break;
        }
        s.details_known = verdict.details_known;
        s.details = verdict.details;
        s.blocked = blocked_;
        s.blocked_now = blocked_now_;
        if (s.blocked && s.first_blocked_at.empty()) {
            const platform::CivilTime t = ports_.clock->local_time(ports_.clock->wall_ms());
            char buf[32];
            std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", t.year % 10000, t.month % 100,
                          t.day % 100, t.hour % 100, t.minute % 100, t.second % 100);
            s.first_blocked_at = buf;
        }
    }
    if (interfaces != last_interfaces_) {
        last_interfaces_ = interfaces;
        if (on_change) on_change(interfaces);
    }
    if (on_pass) on_pass();
}

void NetworkWatcher::loop() {
    for (;;) {
        run_pass();
        std::unique_lock<std::mutex> lock(mutex_);
        if (stop_) return;
        ports_.clock->wait_until(lock, cv_, ports_.clock->now_ms() + kPassIntervalMs, [this] { return stop_; });
        if (stop_) return;
    }
}

}  // namespace sorvane
