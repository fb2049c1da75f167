// The random port: the system's source fills every byte.
#include "platform/random.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <vector>

namespace sorvane::platform {
namespace {

TEST(Random, FillsBuffersWithUnpredictableBytes) {
    std::array<uint8_t, 32> a{}, b{};
    ASSERT_TRUE(secure_random(a.data(), a.size()));
    ASSERT_TRUE(secure_random(b.data(), b.size()));
    EXPECT_NE(a, b);
    EXPECT_TRUE(secure_random(nullptr, 0));

    // A large buffer: every byte value shows up and no value dominates.
    std::vector<uint8_t> big(1 << 20);
    ASSERT_TRUE(secure_random(big.data(), big.size()));
    std::array<size_t, 256> counts{};
    for (uint8_t v : big) ++counts[v];
    for (size_t c : counts) {
        EXPECT_GT(c, 3000u);
        EXPECT_LT(c, 5300u);
    }

    std::set<uint32_t> values;
    for (int i = 0; i < 16; ++i) values.insert(random_u32());
    EXPECT_GT(values.size(), 14u);
}

}  // namespace
}  // namespace sorvane::platform
