#include "platform/sim/network_model.h"

#include "common/text.h"
#include "platform/sim/machine.h"
#include "platform/win_error.h"

namespace sorvane::sim {

namespace {

std::string upper_ascii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

}  // namespace

platform::NetworkAdapter* NetworkModel::find(std::string_view name) {
    for (auto& a : adapters) {
        if (iequals_ascii(a.friendly_name, name) || iequals_ascii(a.adapter_name, name)) return &a;
    }
    return nullptr;
}

uint32_t NetworkModel::free_index() const {
    uint32_t index = 11;
    for (const auto& a : adapters) {
        if (a.if_index >= index) index = a.if_index + 1;
    }
    return index;
}

void NetworkModel::set_category(std::string_view adapter_name, int32_t category) {
    categories[upper_ascii(adapter_name)] = category;
}

void NetworkModel::clear_category(std::string_view adapter_name) {
    categories.erase(upper_ascii(adapter_name));
    connectivity.erase(upper_ascii(adapter_name));
}

void NetworkModel::set_connectivity(std::string_view adapter_name, uint32_t bits) {
    connectivity[upper_ascii(adapter_name)] = bits;
}

int32_t NetworkModel::current_profiles() const {
    int32_t mask = 0;
    for (const auto& [name, category] : categories) {
        if (simulated_adapters) {
            bool up = false;
            for (const auto& a : adapters) up = up || (a.up && upper_ascii(a.adapter_name) == name);
            if (!up) continue;
        }
        mask |= category == platform::kNetworkCategoryDomain    ? 1
                : category == platform::kNetworkCategoryPrivate ? 2
                                                                : 4;
    }
    return mask != 0 ? mask : 4;
}

Json NetworkModel::to_json() const {
    Json j = Json::object();
    j["simulated_adapters"] = simulated_adapters;
    Json list = Json::array();
    for (const auto& a : adapters) {
        Json e = Json::object();
        e["friendly_name"] = a.friendly_name;
        e["description"] = a.description;
        e["adapter_name"] = a.adapter_name;
        e["if_type"] = a.if_type;
        e["if_index"] = a.if_index;
        e["up"] = a.up;
        Json addresses = Json::array();
        for (const auto& ip : a.addresses) addresses.push(ip.ip + "/" + std::to_string(ip.prefix_length));
        e["addresses"] = std::move(addresses);
        list.push(std::move(e));
    }
    j["adapters"] = std::move(list);
    j["default_route"] = default_route;
    Json cats = Json::object();
    for (const auto& [name, category] : categories) cats[name] = category;
    j["categories"] = std::move(cats);
    Json reach = Json::object();
    for (const auto& [name, bits] : connectivity) reach[name] = bits;
    j["connectivity"] = std::move(reach);
    return j;
}

bool NetworkModel::from_json(const Json& j, std::string& error) {
    simulated_adapters = j.get("simulated_adapters").as_bool(false);
    adapters.clear();
    for (const auto& e : j.get("adapters").items()) {
        platform::NetworkAdapter a;
        a.friendly_name = e.get("friendly_name").as_string();
        a.description = e.get("description").as_string();
        a.adapter_name = e.get("adapter_name").as_string();
        a.if_type = static_cast<uint32_t>(e.get("if_type").as_int(platform::kIfTypeOther));
        a.if_index = static_cast<uint32_t>(e.get("if_index").as_int(0));
        a.up = e.get("up").as_bool(false);
        for (const auto& text : e.get("addresses").items()) {
            const std::string& s = text.as_string();
            const size_t slash = s.find('/');
            if (slash == std::string::npos) {
                error = "network: address without a prefix length: " + s;
                return false;
            }
            a.addresses.push_back({s.substr(0, slash), static_cast<uint8_t>(std::stoul("0" + s.substr(slash + 1)))});
        }
        adapters.push_back(std::move(a));
    }
    default_route = static_cast<uint32_t>(j.get("default_route").as_int(0));
    categories.clear();
    for (const auto& [name, category] : j.get("categories").members()) {
        categories[name] = static_cast<int32_t>(category.as_int(platform::kNetworkCategoryPublic));
    }
    connectivity.clear();
    for (const auto& [name, bits] : j.get("connectivity").members()) {
        connectivity[name] = static_cast<uint32_t>(bits.as_int(platform::kConnectivityIpv4Internet));
    }
    return true;
}

namespace {

class SimMachineNetwork final : public platform::INetworkInfo {
public:
    SimMachineNetwork(std::shared_ptr<Machine> m, std::unique_ptr<platform::INetworkInfo> fallback)
        : m_(std::move(m)), fallback_(std::move(fallback)) {}

    bool adapters(std::vector<platform::NetworkAdapter>& out) override {
        out.clear();
        bool simulated = false;
        if (m_->initialized()) {
            if (m_->fault("network.adapters") != 0) return false;
            m_->read([&](const MachineState& s) {
                simulated = s.network.simulated_adapters;
                if (simulated) out = s.network.adapters;
            });
        }
        if (simulated) return true;
        return fallback_ != nullptr && fallback_->adapters(out);
    }

    uint32_t best_interface(uint32_t destination) override {
        bool simulated = false;
        uint32_t index = 0;
        if (m_->initialized()) {
            m_->read([&](const MachineState& s) {
                simulated = s.network.simulated_adapters;
                index = s.network.default_route;
            });
        }
        if (simulated) return index;
        return fallback_ != nullptr ? fallback_->best_interface(destination) : 0;
    }

private:
    std::shared_ptr<Machine> m_;
    std::unique_ptr<platform::INetworkInfo> fallback_;
};

class SimNetworkList final : public platform::INetworkList {
public:
    explicit SimNetworkList(std::shared_ptr<Machine> m) : m_(std::move(m)) {}

    uint32_t connections(std::vector<platform::NetworkConnection>& out) override {
        out.clear();
        if (const uint32_t rc = m_->fault("network.connections"); rc != 0) return rc;
        if (!m_->read([&](const MachineState& s) {
                for (const auto& [name, category] : s.network.categories) {
                    const auto reach = s.network.connectivity.find(name);
                    out.push_back({name, category,
                                   reach != s.network.connectivity.end() ? reach->second
                                                                         : platform::kConnectivityIpv4Internet});
                }
            })) {
            return platform::kEFail;
        }
        return 0;
    }

private:
    std::shared_ptr<Machine> m_;
};

}  // namespace

std::unique_ptr<platform::INetworkInfo> make_sim_network_info(std::shared_ptr<Machine> machine,
                                                             std::unique_ptr<platform::INetworkInfo> fallback) {
    return std::make_unique<SimMachineNetwork>(std::move(machine), std::move(fallback));
}

std::unique_ptr<platform::INetworkList> make_sim_network_list(std::shared_ptr<Machine> machine) {
    return std::make_unique<SimNetworkList>(std::move(machine));
}

}  // namespace sorvane::sim
