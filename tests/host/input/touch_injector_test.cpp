// Touch injection through the simulated machine's synthetic pointer device:
// mapping onto the monitor, consistent contact sequences, the contact limit,
// refused frames and the cancel at the end.

#include "host/input/touch_injector.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/sim/input_machine.h"
#include "platform/sim/manual_clock.h"
#include "tests/host/input/input_test_util.h"
#include "platform/win_error.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using platform::PointerRect;
using test::DesktopPoint;

class Monitors : public IMonitorRectLookup {
public:
    bool monitor_rect(const MonitorRef& m, DesktopRect& out) override {
        ++lookups;
        if (fail || m.target_id != 7) return false;
        out = rect;
        return true;
    }
    DesktopRect rect{1920, 0, 3840, 1080};
    bool fail = false;
    int lookups = 0;
};

proto::TouchPoint pt(uint8_t id, uint8_t phase, float x, float y) { return {id, phase, x, y}; }
proto::TouchFrame frame(std::initializer_list<proto::TouchPoint> points) {
    proto::TouchFrame f{3, 1234, {}};
    for (const auto& p : points) f.points.push_back(p);
    return f;
}
constexpr uint8_t D = proto::kTouchDown, MV = proto::kTouchMove, UP = proto::kTouchUp, CN = proto::kTouchCancel;

struct Rig {
    explicit Rig(std::string trace = {}) {
        machine.set_displays({PointerRect{0, 0, 1920, 1080}, PointerRect{1920, 0, 3840, 1080}});
        machine.set_target(&target);
        injector = std::make_unique<TouchInjector>(3, MonitorRef{true, 0x1234, 7, ""},
                                                   TouchPorts{machine, monitors, machine, clock}, std::move(trace));
    }
    // The contacts of the last frame the device was given.
    std::vector<platform::TouchContact> last() const { return machine.touch_calls().back().contacts; }

    sim::ManualClock clock;
    sim::SimInputMachine machine{clock};
    test::RecordingTarget target;
    Monitors monitors;
    std::unique_ptr<TouchInjector> injector;
};

TEST(TouchInjector, DownMoveUpOnAMonitorRightOfThePrimary) {
    test::LogCapture log;
    Rig rig;
    ASSERT_TRUE(rig.injector->setup());
    EXPECT_EQ(log.count("[session 3] touch: synthetic touch device ready (max 10 contacts), target 1920x1080 at "
                        "(1920,0), virtual desktop origin (0,0)"),
              1u);
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, D, 0.25f, 0.5f)})));
    // The tap reaches the desktop at a quarter of the monitor's width.
    EXPECT_EQ(rig.target.touches, (std::vector<DesktopPoint>{{2400, 540, 0}}));
    platform::TouchContact down;
    down.pointer_id = 1;
    down.pointer_flags = 0x10007;
    down.pixel_location = {2400, 540};
    down.touch_mask = 7;
    down.contact = {2398, 538, 2402, 542};
    down.orientation = 90;
    down.pressure = 32000;
    EXPECT_EQ(rig.last(), std::vector<platform::TouchContact>{down});
    // Contact ids and counts only: no position reaches the log.
    EXPECT_EQ(log.count("[session 3] touch down id=1 (1 contact(s) down)"), 1u);
    EXPECT_EQ(log.count("2400"), 0u) << log.text();

    ASSERT_TRUE(rig.injector->inject(frame({pt(1, MV, 0.5f, 1.0f)})));
    EXPECT_EQ(rig.last()[0].pointer_flags, 0x20006u);
    EXPECT_EQ(rig.last()[0].pixel_location, (platform::PointerPoint{2880, 1079}));
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, UP, 0.5f, 1.0f)})));
    EXPECT_EQ(rig.last()[0].pointer_flags, 0x40000u);
    const auto c = rig.injector->counters();
    EXPECT_EQ(c.frames, 3u);
    EXPECT_EQ(c.downs + c.moves + c.ups, 3u);
    EXPECT_EQ(rig.machine.touch_calls().size(), 3u);
    EXPECT_EQ(rig.machine.open_contacts(), 0u);
}

TEST(TouchInjector, EdgesAndBeyondOnAMonitorLeftOfThePrimary) {
    Rig rig;
    rig.machine.set_displays({PointerRect{-1280, 0, 0, 1024}, PointerRect{0, 0, 1920, 1080}});
    rig.monitors.rect = {-1280, 0, 0, 1024};
    ASSERT_TRUE(rig.injector->setup());
    struct Case {
        float nx, ny;
        platform::PointerPoint injected;
        DesktopPoint desktop;
    };
    const Case cases[] = {
        {0, 0, {0, 0}, {-1280, 0, 0}},
        {1, 1, {1279, 1023}, {-1, 1023, 0}},
        {1.5f, -0.2f, {1279, 0}, {-1, 0, 0}},
        {-0.2f, 2, {0, 1023}, {-1280, 1023, 0}},
        {0.5f, 0.5f, {640, 512}, {-640, 512, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.nx << "," << c.ny);
        rig.target.touches.clear();
        ASSERT_TRUE(rig.injector->inject(frame({pt(2, D, c.nx, c.ny)})));
        EXPECT_EQ(rig.last()[0].pixel_location, c.injected);
        EXPECT_EQ(rig.target.touches, std::vector<DesktopPoint>{c.desktop});
        ASSERT_TRUE(rig.injector->inject(frame({pt(2, UP, c.nx, c.ny)})));
    }
}

TEST(TouchInjector, OpenContactsAreCancelledAtTheEnd) {
    test::LogCapture log;
    Rig rig;
    ASSERT_TRUE(rig.injector->setup());
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, D, 0.1f, 0.1f), pt(2, D, 0.2f, 0.2f)})));
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, UP, 0.1f, 0.1f), pt(2, UP, 0.2f, 0.2f)})));
    ASSERT_EQ(rig.last().size(), 2u);  // two fingers up: one call
    ASSERT_TRUE(rig.injector->inject(frame({pt(4, D, 0, 0)})));
    ASSERT_TRUE(rig.injector->inject(frame({pt(4, MV, 0.5f, 0.5f)})));
    const size_t calls = rig.machine.touch_calls().size();
    rig.injector.reset();
    const auto all = rig.machine.touch_calls();
    ASSERT_EQ(all.size(), calls + 1);
    ASSERT_EQ(all.back().contacts.size(), 1u);
    EXPECT_EQ(all.back().contacts[0].pointer_flags, 0x48000u);
    EXPECT_EQ(all.back().contacts[0].pixel_location, (platform::PointerPoint{2880, 540}));
    EXPECT_TRUE(all.back().accepted);
    EXPECT_EQ(rig.machine.open_contacts(), 0u);
    EXPECT_EQ(rig.machine.live_devices(), 0u);
    EXPECT_EQ(log.count("[session 3] touch: 1 open contact(s) cancelled at session end"), 1u);
}

TEST(TouchInjector, NeverMoreContactsThanTheDeviceAndNeverAnInconsistentSequence) {
    Rig rig;
    ASSERT_TRUE(rig.injector->setup());
    proto::TouchFrame eleven = frame({});
    for (uint8_t id = 0; id < 11; ++id) eleven.points.push_back(pt(id, D, 0.05f * id, 0.5f));
    ASSERT_TRUE(rig.injector->inject(eleven));
    EXPECT_EQ(rig.last().size(), 10u);
    EXPECT_EQ(rig.injector->counters().refused, 1u);
    for (auto& p : eleven.points) p.phase = MV;
    ASSERT_TRUE(rig.injector->inject(eleven));  // the eleventh is still refused
    EXPECT_EQ(rig.injector->counters().refused, 2u);
    EXPECT_EQ(rig.injector->counters().moves, 10u);
    // One lifts, the eleventh takes its place in the same frame.
    ASSERT_TRUE(rig.injector->inject(frame({pt(10, D, 0.9f, 0.9f), pt(0, UP, 0, 0.5f)})));
    EXPECT_EQ(rig.injector->open_contacts(), 10u);
    // Ten lifting leave no room in the frame for a new one.
    proto::TouchFrame lift = frame({pt(20, D, 0.5f, 0.5f)});
    for (uint8_t id = 1; id < 11; ++id) lift.points.push_back(pt(id, UP, 0.5f, 0.5f));
    ASSERT_TRUE(rig.injector->inject(lift));
    EXPECT_EQ(rig.last().size(), 10u);
    EXPECT_EQ(rig.injector->open_contacts(), 0u);

    // Ups and cancels of contacts that are not down never reach the device;
    // a repeated id counts once, at its last entry.
    const size_t calls = rig.machine.touch_calls().size();
    ASSERT_TRUE(rig.injector->inject(frame({pt(9, UP, 0, 0), pt(8, CN, 0, 0), pt(7, 9, 0, 0)})));
    EXPECT_EQ(rig.machine.touch_calls().size(), calls);
    ASSERT_TRUE(rig.injector->inject(frame({pt(5, D, 0, 0), pt(5, MV, 0.5f, 0.5f)})));
    ASSERT_EQ(rig.last().size(), 1u);
    EXPECT_EQ(rig.last()[0].pointer_flags, 0x10007u);
    EXPECT_EQ(rig.last()[0].pixel_location.x, 2880);
    EXPECT_EQ(rig.injector->counters().ignored, 4u);

    // A position that is no number is refused; lifting uses the last point.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    ASSERT_TRUE(rig.injector->inject(frame({pt(6, D, nan, 0.5f), pt(5, MV, 0.7f, std::numeric_limits<float>::infinity())})));
    EXPECT_EQ(rig.injector->counters().invalid, 2u);
    ASSERT_TRUE(rig.injector->inject(frame({pt(5, UP, nan, nan)})));
    EXPECT_EQ(rig.last()[0].pixel_location, (platform::PointerPoint{2880, 540}));
    EXPECT_EQ(rig.machine.open_contacts(), 0u);
    for (const auto& call : rig.machine.touch_calls()) EXPECT_TRUE(call.accepted);
}

TEST(TouchInjector, ARefusedFrameLeavesTheContactsAsTheSystemHasThem) {
    test::LogCapture log;
    Rig rig;
    ASSERT_TRUE(rig.injector->setup());
    rig.machine.fail_next_touch_inject(platform::kErrorInvalidParameter);
    EXPECT_FALSE(rig.injector->inject(frame({pt(1, D, 0.5f, 0.5f)})));
    EXPECT_EQ(rig.injector->counters().failed, 1u);
    EXPECT_EQ(rig.injector->open_contacts(), 0u);
    EXPECT_EQ(log.count("[session 3] touch: InjectSyntheticPointerInput failed (GetLastError=87), 1 contact(s)"), 1u);
    // The next move is a new contact for both sides.
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, MV, 0.5f, 0.5f)})));
    EXPECT_EQ(rig.last()[0].pointer_flags, 0x10007u);
    EXPECT_EQ(log.count("touch down (from move) id=1"), 1u);
    EXPECT_TRUE(rig.machine.touch_calls().back().accepted);
    // The secure desktop refuses the frame too.
    rig.machine.set_input_desktop("Winlogon");
    EXPECT_FALSE(rig.injector->inject(frame({pt(1, UP, 0.5f, 0.5f)})));
    EXPECT_EQ(rig.injector->open_contacts(), 1u);
}

TEST(TouchInjector, TheMonitorIsLookedUpOnNewContactsAndAfterTwoSeconds) {
    Rig rig;
    ASSERT_TRUE(rig.injector->setup());
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, D, 0, 0)})));
    EXPECT_EQ(rig.monitors.lookups, 2);
    rig.clock.advance_ms(2000);
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, MV, 0, 0)})));
    EXPECT_EQ(rig.monitors.lookups, 2);
    // The monitor moves; the next lookup (2 s on) sees it.
    rig.machine.set_displays({PointerRect{0, 0, 1920, 1080}, PointerRect{1920, 100, 3840, 1180}});
    rig.monitors.rect = {1920, 100, 3840, 1180};
    rig.clock.advance_ms(1);
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, MV, 0, 0)})));
    EXPECT_EQ(rig.monitors.lookups, 3);
    EXPECT_EQ(rig.last()[0].pixel_location, (platform::PointerPoint{1920, 100}));
    // A failed lookup, or an absurd rectangle, keeps the last rectangle.
    rig.monitors.fail = true;
    ASSERT_TRUE(rig.injector->inject(frame({pt(2, D, 0, 0)})));
    EXPECT_EQ(rig.last()[0].pixel_location, (platform::PointerPoint{1920, 100}));
    rig.monitors.fail = false;
    rig.monitors.rect = {std::numeric_limits<int32_t>::min(), 0, std::numeric_limits<int32_t>::max(), 10};
    ASSERT_TRUE(rig.injector->inject(frame({pt(3, D, 1, 1)})));
    EXPECT_EQ(rig.last()[0].pixel_location, (platform::PointerPoint{3839, 1179}));
}

TEST(TouchInjector, SetupFailuresAndTheTrace) {
    test::LogCapture log;
    test::TempDir dir;
    test::write_all(dir.file("touch.session3.csv"), "an older session's trace\n");
    Rig rig(dir.file("touch.session3.csv"));
    EXPECT_FALSE(rig.injector->inject(frame({pt(1, D, 0, 0)})));  // no device yet
    rig.machine.fail_next_device_creation(8);
    EXPECT_FALSE(rig.injector->setup());
    EXPECT_EQ(log.count("[session 3] touch: CreateSyntheticPointerDevice failed (GetLastError=8)"), 1u);
    rig.monitors.fail = true;
    EXPECT_FALSE(rig.injector->setup());
    EXPECT_EQ(log.count("[session 3] touch: monitor not found, no injection target"), 1u);
    EXPECT_FALSE(rig.injector->inject(frame({pt(1, D, 0, 0)})));  // no rectangle ever found
    rig.monitors.fail = false;
    ASSERT_TRUE(rig.injector->setup());
    EXPECT_EQ(rig.machine.live_devices(), 1u);
    ASSERT_TRUE(rig.injector->inject(frame({pt(1, D, 0.25f, 0.5f), pt(1, UP, 0.25f, 0.5f)})));
    EXPECT_EQ(test::read_all(dir.file("touch.session3.csv")),
              "recv_ms,frame_ts_ms,id,state,nx,ny,screen_x,screen_y,injected_x,injected_y\n"
              "1000000,1234,1,0,0.2500,0.5000,2400,540,2400,540\n"
              "1000000,1234,1,2,0.2500,0.5000,2400,540,2400,540\n");
}

}  // namespace
}  // namespace sorvane
