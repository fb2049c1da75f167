#include "platform/sim/network_sim.h"

namespace sorvane::sim {

bool SimNetwork::adapters(std::vector<platform::NetworkAdapter>& out) {
    std::lock_guard<std::mutex> g(mutex_);
    if (fail_) {
        out.clear();
        return false;
    }
    out = adapters_;
    return true;
}

uint32_t SimNetwork::best_interface(uint32_t) {
    std::lock_guard<std::mutex> g(mutex_);
    return default_index_;
}

void SimNetwork::set_adapters(std::vector<platform::NetworkAdapter> adapters) {
    std::lock_guard<std::mutex> g(mutex_);
    adapters_ = std::move(adapters);
}

void SimNetwork::set_default_route(uint32_t if_index) {
    std::lock_guard<std::mutex> g(mutex_);
    default_index_ = if_index;
}

void SimNetwork::set_fail(bool fail) {
    std::lock_guard<std::mutex> g(mutex_);
    fail_ = fail;
}

}  // namespace sorvane::sim
