// A viewer's tap through the whole simulated path: the touch injector finds
// its monitor through capture's output lookup, the machine's input stack
// delivers the contact, and capture sees its mark on that monitor's image.
#include <gtest/gtest.h>

#include "host/input/output_rect_lookup.h"
#include "host/input/touch_injector.h"
#include "host/media/capture.h"
#include "platform/sim/machine_desktop.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

TEST(DesktopTap, MarksTheMonitorRightOfThePrimaryWhereTheViewerTapped) {
    test::TempDir dir;
    auto machine = std::make_shared<sim::Machine>(dir.path());
    ASSERT_TRUE(machine->initialize(sim::MachineSetup{}));
    // The driver's 1920x1080 monitor arrives right of the primary one, at (1920, 0).
    uint64_t luid = 0;
    ASSERT_TRUE(machine->update("monitor arrival", [&](sim::MachineState& s) {
        sim::SimTarget t;
        t.adapter = s.display.add_indirect_adapter("Sorvane Display Adapter");
        t.id = 3;
        t.indirect = true;
        t.device = "DISPLAY\\SVN0001\\5&2f1d8a7&0&UID3";
        t.modes = {{1920, 1080, 60}};
        const sim::SimTarget& placed = s.display.arrive(t);
        EXPECT_EQ(placed.x, 1920);
        luid = static_cast<uint64_t>(t.adapter.high) << 32 | t.adapter.low;
    }));
    sim::ManualClock clock;
    sim::MachineDesktop desktop(machine, clock);
    auto dup = desktop.make_duplication();
    auto touch = desktop.make_touch_device_factory();
    auto info = desktop.make_desktop_info();
    OutputRectLookup monitors(*dup);
    const MonitorRef ref{true, luid, 3, ""};

    TouchInjector injector(1, ref, TouchPorts{*touch, monitors, *info, clock});
    ASSERT_TRUE(injector.setup());
    proto::TouchFrame down{1, 10, {}};
    down.points.push_back({1, proto::kTouchDown, 0.25f, 0.5f});
    ASSERT_TRUE(injector.inject(down));
    proto::TouchFrame up{1, 20, {}};
    up.points.push_back({1, proto::kTouchUp, 0.25f, 0.5f});
    ASSERT_TRUE(injector.inject(up));

    DxgiCaptureSource capture(*dup);
    const auto output = capture.find_output(ref);
    ASSERT_TRUE(output.has_value());
    ASSERT_TRUE(capture.open(output->ordinal));
    CapturedFrame frame;
    ASSERT_EQ(capture.acquire(100, frame), AcquireStatus::frame);
    ASSERT_TRUE(frame.has_image);
    const platform::CpuTexture& image = *frame.texture;
    ASSERT_EQ(image.width, 1920u);
    int64_t min_x = INT64_MAX, max_x = -1, min_y = INT64_MAX, max_y = -1;
    for (uint32_t y = 0; y < image.height; ++y) {
        for (uint32_t x = 0; x < image.width; ++x) {
            const uint8_t* p = image.row(y) + x * 4;
            if (p[2] == 255 && p[1] == 0 && p[0] == 255) {
                min_x = std::min<int64_t>(min_x, x);
                max_x = std::max<int64_t>(max_x, x);
                min_y = std::min<int64_t>(min_y, y);
                max_y = std::max<int64_t>(max_y, y);
            }
        }
    }
    ASSERT_GE(max_x, 0) << "no mark";
    EXPECT_EQ(max_x - min_x + 1, 32);
    EXPECT_EQ(max_y - min_y + 1, 32);
    EXPECT_NEAR((min_x + max_x) / 2.0, 480.0, 1.0);
    EXPECT_NEAR((min_y + max_y) / 2.0, 540.0, 1.0);
    capture.release_frame();
    // The primary monitor's image carries no mark.
    EXPECT_TRUE(desktop.desktop().marks(0x1100).empty());
}

}  // namespace
}  // namespace sorvane
