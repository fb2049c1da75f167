#include "platform/sim/registry_model.h"

#include "common/text.h"
#include "platform/win_error.h"

namespace sorvane::sim {

using platform::RegistryHive;
using platform::RegistryValue;

const char* RegistryModel::hive_name(RegistryHive hive) {
    return hive == RegistryHive::local_machine ? "HKLM" : "HKCU";
}

bool RegistryModel::parse_hive(std::string_view text, RegistryHive& out) {
    const std::string t = ascii_lower(text);
    if (t == "hklm" || t == "hkey_local_machine") {
        out = RegistryHive::local_machine;
        return true;
    }
    if (t == "hkcu" || t == "hkey_current_user") {
        out = RegistryHive::current_user;
        return true;
    }
    return false;
}

bool RegistryModel::split(std::string_view path, std::vector<std::string>& parts) {
    parts.clear();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty()) parts.emplace_back(part);
        start = end + 1;
    }
    return true;
}

const RegistryModel::Key* RegistryModel::find(RegistryHive hive, std::string_view path) const {
    std::vector<std::string> parts;
    split(path, parts);
    const Key* k = &root(hive);
    for (const auto& p : parts) {
        const auto it = k->subkeys.find(ascii_lower(p));
        if (it == k->subkeys.end()) return nullptr;
        k = &it->second;
    }
    return k;
}

RegistryModel::Key* RegistryModel::find_or_create(RegistryHive hive, std::string_view path) {
    std::vector<std::string> parts;
    split(path, parts);
    Key* k = &root(hive);
    for (const auto& p : parts) {
        Key& child = k->subkeys[ascii_lower(p)];
        if (child.name.empty()) child.name = p;
        k = &child;
    }
    return k;
}

uint32_t RegistryModel::get_value(RegistryHive hive, std::string_view key, std::string_view name,
                                  RegistryValue& out) const {
    const Key* k = find(hive, key);
    if (k == nullptr) return platform::kErrorFileNotFound;
    const auto it = k->values.find(ascii_lower(name));
    if (it == k->values.end()) return platform::kErrorFileNotFound;
    out = it->second.value;
    return platform::kErrorSuccess;
}

uint32_t RegistryModel::set_value(RegistryHive hive, std::string_view key, std::string_view name,
                                  const RegistryValue& value) {
    Key* k = find_or_create(hive, key);
    Value& v = k->values[ascii_lower(name)];
    if (v.name.empty()) v.name = name;
    v.value = value;
    return platform::kErrorSuccess;
}

uint32_t RegistryModel::delete_value(RegistryHive hive, std::string_view key, std::string_view name) {
    const Key* ck = find(hive, key);
    if (ck == nullptr) return platform::kErrorFileNotFound;
    Key* k = const_cast<Key*>(ck);
    return k->values.erase(ascii_lower(name)) == 1 ? platform::kErrorSuccess : platform::kErrorFileNotFound;
}

uint32_t RegistryModel::create_key(RegistryHive hive, std::string_view key) {
    find_or_create(hive, key);
    return platform::kErrorSuccess;
}

uint32_t RegistryModel::delete_tree(RegistryHive hive, std::string_view key) {
    std::vector<std::string> parts;
    split(key, parts);
    if (parts.empty()) return platform::kErrorAccessDenied;  // the hive root itself
    const std::string last = ascii_lower(parts.back());
    parts.pop_back();
    Key* k = &root(hive);
    for (const auto& p : parts) {
        const auto it = k->subkeys.find(ascii_lower(p));
        if (it == k->subkeys.end()) return platform::kErrorFileNotFound;
        k = &it->second;
    }
    return k->subkeys.erase(last) == 1 ? platform::kErrorSuccess : platform::kErrorFileNotFound;
}

bool RegistryModel::key_exists(RegistryHive hive, std::string_view key) const { return find(hive, key) != nullptr; }

uint32_t RegistryModel::list_subkeys(RegistryHive hive, std::string_view key, std::vector<std::string>& out) const {
    out.clear();
    const Key* k = find(hive, key);
    if (k == nullptr) return platform::kErrorFileNotFound;
    for (const auto& [lower, child] : k->subkeys) out.push_back(child.name);
    return platform::kErrorSuccess;
}

uint32_t RegistryModel::list_values(RegistryHive hive, std::string_view key, std::vector<std::string>& out) const {
    out.clear();
    const Key* k = find(hive, key);
    if (k == nullptr) return platform::kErrorFileNotFound;
    for (const auto& [lower, v] : k->values) out.push_back(v.name);
    return platform::kErrorSuccess;
}

void RegistryModel::set_sz(RegistryHive hive, std::string_view key, std::string_view name, std::string_view text) {
    set_value(hive, key, name, platform::reg_sz(text));
}

void RegistryModel::set_dword(RegistryHive hive, std::string_view key, std::string_view name, uint32_t v) {
    set_value(hive, key, name, platform::reg_dword(v));
}

namespace {

const char* type_name(uint32_t type) {
    switch (type) {
        case platform::kRegSz: return "REG_SZ";
        case platform::kRegBinary: return "REG_BINARY";
        case platform::kRegDword: return "REG_DWORD";
        case platform::kRegMultiSz: return "REG_MULTI_SZ";
        default: return nullptr;
    }
}

}  // namespace

Json RegistryModel::key_to_json(const Key& k) {
    Json j = Json::object();
    if (!k.subkeys.empty()) {
        Json& keys = j["keys"];
        for (const auto& [lower, child] : k.subkeys) keys[child.name] = key_to_json(child);
    }
    if (!k.values.empty()) {
        Json& values = j["values"];
        for (const auto& [lower, v] : k.values) {
            Json jv = Json::object();
            const char* tn = type_name(v.value.type);
            jv["type"] = tn != nullptr ? Json(tn) : Json(v.value.type);
            jv["data"] = to_hex(v.value.data.data(), v.value.data.size());
            // A readable rendering beside the exact bytes (ignored when read back).
            std::string s;
            std::vector<std::string> list;
            uint32_t d = 0;
            if (platform::read_sz(v.value, s)) {
                jv["text"] = s;
            } else if (platform::read_multi_sz(v.value, list)) {
                Json arr = Json::array();
                for (auto& item : list) arr.push(item);
                jv["text"] = arr;
            } else if (platform::read_dword(v.value, d)) {
                jv["text"] = d;
            }
            values[v.name] = jv;
        }
    }
    return j;
}

bool RegistryModel::key_from_json(const Json& j, Key& k, std::string& error) {
    if (!j.is_object()) {
        error = "registry: key is not an object";
        return false;
    }
    for (const auto& [name, child] : j.get("keys").members()) {
        Key sub;
        sub.name = name;
        if (!key_from_json(child, sub, error)) return false;
        k.subkeys[ascii_lower(name)] = std::move(sub);
    }
    for (const auto& [name, jv] : j.get("values").members()) {
        Value v;
        v.name = name;
        const Json& t = jv.get("type");
        if (t.is_integer()) {
            v.value.type = static_cast<uint32_t>(t.as_int());
        } else {
            const std::string& tn = t.as_string();
            if (tn == "REG_SZ") v.value.type = platform::kRegSz;
            else if (tn == "REG_BINARY") v.value.type = platform::kRegBinary;
            else if (tn == "REG_DWORD") v.value.type = platform::kRegDword;
            else if (tn == "REG_MULTI_SZ") v.value.type = platform::kRegMultiSz;
            else {
                error = "registry: value " + name + " has an unknown type";
                return false;
            }
        }
        const std::string& hex = jv.get("data").as_string();
        v.value.data.resize(hex.size() / 2);
        if (hex.size() % 2 != 0 || !from_hex(hex, v.value.data.data(), v.value.data.size())) {
            error = "registry: value " + name + " has bad data";
            return false;
        }
        k.values[ascii_lower(name)] = std::move(v);
    }
    return true;
}

Json RegistryModel::to_json() const {
    Json j = Json::object();
    j["HKLM"] = key_to_json(hklm_);
    j["HKCU"] = key_to_json(hkcu_);
    return j;
}

bool RegistryModel::from_json(const Json& j, std::string& error) {
    RegistryModel m;
    if (j.has("HKLM") && !key_from_json(j.get("HKLM"), m.hklm_, error)) return false;
    if (j.has("HKCU") && !key_from_json(j.get("HKCU"), m.hkcu_, error)) return false;
    *this = std::move(m);
    return true;
}

}  // namespace sorvane::sim
