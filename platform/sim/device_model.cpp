#include "platform/sim/device_model.h"

#include <cstdio>

#include "common/text.h"
#include "platform/registry.h"

namespace sorvane::sim {

std::vector<std::string> DeviceNode::hardware_id_list() const {
    std::vector<std::string> out;
    if (!has_hardware_ids) return out;
    size_t start = 0;
    for (size_t i = 0; i + 1 < hardware_ids.size(); i += 2) {
        if (hardware_ids[i] == 0 && hardware_ids[i + 1] == 0) {
            if (i == start) return out;
            out.push_back(platform::utf16le_to_utf8(hardware_ids.data() + start, i - start));
            start = i + 2;
        }
    }
    const size_t end = hardware_ids.size() & ~static_cast<size_t>(1);
    if (start < end) out.push_back(platform::utf16le_to_utf8(hardware_ids.data() + start, end - start));
    return out;
}

DeviceNode* DeviceModel::find(std::string_view id) {
    for (auto& n : nodes)
        if (iequals_ascii(n.instance_id, id)) return &n;
    return nullptr;
}

const DeviceNode* DeviceModel::find(std::string_view id) const {
    for (const auto& n : nodes)
        if (iequals_ascii(n.instance_id, id)) return &n;
    return nullptr;
}

bool DeviceModel::remove(std::string_view id) {
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        if (iequals_ascii(it->instance_id, id)) {
            nodes.erase(it);
            return true;
        }
    }
    return false;
}

std::string DeviceModel::free_root_instance_id(std::string_view class_name) const {
    std::string cls;
    for (char c : class_name) cls += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    for (unsigned n = 0;; ++n) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%04u", n);
        std::string id = "ROOT\\" + cls + "\\" + buf;
        if (find(id) == nullptr) return id;
    }
}

Json DeviceModel::to_json() const {
    Json arr = Json::array();
    for (const auto& n : nodes) {
        Json j = Json::object();
        j["instance_id"] = n.instance_id;
        j["class"] = n.class_name;
        j["class_guid"] = n.class_guid;
        if (n.has_hardware_ids) {
            j["hardware_ids"]["data"] = to_hex(n.hardware_ids.data(), n.hardware_ids.size());
            Json list = Json::array();
            for (const auto& h : n.hardware_id_list()) list.push(h);
            j["hardware_ids"]["text"] = list;
        }
        j["description"] = n.description;
        j["manufacturer"] = n.manufacturer;
        j["service"] = n.service;
        j["present"] = n.present;
        j["problem"] = n.problem;
        j["started"] = n.started;
        j["driver_package"] = n.driver_package;
        if (n.driver_host != 0) {
            j["driver_host"]["pid"] = n.driver_host;
            j["driver_host"]["adapter"] = n.driver_adapter;
        }
        arr.push(std::move(j));
    }
    Json j = Json::object();
    j["nodes"] = arr;
    return j;
}

bool DeviceModel::from_json(const Json& j, std::string& error) {
    nodes.clear();
    for (const auto& jn : j.get("nodes").items()) {
        DeviceNode n;
        n.instance_id = jn.get("instance_id").as_string();
        n.class_name = jn.get("class").as_string();
        n.class_guid = jn.get("class_guid").as_string();
        if (jn.has("hardware_ids")) {
            n.has_hardware_ids = true;
            const std::string& hex = jn.get("hardware_ids").get("data").as_string();
            n.hardware_ids.resize(hex.size() / 2);
            if (hex.size() % 2 != 0 || !from_hex(hex, n.hardware_ids.data(), n.hardware_ids.size())) {
                error = "devices: bad hardware ids of " + n.instance_id;
                return false;
            }
        }
        n.description = jn.get("description").as_string();
        n.manufacturer = jn.get("manufacturer").as_string();
        n.service = jn.get("service").as_string();
        n.present = jn.get("present").as_bool(true);
        n.problem = static_cast<uint32_t>(jn.get("problem").as_int());
        n.started = jn.get("started").as_bool();
        n.driver_package = jn.get("driver_package").as_string();
        n.driver_host = static_cast<uint32_t>(jn.get("driver_host").get("pid").as_int());
        n.driver_adapter = jn.get("driver_host").get("adapter").as_string();
        nodes.push_back(std::move(n));
    }
    return true;
}

DriverPackage* DriverStoreModel::find(std::string_view published) {
    for (auto& p : packages)
        if (iequals_ascii(p.published_name, published)) return &p;
    return nullptr;
}

std::string DriverStoreModel::free_published_name() const {
    for (unsigned n = 0;; ++n) {
        const std::string name = "oem" + std::to_string(n) + ".inf";
        bool used = false;
        for (const auto& p : packages) used = used || iequals_ascii(p.published_name, name);
        if (!used) return name;
    }
}

Json DriverStoreModel::to_json() const {
    Json arr = Json::array();
    for (const auto& p : packages) {
        Json j = Json::object();
        j["published_name"] = p.published_name;
        j["original_name"] = p.original_name;
        j["provider"] = p.provider;
        j["class"] = p.class_name;
        j["class_guid"] = p.class_guid;
        j["date"] = p.date;
        j["version"] = p.version;
        j["signer_name"] = p.signer_name;
        j["signer_thumbprint"] = p.signer_thumbprint;
        j["description"] = p.description;
        j["manufacturer"] = p.manufacturer;
        j["service"] = p.service;
        Json ids = Json::array();
        for (const auto& h : p.hardware_ids) ids.push(h);
        j["hardware_ids"] = ids;
        j["content_hash"] = p.content_hash;
        arr.push(std::move(j));
    }
    Json j = Json::object();
    j["packages"] = arr;
    return j;
}

bool DriverStoreModel::from_json(const Json& j, std::string& /*error*/) {
    packages.clear();
    for (const auto& jp : j.get("packages").items()) {
        DriverPackage p;
        p.published_name = jp.get("published_name").as_string();
        p.original_name = jp.get("original_name").as_string();
        p.provider = jp.get("provider").as_string();
        p.class_name = jp.get("class").as_string();
        p.class_guid = jp.get("class_guid").as_string();
        p.date = jp.get("date").as_string();
        p.version = jp.get("version").as_string();
        p.signer_name = jp.get("signer_name").as_string();
        p.signer_thumbprint = jp.get("signer_thumbprint").as_string();
        p.description = jp.get("description").as_string();
        p.manufacturer = jp.get("manufacturer").as_string();
        p.service = jp.get("service").as_string();
        for (const auto& h : jp.get("hardware_ids").items()) p.hardware_ids.push_back(h.as_string());
        p.content_hash = jp.get("content_hash").as_string();
        packages.push_back(std::move(p));
    }
    return true;
}

namespace {

std::string trim(std::string_view s) {
    size_t a = 0;
    size_t b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
    return std::string(s.substr(a, b - a));
}

std::string unquote(const std::string& s) {
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
    return s;
}

// Splits at commas outside quotes and trims each field.
std::vector<std::string> fields(std::string_view s) {
    std::vector<std::string> out;
    std::string cur;
    bool q = false;
    for (char c : s) {
        if (c == '"') q = !q;
        if (c == ',' && !q) {
            out.push_back(trim(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(trim(cur));
    return out;
}

using Section = std::vector<std::pair<std::string, std::string>>;  // key (may be empty), value

}  // namespace

bool parse_inf(std::string_view text, InfInfo& out, std::string& error) {
    std::map<std::string, Section> sections;
    std::string current;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(start, end - start));
        start = end + 1;
        // Comments start at a ';' outside quotes.
        bool q = false;
        for (size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') q = !q;
            if (line[i] == ';' && !q) {
                line.resize(i);
                break;
            }
        }
        line = trim(line);
        if (line.empty()) continue;
        if (line.front() == '[' && line.back() == ']') {
            current = ascii_lower(trim(line.substr(1, line.size() - 2)));
            sections[current];
            continue;
        }
        const size_t eq = line.find('=');
        if (eq == std::string::npos) sections[current].emplace_back(std::string(), line);
        else sections[current].emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    std::map<std::string, std::string> strings;
    for (const auto& [k, v] : sections["strings"]) strings[ascii_lower(k)] = unquote(v);
    auto subst = [&](const std::string& v) {
        std::string r;
        size_t i = 0;
        while (i < v.size()) {
            if (v[i] == '%') {
                const size_t close = v.find('%', i + 1);
                if (close != std::string::npos) {
                    const auto it = strings.find(ascii_lower(v.substr(i + 1, close - i - 1)));
                    r += it != strings.end() ? it->second : v.substr(i, close - i + 1);
                    i = close + 1;
                    continue;
                }
            }
            r += v[i++];
        }
        return unquote(r);
    };
    auto get = [&](const std::string& section, const std::string& key) -> std::string {
        for (const auto& [k, v] : sections[section])
            if (iequals_ascii(k, key)) return subst(v);
        return {};
    };
    if (sections.find("version") == sections.end()) {
        error = "INF has no [Version] section";
        return false;
    }
    out = InfInfo{};
    out.class_name = get("version", "Class");
    out.class_guid = ascii_lower(get("version", "ClassGuid"));
    out.provider = get("version", "Provider");
    out.catalog = get("version", "CatalogFile");
    const auto ver = fields(get("version", "DriverVer"));
    if (!ver.empty()) out.date = ver[0];
    if (ver.size() > 1) out.version = ver[1];
    if (out.class_name.empty() || out.class_guid.empty()) {
        error = "INF has no Class or ClassGuid";
        return false;
    }
    std::string install;
    const auto& mfg = sections["manufacturer"];
    if (!mfg.empty()) {
        out.manufacturer = subst(mfg.front().first);
        const auto f = fields(mfg.front().second);
        std::string models = ascii_lower(f[0]);
        if (f.size() > 1 && sections.count(models + "." + ascii_lower(f[1])) != 0) models += "." + ascii_lower(f[1]);
        for (const auto& [k, v] : sections[models]) {
            const auto mf = fields(v);
            if (out.description.empty()) out.description = subst(k);
            if (install.empty()) install = ascii_lower(mf[0]);
            for (size_t i = 1; i < mf.size(); ++i)
                if (!mf[i].empty()) out.hardware_ids.push_back(mf[i]);
        }
    }
    const std::string services = sections.count(install + ".nt.services") != 0 ? install + ".nt.services" : install + ".services";
    for (const auto& [k, v] : sections[services]) {
        if (iequals_ascii(k, "AddService")) {
            out.service = fields(v)[0];
            break;
        }
    }
    for (const auto& [k, v] : sections["sourcedisksfiles"]) out.files.push_back(k.empty() ? v : k);
    return true;
}

}  // namespace sorvane::sim
