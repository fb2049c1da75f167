// The version rule: the host at 0x0100 with minimum 0x0100 unless noted.

#include <gtest/gtest.h>

#include "host/protocol/reasons.h"
#include "host/protocol/version.h"

namespace sorvane::proto {
namespace {

struct Case {
    uint16_t viewer;
    std::optional<uint16_t> viewer_min;
    uint16_t host;
    uint16_t host_min;
    uint16_t negotiated;          // 0: rejected
    std::string_view reason;
};

TEST(VersionRule, Table) {
    const Case cases[] = {
        {0x0100, std::nullopt, 0x0100, 0x0100, 0x0100, ""},
        {0x0100, 0x0100, 0x0100, 0x0100, 0x0100, ""},
        // A newer minor without a minimum talks down to the host.
        {0x0101, std::nullopt, 0x0100, 0x0100, 0x0100, ""},
        // ... and with a minimum the host meets.
        {0x0105, 0x0100, 0x0100, 0x0100, 0x0100, ""},
        // A minimum above the host rules it out.
        {0x0101, 0x0101, 0x0100, 0x0100, 0, kReasonHostOutdated},
        // Different majors.
        {0x0200, std::nullopt, 0x0100, 0x0100, 0, kReasonHostOutdated},
        {0x00FF, std::nullopt, 0x0100, 0x0100, 0, kReasonClientOutdated},
        {0x000E, std::nullopt, 0x0100, 0x0100, 0, kReasonClientOutdated},
        // Same major, below the host's minimum.
        {0x0102, std::nullopt, 0x0105, 0x0104, 0, kReasonClientOutdated},
        {0x0104, std::nullopt, 0x0105, 0x0104, 0x0104, ""},
        // A viewer minimum of 0 sets no bound.
        {0x0100, 0x0000, 0x0100, 0x0100, 0x0100, ""},
        // An older host of major 0 and its feature range.
        {0x000E, std::nullopt, 0x0010, 0x000C, 0x000E, ""},
        {0x0012, 0x0011, 0x0010, 0x000C, 0, kReasonHostOutdated},
        {0x000B, std::nullopt, 0x0010, 0x000C, 0, kReasonClientOutdated},
    };
    for (const Case& c : cases) {
        const VersionDecision d = negotiate_version(c.viewer, c.viewer_min, c.host, c.host_min);
        SCOPED_TRACE(testing::Message() << std::hex << "viewer 0x" << c.viewer << " min "
                                        << (c.viewer_min ? int(*c.viewer_min) : -1) << " host 0x" << c.host);
        EXPECT_EQ(d.accepted, c.negotiated != 0);
        EXPECT_EQ(d.negotiated, c.negotiated);
        EXPECT_EQ(d.reason, c.reason);
    }
}

TEST(VersionRule, FeatureGates) {
    EXPECT_FALSE(allows_open_host_settings(0));
    EXPECT_FALSE(allows_open_host_settings(0x000D));
    EXPECT_TRUE(allows_open_host_settings(0x000E));
    EXPECT_TRUE(allows_reconnect_wait(0x0100));
    EXPECT_FALSE(allows_reconnect_wait(0x000D));
    EXPECT_FALSE(allows_input_notice(0x000C));
    EXPECT_TRUE(allows_input_notice(0x000D));
    EXPECT_FALSE(allows_input_notice(0));
}

}  // namespace
}  // namespace sorvane::proto
