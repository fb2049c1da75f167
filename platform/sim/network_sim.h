// The simulated machine's network adapters: a list the test writes, with the
// interface that carries the default route.
#pragma once

#include <mutex>

#include "platform/network.h"

namespace sorvane::sim {

class SimNetwork final : public platform::INetworkInfo {
public:
    bool adapters(std::vector<platform::NetworkAdapter>& out) override;
    uint32_t best_interface(uint32_t destination) override;

    void set_adapters(std::vector<platform::NetworkAdapter> adapters);
    void set_default_route(uint32_t if_index);
    // Makes adapters() fail, as a failed system query does.
    void set_fail(bool fail);

private:
    std::mutex mutex_;
    std::vector<platform::NetworkAdapter> adapters_;
    uint32_t default_index_ = 0;
    bool fail_ = false;
};

}  // namespace sorvane::sim
