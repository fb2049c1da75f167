// Firewall policy port, shaped after the firewall policy COM interfaces:
// the rule collection of the machine and the switches of each profile.
// Calls return an HRESULT (0 on success).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::platform {

struct FirewallRuleSpec {
    std::string name;
    std::string description;
    std::string grouping;
    std::string application;
    int32_t protocol = 256;  // 6 TCP, 17 UDP, 256 any
    std::string local_ports;
    std::string remote_addresses = "*";
    int32_t profiles = 0x7FFFFFFF;  // 1 domain, 2 private, 4 public
    int32_t direction = 1;           // 1 inbound, 2 outbound
    int32_t action = 1;              // 0 block, 1 allow
    bool enabled = true;
    std::string service_name;  // the Windows service the rule is for; empty for none
};

// Profile bits of rules and profile queries.
inline constexpr int32_t kFirewallProfileDomain = 1;
inline constexpr int32_t kFirewallProfilePrivate = 2;
inline constexpr int32_t kFirewallProfilePublic = 4;
inline constexpr int32_t kFirewallProfilesAll = 0x7FFFFFFF;

// The switches of one profile.
struct FirewallProfileState {
    bool enabled = true;
    bool default_inbound_block = true;  // the default inbound action is block
    bool block_all_inbound = false;     // "block all incoming connections", rules included
};

class IFirewallPolicy {
public:
    virtual ~IFirewallPolicy() = default;
    // Creates the policy object and gets its rule collection.
    virtual uint32_t open() = 0;
    virtual uint32_t add_rule(const FirewallRuleSpec& rule) = 0;
    // Removes one rule of that name.
    virtual uint32_t remove_rule(std::string_view name) = 0;
    // 0 when a rule of that name exists, 2 (not found) when none.
    virtual uint32_t find_rule(std::string_view name) = 0;
    virtual uint32_t list_rules(std::vector<FirewallRuleSpec>& out) = 0;
    // The switches of one profile (kFirewallProfileDomain, ...Private or ...Public).
    virtual uint32_t profile_state(int32_t profile, FirewallProfileState& out) = 0;
    // The profiles in effect now (a mask of the profile bits: those of the
    // connected networks).
    virtual uint32_t current_profiles(int32_t& out) = 0;
};

std::unique_ptr<IFirewallPolicy> make_firewall_policy();

}  // namespace sorvane::platform
