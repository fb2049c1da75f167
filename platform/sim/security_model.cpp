#include "platform/sim/security_model.h"

#include "common/text.h"
#include "platform/pkix.h"

namespace sorvane::sim {

namespace {

// The firewall's profiles in the order of FirewallModel::profiles.
const char* const kProfileNames[3] = {"domain", "private", "public"};

}  // namespace

bool CertificateModel::add(const std::string& store, const std::vector<uint8_t>& der) {
    StoredCert c;
    c.thumbprint = platform::certificate_thumbprint(der);
    platform::CertificateFacts facts;
    if (c.thumbprint.empty() || !platform::certificate_facts(der, facts)) return false;
    c.simple_name = facts.simple_name;
    c.der = der;
    auto& list = stores[store];
    for (auto& e : list) {
        if (e.thumbprint == c.thumbprint) {
            e = std::move(c);
            return true;
        }
    }
    list.push_back(std::move(c));
    return true;
}

bool CertificateModel::remove(const std::string& store, std::string_view thumbprint) {
    auto it = stores.find(store);
    if (it == stores.end()) return false;
    auto& list = it->second;
    for (auto c = list.begin(); c != list.end(); ++c) {
        if (c->thumbprint == thumbprint) {
            list.erase(c);
            return true;
        }
    }
    return false;
}

const StoredCert* CertificateModel::find(const std::string& store, std::string_view thumbprint) const {
    const auto it = stores.find(store);
    if (it == stores.end()) return nullptr;
    for (const auto& c : it->second)
        if (c.thumbprint == thumbprint) return &c;
    return nullptr;
}

Json CertificateModel::to_json() const {
    Json j = Json::object();
    for (const auto& [store, list] : stores) {
        if (list.empty()) continue;  // an empty store reads the same as none
        Json arr = Json::array();
        for (const auto& c : list) {
            Json e = Json::object();
            e["thumbprint"] = c.thumbprint;
            e["simple_name"] = c.simple_name;
            e["der"] = to_hex(c.der.data(), c.der.size());
            arr.push(std::move(e));
        }
        j[store] = arr;
    }
    return j;
}

bool CertificateModel::from_json(const Json& j, std::string& error) {
    stores.clear();
    for (const auto& [store, arr] : j.members()) {
        auto& list = stores[store];
        for (const auto& e : arr.items()) {
            StoredCert c;
            c.thumbprint = e.get("thumbprint").as_string();
            c.simple_name = e.get("simple_name").as_string();
            const std::string& hex = e.get("der").as_string();
            c.der.resize(hex.size() / 2);
            if (hex.size() % 2 != 0 || !from_hex(hex, c.der.data(), c.der.size())) {
                error = "certificates: bad der in " + store;
                return false;
            }
            list.push_back(std::move(c));
        }
    }
    return true;
}

StoredKey* KeyModel::find(std::string_view name, bool machine) {
    for (auto& k : keys)
        if (k.name == name && k.machine == machine) return &k;
    return nullptr;
}

bool KeyModel::remove(std::string_view name, bool machine) {
    for (auto it = keys.begin(); it != keys.end(); ++it) {
        if (it->name == name && it->machine == machine) {
            keys.erase(it);
            return true;
        }
    }
    return false;
}

Json KeyModel::to_json() const {
    Json arr = Json::array();
    for (const auto& k : keys) {
        Json e = Json::object();
        e["name"] = k.name;
        e["machine"] = k.machine;
        e["algorithm"] = k.algorithm;
        e["length"] = k.length;
        e["finalized"] = k.finalized;
        e["exportable"] = k.exportable;
        e["pem"] = k.pem;
        arr.push(std::move(e));
    }
    Json j = Json::object();
    j["keys"] = arr;
    return j;
}

bool KeyModel::from_json(const Json& j, std::string& /*error*/) {
    keys.clear();
    for (const auto& e : j.get("keys").items()) {
        StoredKey k;
        k.name = e.get("name").as_string();
        k.machine = e.get("machine").as_bool(true);
        k.algorithm = e.get("algorithm").as_string();
        k.length = static_cast<uint32_t>(e.get("length").as_int());
        k.finalized = e.get("finalized").as_bool();
        k.exportable = e.get("exportable").as_bool();
        k.pem = e.get("pem").as_string();
        keys.push_back(std::move(k));
    }
    return true;
}

void AclModel::remove_tree(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    for (auto it = entries.begin(); it != entries.end();) {
        if (it->first == p || it->first.rfind(p + "/", 0) == 0) it = entries.erase(it);
        else ++it;
    }
}

void AclModel::prune(const std::function<std::string(const std::string& path)>& id_of) {
    for (auto it = entries.begin(); it != entries.end();) {
        if (id_of(it->first) != it->second.folder_id) it = entries.erase(it);
        else ++it;
    }
}

Json AclModel::to_json() const {
    Json j = Json::object();
    for (const auto& [path, e] : entries) {
        Json je = Json::object();
        je["inheritance_disabled"] = e.inheritance_disabled;
        je["folder_id"] = e.folder_id;
        Json g = Json::array();
        for (const auto& s : e.grants) g.push(s);
        je["grants"] = g;
        j[path] = je;
    }
    return j;
}

bool AclModel::from_json(const Json& j, std::string& /*error*/) {
    entries.clear();
    for (const auto& [path, je] : j.members()) {
        Entry e;
        e.inheritance_disabled = je.get("inheritance_disabled").as_bool();
        e.folder_id = je.get("folder_id").as_string();
        for (const auto& g : je.get("grants").items()) e.grants.push_back(g.as_string());
        entries[path] = std::move(e);
    }
    return true;
}

FirewallProfileSwitches* FirewallModel::profile(int32_t bit) {
    switch (bit) {
        case 1: return &profiles[0];
        case 2: return &profiles[1];
        case 4: return &profiles[2];
        default: return nullptr;
    }
}

const FirewallProfileSwitches* FirewallModel::profile(int32_t bit) const {
    switch (bit) {
        case 1: return &profiles[0];
        case 2: return &profiles[1];
        case 4: return &profiles[2];
        default: return nullptr;
    }
}

bool FirewallModel::remove_one(std::string_view name) {
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        if (iequals_ascii(it->name, name)) {
            rules.erase(it);
            return true;
        }
    }
    return false;
}

bool FirewallModel::exists(std::string_view name) const {
    for (const auto& r : rules)
        if (iequals_ascii(r.name, name)) return true;
    return false;
}

Json FirewallModel::to_json() const {
    Json arr = Json::array();
    for (const auto& r : rules) {
        Json e = Json::object();
        e["name"] = r.name;
        e["description"] = r.description;
        e["grouping"] = r.grouping;
        e["application"] = r.application;
        e["protocol"] = r.protocol;
        e["local_ports"] = r.local_ports;
        e["remote_addresses"] = r.remote_addresses;
        e["profiles"] = r.profiles;
        e["direction"] = r.direction;
        e["action"] = r.action;
        e["enabled"] = r.enabled;
        if (!r.service_name.empty()) e["service"] = r.service_name;
        arr.push(std::move(e));
    }
    Json j = Json::object();
    j["rules"] = arr;
    for (size_t i = 0; i < 3; ++i) {
        Json p = Json::object();
        p["enabled"] = profiles[i].enabled;
        p["default_inbound"] = profiles[i].default_inbound_block ? "block" : "allow";
        p["block_all_inbound"] = profiles[i].block_all_inbound;
        j["profiles"][kProfileNames[i]] = std::move(p);
    }
    return j;
}

bool FirewallModel::from_json(const Json& j, std::string& /*error*/) {
    rules.clear();
    for (const auto& e : j.get("rules").items()) {
        FirewallRule r;
        r.name = e.get("name").as_string();
        r.description = e.get("description").as_string();
        r.grouping = e.get("grouping").as_string();
        r.application = e.get("application").as_string();
        r.protocol = static_cast<int32_t>(e.get("protocol").as_int(256));
        r.local_ports = e.get("local_ports").as_string();
        r.remote_addresses = e.get("remote_addresses").as_string();
        r.profiles = static_cast<int32_t>(e.get("profiles").as_int(0x7FFFFFFF));
        r.direction = static_cast<int32_t>(e.get("direction").as_int(1));
        r.action = static_cast<int32_t>(e.get("action").as_int(1));
        r.enabled = e.get("enabled").as_bool(true);
        r.service_name = e.get("service").as_string();
        rules.push_back(std::move(r));
    }
    for (size_t i = 0; i < 3; ++i) {
        const Json& p = j.get("profiles").get(kProfileNames[i]);
        profiles[i] = FirewallProfileSwitches{};
        if (p.is_bool()) {  // a machine written before the profiles had more than their switch
            profiles[i].enabled = p.as_bool(true);
            continue;
        }
        profiles[i].enabled = p.get("enabled").as_bool(true);
        profiles[i].default_inbound_block = p.get("default_inbound").as_string() != "allow";
        profiles[i].block_all_inbound = p.get("block_all_inbound").as_bool(false);
    }
    return true;
}

}  // namespace sorvane::sim
