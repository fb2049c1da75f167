// The machine's display topology: where Windows puts a monitor that arrives,
// what it remembers when it leaves, and the EDID identity it goes by.
#include <gtest/gtest.h>

#include "platform/sim/display_model.h"
#include "platform/sim/machine.h"

namespace sorvane::sim {
namespace {

SimTarget monitor(const SimLuid& adapter, uint32_t id, uint32_t serial, DisplayMode mode) {
    const auto edid = make_physical_edid("ABC", 0x42, serial, "Panel", mode);
    SimTarget t;
    t.adapter = adapter;
    t.id = id;
    t.monitor_name = edid_monitor_name(edid);
    t.monitor_key = edid_monitor_key(edid);
    t.modes = {mode, {1280, 720, 60}};
    return t;
}

TEST(SimDisplay, ArrivalExtendsToTheRightAndADepartedMonitorComesBackWhereItWas) {
    MachineState s;
    MachineSetup setup;
    setup.monitors = {{1920, 1080, 60}, {2560, 1440, 60}};
    apply_setup(s, setup);
    DisplayModel& d = s.display;
    ASSERT_EQ(d.targets.size(), 2u);
    EXPECT_TRUE(d.targets[0].primary);
    EXPECT_EQ(d.targets[1].x, 1920);
    EXPECT_EQ(d.default_render_gpu()->name, "Simulated Render GPU 1");
    d.targets[1].rotation = 90;  // portrait: 1440 wide on the desktop

    const SimLuid idd = d.add_indirect_adapter("Indirect");
    SimTarget& t = d.arrive(monitor(idd, 256, 7, {3000, 2000, 60}));
    EXPECT_EQ(t.monitor_key, "ABC0042/00000007");
    EXPECT_EQ(t.monitor_name, "Panel");
    EXPECT_EQ(t.x, 1920 + 1440);
    EXPECT_EQ(t.mode, (DisplayMode{3000, 2000, 60}));
    EXPECT_FALSE(t.primary);

    // The user moves it; Windows remembers that when it leaves and restores it on return.
    d.find_target(idd, 256)->x = -3000;
    d.find_target(idd, 256)->mode = {1280, 720, 60};
    ASSERT_TRUE(d.depart(idd, 256));
    EXPECT_EQ(d.find_target(idd, 256), nullptr);
    ASSERT_EQ(d.persistence.size(), 1u);
    const SimTarget& back = d.arrive(monitor(idd, 257, 7, {3000, 2000, 60}));
    EXPECT_EQ(back.x, -3000);
    EXPECT_EQ(back.mode, (DisplayMode{1280, 720, 60}));
    // Another monitor is not confused with it.
    EXPECT_EQ(d.arrive(monitor(idd, 258, 8, {800, 600, 60})).x, 1920 + 1440);

    // The model survives its file.
    DisplayModel copy;
    std::string error;
    ASSERT_TRUE(copy.from_json(d.to_json(), error)) << error;
    EXPECT_EQ(copy.to_json(), d.to_json());
    d.remove_gpu(idd);
    EXPECT_EQ(d.targets.size(), 2u);
}

}  // namespace
}  // namespace sorvane::sim
