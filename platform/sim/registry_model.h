// The simulated registry: HKLM (64-bit view) and HKCU as trees of keys with
// typed values kept as raw bytes. Names compare by ASCII case folding and keep
// the case they were created with. Operations return Win32 error codes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/json.h"

namespace sorvane::sim {

class RegistryModel {
public:
    static constexpr const char* kName = "registry";

    uint32_t get_value(platform::RegistryHive hive, std::string_view key, std::string_view name,
                       platform::RegistryValue& out) const;
    uint32_t set_value(platform::RegistryHive hive, std::string_view key, std::string_view name,
                       const platform::RegistryValue& value);
    uint32_t delete_value(platform::RegistryHive hive, std::string_view key, std::string_view name);
    uint32_t create_key(platform::RegistryHive hive, std::string_view key);
    uint32_t delete_tree(platform::RegistryHive hive, std::string_view key);
    bool key_exists(platform::RegistryHive hive, std::string_view key) const;
    uint32_t list_subkeys(platform::RegistryHive hive, std::string_view key, std::vector<std::string>& out) const;
    uint32_t list_values(platform::RegistryHive hive, std::string_view key, std::vector<std::string>& out) const;

    // Convenience for the machine's own set-up.
    void set_sz(platform::RegistryHive hive, std::string_view key, std::string_view name, std::string_view text);
    void set_dword(platform::RegistryHive hive, std::string_view key, std::string_view name, uint32_t v);

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);

    // "HKLM" / "HKCU".
    static const char* hive_name(platform::RegistryHive hive);
    static bool parse_hive(std::string_view text, platform::RegistryHive& out);

private:
    struct Value {
        std::string name;
        platform::RegistryValue value;
    };
    struct Key {
        std::string name;
        std::map<std::string, Key> subkeys;  // by lower-case name
        std::map<std::string, Value> values;  // by lower-case name
    };
    static bool split(std::string_view path, std::vector<std::string>& parts);
    const Key* find(platform::RegistryHive hive, std::string_view path) const;
    Key* find_or_create(platform::RegistryHive hive, std::string_view path);
    Key& root(platform::RegistryHive hive) { return hive == platform::RegistryHive::local_machine ? hklm_ : hkcu_; }
    const Key& root(platform::RegistryHive hive) const {
        return hive == platform::RegistryHive::local_machine ? hklm_ : hkcu_;
    }
    static Json key_to_json(const Key& k);
    static bool key_from_json(const Json& j, Key& k, std::string& error);

    Key hklm_;
    Key hkcu_;
};

}  // namespace sorvane::sim
