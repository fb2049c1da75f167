// Key messages and touch frames allocate nothing once the injectors run (the
// sampled log lines aside). Its own program: it replaces operator new to count.

#include <gtest/gtest.h>

#include "host/input/input_injector.h"
#include "host/input/touch_injector.h"
#include "platform/sim/manual_clock.h"
#include "tests/host/input/null_ports.h"
#include "tests/support/allocation_counter.h"

namespace sorvane {
namespace {

TEST(InputAllocations, KeysMovesAndTouchFramesBetweenLogLines) {
    sim::ManualClock clock;
    test::NullInputPorts ports;
    InputInjector keys("session 1", {}, InputPorts{ports, ports, clock});
    TouchInjector touch(1, MonitorRef{true, 1, 1, ""}, TouchPorts{ports, ports, ports, clock});
    ASSERT_TRUE(touch.setup());
    proto::TouchFrame frame{1, 0, {}};
    for (uint8_t id = 0; id < 10; ++id) frame.points.push_back({id, proto::kTouchDown, 0.1f * id, 0.5f});
    ASSERT_TRUE(touch.inject(frame));
    for (auto& p : frame.points) p.phase = proto::kTouchMove;
    // Past the first sampled lines of each kind.
    for (int i = 0; i < 12; ++i) keys.key(0x04, i % 2 == 0, 0x02);
    keys.relative_move(1, 1);
    ASSERT_TRUE(touch.inject(frame));

    const uint64_t before = test::allocation_count();
    for (int i = 0; i < 80; ++i) {
        keys.key(0x04, i % 2 == 0, 0x03);
        keys.relative_move(2, -1);
        clock.advance_ms(100);  // the foreground check runs again every third round
    }
    for (int i = 0; i < 20; ++i) {
        frame.points[0].x = 0.01f * i;
        ASSERT_TRUE(touch.inject(frame));
    }
    EXPECT_EQ(test::allocation_count() - before, 0u);
    EXPECT_EQ(touch.counters().moves, 10u * 21u);
}

}  // namespace
}  // namespace sorvane
