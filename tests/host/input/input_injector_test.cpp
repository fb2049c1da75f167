// Keyboard, mouse and text injection against the simulated machine's input
// stack: each input message becomes the expected INPUT records, modifiers and
// buttons are never left down, UIPI is noticed, typed text never reaches the log.

#include "host/input/input_injector.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <thread>
#include <variant>

#include "host/protocol/input_messages.h"
#include "platform/sim/input_machine.h"
#include "platform/sim/manual_clock.h"
#include "platform/win_error.h"
#include "tests/host/input/input_test_util.h"

namespace sorvane {
namespace {

using platform::InputEvent;

InputEvent K(uint16_t vk, uint16_t scan, uint32_t flags = 0) {
    InputEvent e;
    e.type = platform::kInputKeyboard;
    e.ki.vk = vk;
    e.ki.scan = scan;
    e.ki.flags = flags;
    return e;
}
constexpr uint32_t UP = platform::kKeyEventKeyUp;
constexpr uint32_t EXT = platform::kKeyEventExtendedKey;
// A Unicode unit going down and up.
std::vector<InputEvent> U(uint16_t unit) {
    return {K(0, unit, platform::kKeyEventUnicode), K(0, unit, platform::kKeyEventUnicode | UP)};
}
InputEvent M(uint32_t flags, int32_t dx = 0, int32_t dy = 0, int32_t data = 0) {
    InputEvent e;
    e.type = platform::kInputMouse;
    e.mi.dx = dx;
    e.mi.dy = dy;
    e.mi.data = data;
    e.mi.flags = flags;
    return e;
}
std::vector<InputEvent> cat(std::initializer_list<std::vector<InputEvent>> parts) {
    std::vector<InputEvent> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::string describe(const std::vector<InputEvent>& events) {
    std::string out;
    char buf[96];
    for (const auto& e : events) {
        if (e.type == platform::kInputKeyboard) {
            std::snprintf(buf, sizeof buf, " K(%02X,%02X,%" PRIX32 ")", e.ki.vk, e.ki.scan, e.ki.flags);
        } else {
            std::snprintf(buf, sizeof buf, " M(%" PRIX32 ",%d,%d,%d)", e.mi.flags, e.mi.dx, e.mi.dy, e.mi.data);
        }
        out += buf;
    }
    return out;
}

// What the session does with the messages the injector serves.
void deliver(InputInjector& in, const proto::InputMessage& m) {
    if (const auto* k = std::get_if<proto::KeyEvent>(&m)) in.key(k->hid_usage, k->down, k->modifiers);
    if (const auto* b = std::get_if<proto::MouseButton>(&m)) in.mouse_button(b->button, b->down);
    if (const auto* r = std::get_if<proto::RelativeMove>(&m)) in.relative_move(r->dx, r->dy);
    if (const auto* s = std::get_if<proto::ScrollEvent>(&m)) in.scroll(s->dx, s->dy);
    if (const auto* t = std::get_if<proto::TextInput>(&m)) in.text(t->text);
}

struct Rig {
    sim::ManualClock clock;
    sim::SimInputMachine machine{clock};
    std::vector<std::string> notes;
    std::unique_ptr<InputInjector> injector = std::make_unique<InputInjector>(
        "session 7", [this](std::string_view s) { notes.emplace_back(s); },
        InputPorts{machine, machine, clock});
};

proto::KeyEvent key(uint32_t usage, bool down, uint8_t mods = 0) { return {1, usage, down, mods}; }
proto::TextInput text(std::string s) { return {1, std::move(s)}; }

TEST(InputInjector, EachMessageBecomesItsEventList) {
    const InputEvent lctrl = K(0xA2, 0x1D), lshift = K(0xA0, 0x2A), lalt = K(0xA4, 0x38), lwin = K(0x5B, 0x5B, EXT);
    const auto up = [](InputEvent e) { e.ki.flags |= UP; return e; };
    struct Case {
        const char* name;
        std::vector<proto::InputMessage> messages;
        std::vector<InputEvent> expected;
    };
    const Case cases[] = {
        {"Ctrl+C", {key(0x06, true, 0x01), key(0x06, false, 0x01)},
         {lctrl, K(0x43, 0x2E), K(0x43, 0x2E, UP), up(lctrl)}},
        {"shift held across two keys",
         {key(0x04, true, 0x02), key(0x05, true, 0x02), key(0x05, false, 0x02), key(0x04, false, 0x02)},
         {lshift, K(0x41, 0x1E), K(0x42, 0x30), K(0x42, 0x30, UP), up(lshift), K(0x41, 0x1E, UP)}},
        {"all four modifiers in order", {key(0x15, true, 0x0F), key(0x15, false, 0x0F)},
         {lctrl, lshift, lalt, lwin, K(0x52, 0x13), K(0x52, 0x13, UP), up(lctrl), up(lshift), up(lalt), up(lwin)}},
        {"extended keys",
         {key(0x50, true), key(0x4C, false), key(0xE3, true), key(0x4B, true), key(0x49, true)},
         {K(0x25, 0x4B, EXT), K(0x2E, 0x53, EXT | UP), lwin, K(0x21, 0x49, EXT), K(0x2D, 0x52, EXT)}},
        {"digits, function keys, editing keys",
         {key(0x27, true), key(0x1E, true), key(0x26, true), key(0x3A, true), key(0x45, true), key(0x28, true),
          key(0x29, true), key(0x2A, true), key(0x2B, true), key(0x2C, true), key(0x1D, true)},
         {K(0x30, 0x0B), K(0x31, 0x02), K(0x39, 0x0A), K(0x70, 0x3B), K(0x7B, 0x58), K(0x0D, 0x1C), K(0x1B, 0x01),
          K(0x08, 0x0E), K(0x09, 0x0F), K(0x20, 0x39), K(0x5A, 0x2C)}},
        {"unmapped usages send nothing, not even their modifiers",
         {key(0x2D, true, 0x01), key(0xE4, true), key(0x53, true), key(0x03, true)}, {}},
        {"buttons", {proto::MouseButton{1, 1, true}, proto::MouseButton{1, 1, false}, proto::MouseButton{1, 2, true},
                     proto::MouseButton{1, 2, false}, proto::MouseButton{1, 3, true}, proto::MouseButton{1, 3, false},
                     proto::MouseButton{1, 4, true}},
         {M(0x2), M(0x4), M(0x8), M(0x10), M(0x20), M(0x40)}},
        {"relative moves", {proto::RelativeMove{1, 0, 0}, proto::RelativeMove{1, 5, -3}}, {M(0x1, 5, -3)}},
        {"scroll: wheel first, then the horizontal wheel",
         {proto::ScrollEvent{1, 0, -120, 9, 9}, proto::ScrollEvent{1, 3, 2, 0, 0}, proto::ScrollEvent{1, 0, 0, 0, 0}},
         {M(0x800, 0, 0, -120), M(0x800, 0, 0, 2), M(0x1000, 0, 0, 3)}},
        {"text: CR and LF are each an Enter, tab a Tab",
         {text("a\r\nb\t")},
         cat({U('a'), {K(0x0D, 0x1C), K(0x0D, 0x1C, UP), K(0x0D, 0x1C), K(0x0D, 0x1C, UP)}, U('b'),
              {K(0x09, 0x0F), K(0x09, 0x0F, UP)}})},
        {"text beyond the basic plane as a surrogate pair", {text("\xC3\xA9\xF0\x9F\x98\x80")},
         cat({U(0xE9), U(0xD83D), U(0xDE00)})},
        {"text: controls, overlong, surrogate, out of range and cut sequences are skipped",
         {text("x\x01\x7F\xC0\xAFy\xED\xA0\x80z\xF4\x90\x80\x80!\xE2\x82")}, cat({U('x'), U('y'), U('z'), U('!')})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        for (const auto& m : c.messages) deliver(*rig.injector, m);
        EXPECT_EQ(describe(rig.machine.sent_events()), describe(c.expected));
        EXPECT_EQ(rig.injector->counters().sendinput_failures, 0u);
    }
}

TEST(InputInjector, TextIsCutAfter256UnitsButFinishesACharacter) {
    Rig rig;
    rig.injector->text(std::string(300, 'q'));
    EXPECT_EQ(rig.machine.sent_events().size(), 512u);
    rig.machine.clear_records();
    // 255 units, then an emoji: both of its units are sent, nothing after it.
    rig.injector->text(std::string(255, 'q') + "\xF0\x9F\x98\x80" + "zz");
    const auto sent = rig.machine.sent_events();
    ASSERT_EQ(sent.size(), 514u);
    EXPECT_EQ(sent[512].ki.scan, 0xDE00);
    const auto c = rig.injector->counters();
    EXPECT_EQ(c.text_messages, 2u);
    EXPECT_EQ(c.text_units, 256u + 257u);
    EXPECT_EQ(rig.machine.typed_text(), std::string(511, 'q') + "\xF0\x9F\x98\x80");
}

TEST(InputInjector, NothingStaysDownWhenTheSessionGoes) {
    Rig rig;
    rig.injector->key(0x04, true, 0x03);  // Ctrl+Shift+A, never released
    rig.injector->key(0x4F, true, 0);     // Right arrow
    rig.injector->mouse_button(1, true);
    rig.injector->mouse_button(2, true);
    EXPECT_EQ(rig.machine.keys_down(), 4u);
    EXPECT_EQ(rig.machine.buttons_down(), 2u);
    rig.machine.clear_records();
    rig.injector.reset();
    EXPECT_EQ(rig.machine.keys_down(), 0u);
    EXPECT_EQ(rig.machine.buttons_down(), 0u);
    EXPECT_EQ(describe(rig.machine.sent_events()),
              describe({K(0xA2, 0x1D, UP), K(0xA0, 0x2A, UP), K(0x27, 0x4D, EXT | UP), K(0x41, 0x1E, UP), M(0x4),
                        M(0x10)}));
}

TEST(InputInjector, ElevatedForegroundIsReportedAtALimitedRateAndInputStillSent) {
    test::LogCapture log;
    Rig rig;
    rig.machine.add_process({4242, "C:\\Windows\\System32\\Taskmgr.exe", true});
    rig.machine.add_process({77, "C:\\Apps\\notepad.exe", false});
    rig.machine.add_process({90, "", true, platform::kErrorAccessDenied});
    rig.machine.set_foreground(4242);
    const std::string warning =
        "[session 7] input (key) hits an ELEVATED foreground window (Taskmgr.exe): Windows (UIPI) drops it "
        "silently; telling the phone";

    for (int i = 0; i < 5; ++i) rig.injector->key(0x04, i % 2 == 0, 0);
    EXPECT_EQ(rig.machine.uipi_dropped(), 5u);  // sent anyway, dropped by the system
    EXPECT_EQ(rig.injector->counters().uipi_blocked, 5u);
    EXPECT_EQ(rig.notes, std::vector<std::string>{"uipi_blocked"});
    EXPECT_EQ(log.count(warning), 1u);

    // The foreground answer is trusted for 300 ms, the warning repeats after 10 s.
    rig.machine.set_foreground(77);
    rig.injector->scroll(0, 1);
    EXPECT_EQ(rig.injector->counters().uipi_blocked, 6u);
    rig.clock.advance_ms(300);
    rig.injector->scroll(0, 1);
    EXPECT_EQ(rig.injector->counters().uipi_blocked, 6u);
    rig.machine.set_foreground(4242);
    rig.clock.advance_ms(300);
    rig.injector->key(0x04, true, 0);
    EXPECT_EQ(rig.injector->counters().uipi_blocked, 7u);
    EXPECT_EQ(rig.notes.size(), 1u);
    rig.clock.advance_ms(9'400);
    rig.injector->key(0x04, false, 0);
    EXPECT_EQ(rig.notes.size(), 2u);
    EXPECT_EQ(log.count(warning), 2u);

    // A process that cannot be opened for lack of access counts as elevated.
    rig.machine.set_foreground(90);
    rig.clock.advance_ms(10'000);
    rig.injector->text("x");
    EXPECT_EQ(log.count("input (text) hits an ELEVATED foreground window (pid 90)"), 1u);

    // An elevated host is never blocked.
    Rig elevated;
    elevated.machine.set_host(1000, true);
    elevated.machine.add_process({4242, "C:\\Windows\\System32\\Taskmgr.exe", true});
    elevated.machine.set_foreground(4242);
    elevated.injector->text("ok");
    EXPECT_EQ(elevated.injector->counters().uipi_blocked, 0u);
    EXPECT_EQ(elevated.machine.typed_text(), "ok");
}

TEST(InputInjector, LogsCountsNeverKeysOrTextAndRateLimitsFailures) {
    test::LogCapture log;
    Rig rig;
    rig.injector->text("hunter2");
    for (uint32_t usage : {0x0Bu, 0x18u, 0x11u}) {  // h, u, n
        rig.injector->key(usage, true, 0x02);
        rig.injector->key(usage, false, 0x02);
    }
    EXPECT_EQ(rig.machine.typed_text(), "hunter2HUN");
    EXPECT_EQ(log.text().find("hunter"), std::string::npos);
    EXPECT_EQ(log.text().find("hid="), std::string::npos);
    EXPECT_EQ(log.text().find("0x0B"), std::string::npos);
    EXPECT_EQ(log.count("[session 7] text: 7 units -> SendInput 14/14 (msg #1)"), 1u);

    // The secure desktop refuses everything: each failure counts, few are logged.
    rig.machine.set_input_desktop("Winlogon");
    for (int i = 0; i < 500; ++i) EXPECT_EQ(rig.injector->relative_move(1, 1), 0u);
    EXPECT_EQ(rig.injector->counters().sendinput_failures, 500u);
    EXPECT_EQ(log.count("[session 7] SendInput(move) FAILED: 0 of 1 events accepted, GetLastError=5"), 15u);
    EXPECT_LE(log.count("relative move #"), 3u);

    // With the host's budget spent, the sampled lines stay out; counting goes on.
    rig.injector->set_line_gate([] { return false; });
    const size_t lines = log.text().size();
    for (int i = 0; i < 500; ++i) rig.injector->text("x");
    EXPECT_EQ(rig.injector->counters().sendinput_failures, 1000u);
    EXPECT_EQ(log.text().size(), lines) << log.text().substr(lines);
}

TEST(InputInjector, PartialSendIsCountedOnce) {
    test::LogCapture log;
    Rig rig;
    rig.machine.fail_next_send_input(3, platform::kErrorNotEnoughQuota);
    EXPECT_EQ(rig.injector->text("abcd"), 3u);
    EXPECT_EQ(rig.injector->counters().sendinput_failures, 1u);
    EXPECT_EQ(log.count("[session 7] SendInput(text) FAILED: 3 of 8 events accepted, GetLastError=1816"), 1u);
    EXPECT_EQ(log.count("[session 7] text: 4 units -> SendInput 3/8 (msg #1)"), 1u);
}

// The session's input thread injects while another thread reads the counters
// and finally releases everything.
TEST(InputInjectorThreads, CountersAndReleaseFromAnotherThread) {
    Rig rig;
    std::thread input([&] {
        for (int i = 0; i < 2000; ++i) {
            rig.injector->key(0x04, true, 0x02);
            rig.injector->relative_move(1, 0);
            rig.injector->key(0x04, false, 0);
        }
    });
    uint32_t seen = 0;
    while (seen < 6000) {
        const auto c = rig.injector->counters();
        seen = c.keys + c.moves;
    }
    input.join();
    rig.injector->release_all();
    EXPECT_EQ(rig.machine.keys_down(), 0u);
    EXPECT_EQ(rig.injector->held_modifiers(), 0u);
}

}  // namespace
}  // namespace sorvane
