// Turns the window's mouse, wheel, keyboard, text and touch events into the
// messages of the input connection:
// - the mouse moves the host's pointer with relative moves, so that it lands
//   on the stream pixel under the window's pointer. Before the first move
//   (and whenever the pointer comes back into the window) the host's pointer
//   is pushed into the monitor's top-right corner, where a new monitor sits
//   on the desktop (right of the others, top edge at 0); from there every
//   position is known. Buttons go as mouse buttons, the wheel in wheel units
//   (120 a notch);
// - keys that type a character travel as the text they type, unless Ctrl,
//   the left Alt or the GUI key is held (a shortcut): then, as every other
//   key, as a key event with its keyboard usage and the modifier bits;
// - fingers go as touch frames, normalised to the monitor.
// Presses that start on the bars beside the picture are not passed on;
// releases always are, so the host never keeps a key or button down.
// Ctrl+Alt+O is the viewer's own: it toggles the overlay.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "host/protocol/input_messages.h"
#include "viewer/window/view_mapping.h"

namespace sorvane::viewer {

// Modifier bits of a key event.
inline constexpr uint8_t kModCtrl = 0x01;
inline constexpr uint8_t kModShift = 0x02;
inline constexpr uint8_t kModAlt = 0x04;
inline constexpr uint8_t kModGui = 0x08;

// The modifier bits of SDL's modifier state.
uint8_t modifier_bits(uint16_t sdl_mod);
// The keyboard usage of a key: letters and digits by what they type on the
// local layout (a shortcut means its letter), every other key by its
// position, which is what SDL's scancodes are. 0 for none.
uint32_t key_usage(const SDL_Keysym& key);

class InputTranslator {
public:
    enum class Action : uint8_t { none, toggle_overlay };

    // The window's size in the units of its mouse events, and the stream's.
    void set_view(const ViewMapping& view) { view_ = view; }
    // A new session: the host holds nothing, and its pointer is found again.
    void reset();
    // Appends the messages of one event; touch points of one batch share a
    // frame while their contacts differ.
    Action translate(const SDL_Event& event, std::vector<proto::InputMessage>& out);
    // Lets go of every key, button and contact the host holds for us.
    void release_all(std::vector<proto::InputMessage>& out);

private:
    void move_to(StreamPixel p, std::vector<proto::InputMessage>& out);
    Action key(const SDL_KeyboardEvent& k, std::vector<proto::InputMessage>& out);
    void touch(const SDL_TouchFingerEvent& f, std::vector<proto::InputMessage>& out);
    void add_touch(uint8_t id, uint8_t phase, StreamPixel p, uint64_t time, std::vector<proto::InputMessage>& out);

    ViewMapping view_;
    bool homed_ = false;
    StreamPixel pointer_;               // where the host's pointer is, when homed
    bool buttons_[4] = {};              // host buttons 1..3 held
    struct HeldKey {
        uint32_t usage = 0;
        uint8_t modifiers = 0;
    };
    std::map<SDL_Scancode, HeldKey> keys_;  // keys held on the host, as pressed there
    std::set<SDL_Scancode> swallowed_;      // keys the viewer kept for itself
    uint16_t mod_ = 0;                   // the modifier state of the last key event
    std::map<SDL_FingerID, uint8_t> fingers_;  // open contacts
    std::map<uint8_t, StreamPixel> contacts_;  // contact id -> last point
    double wheel_x_ = 0, wheel_y_ = 0;   // fractions of a wheel unit carried over
};

}  // namespace sorvane::viewer
