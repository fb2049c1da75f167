// The simulated input stack keeps Windows' rules: what it refuses, what it
// drops silently, where it clamps, and what reaches the desktop and journal.

#include "platform/sim/input_machine.h"

#include <gtest/gtest.h>

#include "platform/sim/manual_clock.h"
#include "platform/win_error.h"
#include "tests/host/input/input_test_util.h"

namespace sorvane::sim {
namespace {

using platform::InputEvent;
using platform::PointerRect;
using platform::TouchContact;
using test::DesktopPoint;

InputEvent mouse(uint32_t flags, int32_t dx = 0, int32_t dy = 0) {
    InputEvent e;
    e.type = platform::kInputMouse;
    e.mi.flags = flags;
    e.mi.dx = dx;
    e.mi.dy = dy;
    return e;
}
InputEvent key(uint16_t vk, uint16_t scan, uint32_t flags) {
    InputEvent e;
    e.ki.vk = vk;
    e.ki.scan = scan;
    e.ki.flags = flags;
    return e;
}
TouchContact contact(uint32_t id, uint32_t flags, int32_t x = 10, int32_t y = 10) {
    TouchContact c;
    c.pointer_id = id;
    c.pointer_flags = flags;
    c.pixel_location = {x, y};
    return c;
}
constexpr uint32_t kNew = 0x10007, kUpdate = 0x20006, kUp = 0x40000;

struct Rig {
    Rig() {
        // A display left of the primary and one below-right with a gap.
        machine.set_displays({PointerRect{-1280, 0, 0, 1024}, PointerRect{0, 0, 1920, 1080},
                              PointerRect{1920, 200, 3200, 1224}});
        machine.set_target(&target);
    }
    ManualClock clock;
    SimInputMachine machine{clock};
    test::RecordingTarget target;
};

TEST(SimInput, PointerStaysOnTheDisplaysAndClicksLandWhereItIs) {
    Rig rig;
    uint32_t error = 0;
    struct Case {
        int32_t dx, dy;
        DesktopPoint at;
    };
    const Case cases[] = {
        {100, 50, {100, 50, 0}},         {-5000, 0, {-1280, 50, 0}},  {0, -100, {-1280, 0, 0}},
        {6000, 0, {3199, 200, 0}},       {0, 5000, {3199, 1223, 0}},  {-1400, -100, {1799, 1079, 0}},
    };
    for (const auto& c : cases) {
        const InputEvent e = mouse(platform::kMouseEventMove, c.dx, c.dy);
        EXPECT_EQ(rig.machine.send_input({&e, 1}, error), 1u);
        EXPECT_EQ(rig.target.moves.back(), c.at) << c.dx << "," << c.dy;
    }
    const InputEvent clicks[] = {mouse(platform::kMouseEventRightDown), mouse(platform::kMouseEventRightUp),
                                 mouse(platform::kMouseEventAbsolute | platform::kMouseEventMove, 32768, 32768),
                                 mouse(platform::kMouseEventLeftDown)};
    EXPECT_EQ(rig.machine.send_input(clicks, error), 4u);
    EXPECT_EQ(rig.target.clicks, (std::vector<DesktopPoint>{{1799, 1079, 2}, {960, 540, 1}}));
    EXPECT_TRUE(rig.machine.button_is_down(1));
    EXPECT_FALSE(rig.machine.button_is_down(2));
}

TEST(SimInput, SendInputRules) {
    Rig rig;
    uint32_t error = 0;
    const InputEvent typing[] = {key(0x41, 0x1E, 0), key(0x41, 0x1E, platform::kKeyEventKeyUp),
                                 key(0, 0x20AC, platform::kKeyEventUnicode)};
    EXPECT_EQ(rig.machine.send_input(typing, error), 3u);
    EXPECT_EQ(rig.machine.typed_text(), "a\xE2\x82\xAC");
    EXPECT_NE(rig.machine.journal_text().find("key A down"), std::string::npos);
    EXPECT_NE(rig.machine.journal_text().find("type U+20AC"), std::string::npos);

    // A malformed record stops the batch; the ones before it are in.
    const InputEvent bad[] = {key(0x42, 0x30, 0), key(0x43, 0x2E, platform::kKeyEventUnicode), key(0x44, 0x20, 0)};
    EXPECT_EQ(rig.machine.send_input(bad, error), 1u);
    EXPECT_EQ(error, platform::kErrorInvalidParameter);
    EXPECT_TRUE(rig.machine.key_is_down(0x42));
    EXPECT_FALSE(rig.machine.key_is_down(0x44));

    // An elevated foreground: everything "inserted", nothing arrives.
    rig.machine.add_process({500, "C:\\Windows\\regedit.exe", true});
    rig.machine.set_foreground(500);
    const size_t keys_before = rig.target.keys.size();
    EXPECT_EQ(rig.machine.send_input(typing, error), 3u);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(rig.target.keys.size(), keys_before);
    EXPECT_EQ(rig.machine.uipi_dropped(), 3u);
    EXPECT_NE(rig.machine.journal_text().find("UIPI: 3 event(s) dropped, foreground regedit.exe is elevated"),
              std::string::npos);
    // ... unless the sender is elevated too.
    rig.machine.set_host(1000, true);
    EXPECT_EQ(rig.machine.send_input(typing, error), 3u);
    EXPECT_EQ(rig.target.keys.size(), keys_before + 3);

    // The secure desktop takes nothing.
    rig.machine.set_input_desktop("Winlogon");
    EXPECT_EQ(rig.machine.send_input(typing, error), 0u);
    EXPECT_EQ(error, platform::kErrorAccessDenied);
}

TEST(SimInput, TouchDeviceRefusesInconsistentFramesAndChangesNothing) {
    Rig rig;
    uint32_t error = 0;
    EXPECT_EQ(rig.machine.create_pointer_device(platform::kPointerTypeTouch, 0, 1, error), nullptr);
    EXPECT_EQ(rig.machine.create_pointer_device(platform::kPointerTypeTouch, 257, 1, error), nullptr);
    EXPECT_EQ(error, platform::kErrorInvalidParameter);
    auto device = rig.machine.create_pointer_device(platform::kPointerTypeTouch, 2, 1, error);
    ASSERT_NE(device, nullptr);
    const TouchContact one[] = {contact(1, kNew)};
    ASSERT_TRUE(device->inject(one, error));

    const std::vector<std::vector<TouchContact>> refused = {
        {contact(1, kNew)},                                     // down for a contact already down
        {contact(2, kUpdate)},                                  // update for one never down
        {contact(2, kUp)},                                      // up for one never down
        {contact(2, kNew), contact(2, kUp)},                    // one id twice
        {contact(2, kNew), contact(3, kNew), contact(1, kUp)},  // more than the device's count
        {contact(2, kNew), contact(3, kNew)},                   // three down at once
        {contact(2, 0x10000)},                                  // down without in-range and in-contact
        {},
    };
    for (size_t i = 0; i < refused.size(); ++i) {
        EXPECT_FALSE(device->inject(refused[i], error)) << i;
        EXPECT_EQ(error, platform::kErrorInvalidParameter);
        EXPECT_EQ(rig.machine.open_contacts(), 1u) << i;
    }
    EXPECT_EQ(rig.target.touches.size(), 1u);

    // Points are relative to the virtual screen and clamped to it.
    const TouchContact far[] = {contact(2, kNew, -50, 99'999), contact(1, kUp)};
    ASSERT_TRUE(device->inject(far, error));
    EXPECT_EQ(rig.target.touches, (std::vector<DesktopPoint>{{-1270, 10, 0}, {-1280, 1223, 0}}));
    device.reset();
    EXPECT_NE(rig.machine.journal_text().find("destroyed with 1 contact(s) down"), std::string::npos);
}

}  // namespace
}  // namespace sorvane::sim
