// Certificate stores, the machine's key store, file access lists and the
// firewall of the simulated machine.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/json.h"

namespace sorvane::sim {

inline constexpr const char* kStoreRoot = "LocalMachine\\ROOT";
inline constexpr const char* kStoreTrustedPublisher = "LocalMachine\\TrustedPublisher";
inline constexpr const char* kStoreMy = "CurrentUser\\MY";

struct StoredCert {
    std::string thumbprint;  // SHA-1, 40 upper-case hex digits
    std::string simple_name;
    std::vector<uint8_t> der;
};

class CertificateModel {
public:
    static constexpr const char* kName = "certificates";

    // Store name ("LocalMachine\ROOT", ...) -> certificates in enumeration order.
    std::map<std::string, std::vector<StoredCert>> stores;

    // Adds (replacing an entry with the same thumbprint). False when der is
    // not a certificate.
    bool add(const std::string& store, const std::vector<uint8_t>& der);
    bool remove(const std::string& store, std::string_view thumbprint);
    const StoredCert* find(const std::string& store, std::string_view thumbprint) const;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

struct StoredKey {
    std::string name;
    bool machine = true;
    std::string algorithm = "RSA";
    uint32_t length = 0;
    bool finalized = false;
    bool exportable = false;
    std::string pem;  // PKCS#8, once finalized
};

// The keys of the software key storage provider.
class KeyModel {
public:
    static constexpr const char* kName = "keys";

    std::vector<StoredKey> keys;

    StoredKey* find(std::string_view name, bool machine);
    bool remove(std::string_view name, bool machine);

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

// Access lists set on files and folders, by the canonical path of each. A
// list belongs to its folder: it records the folder's identity (device,
// inode, birth time), and a folder removed or replaced leaves no list behind
// for what later stands at its path.
class AclModel {
public:
    static constexpr const char* kName = "acls";

    struct Entry {
        bool inheritance_disabled = false;
        std::vector<std::string> grants;  // as written, like "*S-1-5-19:(OI)(CI)M"
        std::string folder_id;            // the folder's identity when the list was set
    };
    std::map<std::string, Entry> entries;

    // Drops the entries of path and everything below it.
    void remove_tree(const std::string& path);
    // Drops the entries whose folder is gone: id_of gives the identity of what
    // is at a path now ("" for nothing).
    void prune(const std::function<std::string(const std::string& path)>& id_of);

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

struct FirewallRule {
    std::string name;
    std::string description;
    std::string grouping;
    std::string application;
    int32_t protocol = 256;  // any
    std::string local_ports;
    std::string remote_addresses = "*";
    int32_t profiles = 0x7FFFFFFF;
    int32_t direction = 1;  // 1 inbound, 2 outbound
    int32_t action = 1;     // 0 block, 1 allow
    bool enabled = true;
    std::string service_name;
};

// The switches of one firewall profile.
struct FirewallProfileSwitches {
    bool enabled = true;
    bool default_inbound_block = true;
    bool block_all_inbound = false;
};

class FirewallModel {
public:
    static constexpr const char* kName = "firewall";

    std::vector<FirewallRule> rules;
    // Domain, Private, Public (the profile bits 1, 2, 4).
    FirewallProfileSwitches profiles[3];

    // The switches of the profile with bit (1, 2 or 4); null for any other value.
    FirewallProfileSwitches* profile(int32_t bit);
    const FirewallProfileSwitches* profile(int32_t bit) const;

    // Removes the first rule named name (case-insensitive); false when none.
    bool remove_one(std::string_view name);
    bool exists(std::string_view name) const;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

}  // namespace sorvane::sim
