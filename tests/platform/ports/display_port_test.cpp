// The machine's displays and GPUs as the ports report them, and its power
// notifications: what this machine has, read through the same calls the
// host makes.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/display_config.h"
#include "platform/gpu.h"
#include "platform/power.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

constexpr int32_t kDxgiErrorUnsupported = static_cast<int32_t>(0x887A0004u);

TEST(DisplayConfig, TheActivePathsNameTheirSources) {
    auto dc = make_display_config();
    uint32_t paths = 0, modes = 0;
    ASSERT_EQ(dc->buffer_sizes(kQdcOnlyActivePaths, paths, modes), 0);
    std::vector<DcPathInfo> path_list;
    std::vector<DcModeInfo> mode_list;
    ASSERT_EQ(dc->query(kQdcOnlyActivePaths, paths, modes, path_list, mode_list), 0);
    if (path_list.empty() && port_test::under_wine())
        GTEST_SKIP() << "Wine without a display server has no active display path";
    ASSERT_FALSE(path_list.empty());
    for (const DcPathInfo& p : path_list) {
        EXPECT_NE(p.flags & kPathActive, 0u);
        std::string name;
        EXPECT_EQ(dc->source_name(p.source_adapter, p.source_id, name), 0);
        EXPECT_EQ(name.rfind("\\\\.\\DISPLAY", 0), 0u) << name;
        if (p.source_mode_index != kInvalidModeIndex) {
            ASSERT_LT(p.source_mode_index, mode_list.size());
            EXPECT_EQ(mode_list[p.source_mode_index].info_type, kModeInfoSource);
            EXPECT_GT(mode_list[p.source_mode_index].width, 0u);
        }
    }
    // Capacities short of the paths are refused, not cut short.
    if (paths > 1) {
        EXPECT_EQ(dc->query(kQdcOnlyActivePaths, paths - 1, modes, path_list, mode_list), kDcErrorInsufficientBuffer);
    }
}

TEST(Gpu, TheFactoryOrderListsEveryAdapterOnce) {
    auto gpus = make_system_gpu_adapters();
    std::vector<AdapterDesc> adapters;
    const int32_t listed = gpus->enum_adapters(adapters);
    if (listed == kDxgiErrorUnsupported && port_test::under_wine())
        GTEST_SKIP() << "Wine's DXGI has no adapters without a display driver (DXGI_ERROR_UNSUPPORTED)";
    ASSERT_EQ(listed, 0);
    ASSERT_FALSE(adapters.empty());  // at least the software adapter
    for (size_t i = 0; i < adapters.size(); ++i) {
        EXPECT_EQ(adapters[i].index, i);
        for (size_t j = 0; j < i; ++j) EXPECT_NE(adapters[i].luid, adapters[j].luid);
    }
    if (gpus->has_gpu_preference_order()) {
        AdapterDesc first;
        EXPECT_EQ(gpus->first_adapter_by_preference(GpuPreference::unspecified, first), 0);
        EXPECT_EQ(first.luid, adapters[0].luid);
    }
}

TEST(Power, ACallbackIsRegistered) {
    uint32_t error = 0;
    EXPECT_TRUE(power_notifications().register_callback([](uint32_t) {}, error)) << error;
    EXPECT_EQ(error, 0u);
}

}  // namespace
}  // namespace sorvane::platform
