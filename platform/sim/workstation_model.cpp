#include "platform/sim/workstation_model.h"

namespace sorvane::sim {

namespace {

Json strings(const std::vector<std::string>& items) {
    Json a = Json::array();
    for (const auto& s : items) a.push(s);
    return a;
}

std::vector<std::string> strings_of(const Json& j) {
    std::vector<std::string> out;
    for (const auto& item : j.items()) out.push_back(item.as_string());
    return out;
}

}  // namespace

std::string profile_path(const WorkstationModel& w) { return "C:\\Users\\" + w.profile_folder; }

Json WorkstationModel::to_json() const {
    Json j = Json::object();
    j["user_name"] = user_name;
    j["profile_folder"] = profile_folder;
    j["logical_processors"] = logical_processors;
    j["memory_bytes"] = memory_bytes;
    j["wmi"] = wmi;
    j["security_center"] = security_center;
    j["antivirus"] = strings(antivirus);
    j["firewall_products"] = strings(firewall_products);
    return j;
}

bool WorkstationModel::from_json(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "workstation: not an object";
        return false;
    }
    const WorkstationModel d;
    user_name = j.has("user_name") ? j.get("user_name").as_string() : d.user_name;
    profile_folder = j.has("profile_folder") ? j.get("profile_folder").as_string() : d.profile_folder;
    logical_processors = static_cast<uint32_t>(j.get("logical_processors").as_int(d.logical_processors));
    memory_bytes = static_cast<uint64_t>(j.get("memory_bytes").as_int(static_cast<int64_t>(d.memory_bytes)));
    wmi = j.get("wmi").as_bool(d.wmi);
    security_center = j.get("security_center").as_bool(d.security_center);
    antivirus = j.has("antivirus") ? strings_of(j.get("antivirus")) : d.antivirus;
    firewall_products = j.has("firewall_products") ? strings_of(j.get("firewall_products")) : d.firewall_products;
    return true;
}

}  // namespace sorvane::sim
