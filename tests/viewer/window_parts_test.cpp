// The pieces of sorvane-viewer show that need no display: where a window
// point lands on the stream, what the window's events become on the input
// connection, and the way from an access unit to the newest picture.
#include <gtest/gtest.h>

#include <SDL.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/test_card.h"
#include "tests/viewer/card_encoder.h"
#include "viewer/window/decode_path.h"
#include "viewer/window/input_translator.h"
#include "viewer/window/view_mapping.h"

namespace sorvane {
namespace {

using viewer::StreamPixel;
using viewer::ViewMapping;
using viewer::ViewRect;

TEST(ViewMapping, WindowPointsLandOnTheLetterboxedStream) {
    struct Case {
        uint32_t aw, ah, sw, sh;
        ViewRect picture;
        double x, y;
        std::optional<StreamPixel> pixel;    // nullopt: on the bars
        std::optional<StreamPixel> nearest;  // where a drag over the bars stays
    };
    const Case cases[] = {
        // Same size: pixel for pixel, edges included.
        {1280, 720, 1280, 720, {0, 0, 1280, 720}, 0.5, 0.5, StreamPixel{0, 0}, StreamPixel{0, 0}},
        {1280, 720, 1280, 720, {0, 0, 1280, 720}, 1279.5, 719.5, StreamPixel{1279, 719}, StreamPixel{1279, 719}},
        // 16:10 in a 16:9 window: bars left and right.
        {1920, 1080, 1280, 800, {96, 0, 1728, 1080}, 960, 540, StreamPixel{640, 400}, StreamPixel{640, 400}},
        {1920, 1080, 1280, 800, {96, 0, 1728, 1080}, 96.5, 0.5, StreamPixel{0, 0}, StreamPixel{0, 0}},
        {1920, 1080, 1280, 800, {96, 0, 1728, 1080}, 95.5, 500, std::nullopt, StreamPixel{0, 370}},
        {1920, 1080, 1280, 800, {96, 0, 1728, 1080}, 1900, 1079.5, std::nullopt, StreamPixel{1279, 799}},
        // A wide stream in a square window: bars above and below.
        {800, 800, 1600, 900, {0, 175, 800, 450}, 400, 400, StreamPixel{800, 450}, StreamPixel{800, 450}},
        {800, 800, 1600, 900, {0, 175, 800, 450}, 400, 100, std::nullopt, StreamPixel{800, 0}},
        // Rounding leaves a one-pixel bar; a half-size window halves.
        {1366, 768, 1920, 1080, {0, 0, 1365, 768}, 1365.5, 10, std::nullopt, StreamPixel{1919, 14}},
        {960, 540, 1920, 1080, {0, 0, 960, 540}, 480.5, 270.5, StreamPixel{961, 541}, StreamPixel{961, 541}},
        // No stream yet: nothing to land on.
        {1000, 1000, 0, 0, {0, 0, 0, 0}, 500, 500, std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        const ViewMapping m(c.aw, c.ah, c.sw, c.sh);
        SCOPED_TRACE(std::to_string(c.aw) + "x" + std::to_string(c.ah) + " " + std::to_string(c.sw) + "x" +
                     std::to_string(c.sh) + " at " + std::to_string(c.x) + "," + std::to_string(c.y));
        EXPECT_EQ(m.picture(), c.picture);
        EXPECT_EQ(m.pixel_at(c.x, c.y), c.pixel);
        EXPECT_EQ(m.nearest_pixel(c.x, c.y), c.nearest);
    }
    // Normalised as the host's touch injection reads it back: the edges are 0 and 1.
    const ViewMapping m(1280, 720, 1280, 720);
    EXPECT_EQ(m.normalised_x(0), 0.0f);
    EXPECT_EQ(m.normalised_x(1279), 1.0f);
    EXPECT_EQ(static_cast<int>(1279 * m.normalised_x(640) + 0.5f), 640);
}

// Window events as SDL delivers them.
SDL_Event motion(int x, int y) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.x = x;
    e.motion.y = y;
    return e;
}
SDL_Event button(bool down, uint8_t b, int x, int y) {
    SDL_Event e{};
    e.type = down ? SDL_MOUSEBUTTONDOWN : SDL_MOUSEBUTTONUP;
    e.button.state = down ? SDL_PRESSED : SDL_RELEASED;
    e.button.button = b;
    e.button.x = x;
    e.button.y = y;
    return e;
}
SDL_Event wheel(float dy, int x, int y, bool flipped = false) {
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.preciseY = dy;
    e.wheel.mouseX = x;
    e.wheel.mouseY = y;
    e.wheel.direction = flipped ? SDL_MOUSEWHEEL_FLIPPED : SDL_MOUSEWHEEL_NORMAL;
    return e;
}
SDL_Event key(bool down, SDL_Scancode sc, SDL_Keycode sym, uint16_t mod = 0) {
    SDL_Event e{};
    e.type = down ? SDL_KEYDOWN : SDL_KEYUP;
    e.key.state = down ? SDL_PRESSED : SDL_RELEASED;
    e.key.keysym.scancode = sc;
    e.key.keysym.sym = sym;
    e.key.keysym.mod = mod;
    return e;
}
SDL_Event text(const char* t) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    std::strncpy(e.text.text, t, sizeof e.text.text - 1);
    return e;
}
SDL_Event finger(Uint32 type, SDL_FingerID id, float x, float y) {
    SDL_Event e{};
    e.type = type;
    e.tfinger.touchId = 1;
    e.tfinger.fingerId = id;
    e.tfinger.x = x;
    e.tfinger.y = y;
    return e;
}
SDL_Event window(SDL_WindowEventID what) {
    SDL_Event e{};
    e.type = SDL_WINDOWEVENT;
    e.window.event = what;
    return e;
}

using Messages = std::vector<proto::InputMessage>;

// The messages of one batch of events.
Messages translate(viewer::InputTranslator& t, const std::vector<SDL_Event>& events) {
    Messages out;
    for (const SDL_Event& e : events) t.translate(e, out);
    return out;
}

proto::TouchFrame touch(std::initializer_list<proto::TouchPoint> points) {
    proto::TouchFrame f;
    for (const proto::TouchPoint& p : points) f.points.push_back(p);
    return f;
}

TEST(InputTranslator, TheMouseMovesTheHostsPointerOntoTheStreamPixelUnderIt) {
    viewer::InputTranslator t;
    t.set_view(ViewMapping(1920, 1080, 1280, 800));  // the picture at x 96..1823
    // The first move finds the host's pointer in the monitor's top-right corner.
    EXPECT_EQ(translate(t, {motion(960, 540)}),
              (Messages{proto::RelativeMove{0, 32767, -32768}, proto::RelativeMove{0, 640 - 1279, 400}}));
    EXPECT_EQ(translate(t, {button(true, SDL_BUTTON_LEFT, 96, 540), button(false, SDL_BUTTON_LEFT, 20, 540)}),
              (Messages{proto::RelativeMove{0, -640, 0}, proto::MouseButton{0, 1, true}, proto::MouseButton{0, 1, false}}));
    // A press on the bars is not passed on, nor its release.
    EXPECT_EQ(translate(t, {button(true, SDL_BUTTON_RIGHT, 20, 540), button(false, SDL_BUTTON_RIGHT, 20, 540)}), Messages{});
    // The wheel turns under the pointer, in wheel units, fractions carried over.
    EXPECT_EQ(translate(t, {wheel(1.0f, 960, 540), wheel(0.5f, 960, 540), wheel(-1.0f, 960, 540, true)}),
              (Messages{proto::RelativeMove{0, 640, 0}, proto::ScrollEvent{0, 0, 120, 640, 400},
                        proto::ScrollEvent{0, 0, 60, 640, 400}, proto::ScrollEvent{0, 0, 120, 640, 400}}));
    // Back in the window after leaving it: the pointer is found again.
    EXPECT_EQ(translate(t, {window(SDL_WINDOWEVENT_ENTER), motion(1823, 0)}),
              (Messages{proto::RelativeMove{0, 32767, -32768}}));
    // Focus lost with a button down: the host lets go of it.
    EXPECT_EQ(translate(t, {button(true, SDL_BUTTON_MIDDLE, 960, 540), window(SDL_WINDOWEVENT_FOCUS_LOST)}),
              (Messages{proto::RelativeMove{0, 640 - 1279, 400}, proto::MouseButton{0, 3, true},
                        proto::MouseButton{0, 3, false}}));
}

TEST(InputTranslator, TypingTravelsAsTextAndShortcutsAndOtherKeysAsKeyEvents) {
    viewer::InputTranslator t;
    t.set_view(ViewMapping(1280, 720, 1280, 720));
    // A letter is its text; Enter, with Shift, is a key with its modifier.
    EXPECT_EQ(translate(t, {key(true, SDL_SCANCODE_A, SDLK_a), text("a"), key(false, SDL_SCANCODE_A, SDLK_a)}),
              (Messages{proto::TextInput{0, "a"}}));
    EXPECT_EQ(translate(t, {key(true, SDL_SCANCODE_RETURN, SDLK_RETURN, KMOD_LSHIFT),
                            key(false, SDL_SCANCODE_RETURN, SDLK_RETURN, KMOD_LSHIFT)}),
              (Messages{proto::KeyEvent{0, 0x28, true, 0x02}, proto::KeyEvent{0, 0x28, false, 0x02}}));
    // Ctrl+C: the Ctrl key itself, then C with the Ctrl bit, released as pressed.
    EXPECT_EQ(translate(t, {key(true, SDL_SCANCODE_LCTRL, SDLK_LCTRL, KMOD_LCTRL),
                            key(true, SDL_SCANCODE_C, SDLK_c, KMOD_LCTRL), key(false, SDL_SCANCODE_LCTRL, SDLK_LCTRL),
                            key(false, SDL_SCANCODE_C, SDLK_c)}),
              (Messages{proto::KeyEvent{0, 0xE0, true, 0}, proto::KeyEvent{0, 0x06, true, 0x01},
                        proto::KeyEvent{0, 0xE0, false, 0}, proto::KeyEvent{0, 0x06, false, 0x01}}));
    // A shortcut names its letter on the local layout (the key at Q types "a" on AZERTY).
    EXPECT_EQ(translate(t, {key(true, SDL_SCANCODE_Q, SDLK_a, KMOD_RCTRL)}),
              (Messages{proto::KeyEvent{0, 0x04, true, 0x01}}));
    // Text typed with AltGr (right Alt) is text; with the left Alt it is a shortcut's, and dropped.
    EXPECT_EQ(translate(t, {key(true, SDL_SCANCODE_2, SDLK_2, KMOD_RALT), text("@")}), (Messages{proto::TextInput{0, "@"}}));
    EXPECT_EQ(translate(t, {key(true, SDL_SCANCODE_X, SDLK_x, KMOD_LALT), text("x")}),
              (Messages{proto::KeyEvent{0, 0x1B, true, 0x04}}));
    // Ctrl+Alt+O is the viewer's own, press and release.
    Messages out;
    EXPECT_EQ(t.translate(key(true, SDL_SCANCODE_O, SDLK_o, KMOD_LCTRL | KMOD_LALT), out),
              viewer::InputTranslator::Action::toggle_overlay);
    EXPECT_EQ(t.translate(key(false, SDL_SCANCODE_O, SDLK_o, KMOD_LCTRL | KMOD_LALT), out),
              viewer::InputTranslator::Action::none);
    EXPECT_EQ(out, Messages{});
    // Keys still down on the host when the window loses the focus are let go:
    // the Q of the shortcut above, the Alt's X and F5.
    EXPECT_EQ(translate(t, {key(true, SDL_SCANCODE_F5, SDLK_F5), window(SDL_WINDOWEVENT_FOCUS_LOST)}),
              (Messages{proto::KeyEvent{0, 0x3E, true, 0}, proto::KeyEvent{0, 0x04, false, 0x01},
                        proto::KeyEvent{0, 0x1B, false, 0x04}, proto::KeyEvent{0, 0x3E, false, 0}}));
}

TEST(InputTranslator, FingersAreTouchContactsOfTheStream) {
    viewer::InputTranslator t;
    t.set_view(ViewMapping(1920, 1080, 1280, 800));
    const float half_x = 640.0f / 1279, half_y = 400.0f / 799;
    // Two fingers down share a frame; a finger that appears twice in a batch starts the next one.
    EXPECT_EQ(translate(t, {finger(SDL_FINGERDOWN, 77, 0.5f, 0.5f), finger(SDL_FINGERDOWN, 88, 96.5f / 1920, 0.0f),
                            finger(SDL_FINGERMOTION, 77, 0.5f, 0.5f)}),
              (Messages{touch({{0, proto::kTouchDown, half_x, half_y}, {1, proto::kTouchDown, 0.0f, 0.0f}}),
                        touch({{0, proto::kTouchMove, half_x, half_y}})}));
    // A finger that lands on the bars is no contact; contact 0 is free again after its up.
    EXPECT_EQ(translate(t, {finger(SDL_FINGERDOWN, 99, 0.01f, 0.5f), finger(SDL_FINGERUP, 99, 0.01f, 0.5f),
                            finger(SDL_FINGERUP, 77, 0.0f, 0.5f), finger(SDL_FINGERDOWN, 55, 0.5f, 0.5f)}),
              (Messages{touch({{0, proto::kTouchUp, 0.0f, half_y}}), touch({{0, proto::kTouchDown, half_x, half_y}})}));
    // Mouse events SDL makes up from a finger are not the mouse.
    SDL_Event fake = motion(10, 10);
    fake.motion.which = SDL_TOUCH_MOUSEID;
    EXPECT_EQ(translate(t, {fake}), Messages{});
    // The focus goes: the open contacts are cancelled where they were.
    EXPECT_EQ(translate(t, {window(SDL_WINDOWEVENT_FOCUS_LOST)}),
              (Messages{touch({{0, proto::kTouchCancel, half_x, half_y}, {1, proto::kTouchCancel, 0.0f, 0.0f}})}));
}

TEST(DecodePath, TheNewestPictureIsShownAndALateFrameNever) {
    std::unique_ptr<platform::IClock> clock = platform::make_system_clock();
    test::CardEncoder enc(*clock);
    std::string error;
    ASSERT_TRUE(enc.init(960, 540, 30, 4'000'000, error)) << error;
    std::vector<viewer::ReceivedFrame> frames(4);
    for (uint32_t i = 0; i < frames.size(); ++i) {
        frames[i].frame_seq = 100 + i;
        ASSERT_TRUE(enc.encode(5'000'000 + 33 * i, {}, frames[i].data, frames[i].keyframe, error)) << error;
    }
    viewer::PictureMailbox mailbox;
    int ready = 0, keyframes = 0;
    viewer::DecodePath path(*clock, mailbox, SDL_PIXELFORMAT_RGB888, [&] { ++ready; }, [&] { ++keyframes; });
    ASSERT_TRUE(path.open(error)) << error;
    path.on_frame(frames[0]);
    path.on_frame(frames[1]);
    // The window took nothing in between: it gets the newest, the other was replaced.
    const viewer::Picture* p = mailbox.take();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->frame_seq, 101u);
    EXPECT_EQ(p->frame_time_ms, 5'000'033u);
    EXPECT_EQ(mailbox.take(), nullptr);
    // Converted to the window's format (XRGB, little-endian: B G R X in memory) with the card's bar colours.
    for (uint32_t k = 0; k < 8; ++k) {
        const uint8_t* px = &p->pixels[200 * p->pitch + ((2 * k + 1) * 960 / 16) * 4];
        const sim::Rgb want = sim::kTestCardBars[k];
        EXPECT_NEAR(px[2], want.r, 12) << "bar " << k;
        EXPECT_NEAR(px[1], want.g, 12) << "bar " << k;
        EXPECT_NEAR(px[0], want.b, 12) << "bar " << k;
    }
    // Frame 102 is skipped: 103 is decoded but needs a key frame; 102 then comes too late.
    path.on_frame(frames[3]);
    EXPECT_EQ(keyframes, 1);
    path.on_frame(frames[2]);
    EXPECT_EQ(keyframes, 2);
    ASSERT_NE(p = mailbox.take(), nullptr);
    EXPECT_EQ(p->frame_seq, 103u);
    EXPECT_EQ(mailbox.take(), nullptr);
    const viewer::DecodeStats s = path.stats();
    EXPECT_EQ(s.decoded, 3u);
    EXPECT_EQ(s.superseded, 1u);
    EXPECT_EQ(s.late, 1u);
    EXPECT_EQ(s.gaps, 1u);
    EXPECT_EQ(ready, 3);
    // A new session numbers its frames afresh.
    path.new_session();
    frames[0].frame_seq = 1;
    path.on_frame(frames[0]);
    EXPECT_EQ(path.stats().late, 1u);
}

}  // namespace
}  // namespace sorvane
