// The adapter list: whatever the machine has, every entry is well formed.
#include "platform/network.h"

#include <gtest/gtest.h>

#include "platform/socket.h"

namespace sorvane::platform {
namespace {

TEST(Network, AdaptersAreWellFormed) {
    auto info = make_system_network_info();
    std::vector<NetworkAdapter> adapters;
    ASSERT_TRUE(info->adapters(adapters));
    for (const auto& a : adapters) {
        SCOPED_TRACE(a.adapter_name);
        EXPECT_FALSE(a.adapter_name.empty());
        EXPECT_FALSE(a.friendly_name.empty());
        for (const auto& addr : a.addresses) {
            uint32_t parsed = 0;
            EXPECT_TRUE(parse_ipv4(addr.ip, parsed)) << addr.ip;
            EXPECT_LE(addr.prefix_length, 32u);
        }
    }
    // The interface carrying loopback, when the system names one, is listed.
    const uint32_t index = info->best_interface(kLoopbackAddress);
    if (index != 0) {
        bool listed = false;
        for (const auto& a : adapters) listed = listed || a.if_index == index;
        EXPECT_TRUE(listed) << index;
    }
}

}  // namespace
}  // namespace sorvane::platform
