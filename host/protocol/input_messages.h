// Messages of the input connection (viewer to host only), one plain struct
// each. None has tail fields; bytes after the fixed fields are ignored.
// Decoding allocates nothing except the text of TextInput: a TouchFrame keeps
// its points in place (about 3 KiB), so pass messages by reference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "host/protocol/wire.h"
#include "host/protocol/wire_fields.h"

namespace sorvane::proto {

// Touch contact states.
inline constexpr uint8_t kTouchDown = 0;
inline constexpr uint8_t kTouchMove = 1;
inline constexpr uint8_t kTouchUp = 2;
inline constexpr uint8_t kTouchCancel = 3;

// Largest number of points a touch frame can carry (its count is one byte).
inline constexpr size_t kMaxTouchPoints = 255;

struct TouchPoint {
    uint8_t pointer_id = 0;
    uint8_t phase = 0;
    float x = 0;  // normalised to the monitor, 0..1 (not clamped here)
    float y = 0;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("pointer_id", m.pointer_id);
        v.field("phase", m.phase);
        v.field("x", m.x);
        v.field("y", m.y);
    }
    friend bool operator==(const TouchPoint&, const TouchPoint&) = default;
};

using TouchPoints = CountedList<TouchPoint, kMaxTouchPoints>;

struct PointerMove {
    static constexpr uint8_t kType = 1;
    static constexpr std::string_view kName = "PointerMove";

    uint32_t session_id = 0;
    float x = 0;
    float y = 0;
    uint64_t time = 0;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("x", m.x);
        v.field("y", m.y);
        v.field("time", m.time);
    }
    friend bool operator==(const PointerMove&, const PointerMove&) = default;
};

struct ButtonEvent {
    static constexpr uint8_t kType = 2;
    static constexpr std::string_view kName = "ButtonEvent";

    uint32_t session_id = 0;
    uint8_t button = 0;
    bool down = false;
    float x = 0;
    float y = 0;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("button", m.button);
        v.field("down", m.down);
        v.field("x", m.x);
        v.field("y", m.y);
    }
    friend bool operator==(const ButtonEvent&, const ButtonEvent&) = default;
};

struct KeyEvent {
    static constexpr uint8_t kType = 3;
    static constexpr std::string_view kName = "KeyEvent";

    uint32_t session_id = 0;
    uint32_t hid_usage = 0;
    bool down = false;
    uint8_t modifiers = 0;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("hid_usage", m.hid_usage);
        v.field("down", m.down);
        v.field("modifiers", m.modifiers);
    }
    friend bool operator==(const KeyEvent&, const KeyEvent&) = default;
};

struct ScrollEvent {
    static constexpr uint8_t kType = 4;
    static constexpr std::string_view kName = "ScrollEvent";

    uint32_t session_id = 0;
    int16_t dx = 0;
    int16_t dy = 0;
    uint32_t x = 0;  // carried but not used by the host
    uint32_t y = 0;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("dx", m.dx);
        v.field("dy", m.dy);
        v.field("x", m.x);
        v.field("y", m.y);
    }
    friend bool operator==(const ScrollEvent&, const ScrollEvent&) = default;
};

struct TouchFrame {
    static constexpr uint8_t kType = 6;
    static constexpr std::string_view kName = "TouchFrame";

    uint32_t session_id = 0;
    uint64_t time = 0;
    TouchPoints points;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("time", m.time);
        v.list("count", "points", m.points);
    }
    friend bool operator==(const TouchFrame&, const TouchFrame&) = default;
};

struct TextInput {
    static constexpr uint8_t kType = 7;
    static constexpr std::string_view kName = "TextInput";

    uint32_t session_id = 0;
    std::string text;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("text", m.text);
    }
    friend bool operator==(const TextInput&, const TextInput&) = default;
};

struct RelativeMove {
    static constexpr uint8_t kType = 8;
    static constexpr std::string_view kName = "RelativeMove";

    uint32_t session_id = 0;
    int16_t dx = 0;
    int16_t dy = 0;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("dx", m.dx);
        v.field("dy", m.dy);
    }
    friend bool operator==(const RelativeMove&, const RelativeMove&) = default;
};

struct MouseButton {
    static constexpr uint8_t kType = 9;
    static constexpr std::string_view kName = "MouseButton";

    uint32_t session_id = 0;
    uint8_t button = 0;
    bool down = false;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("session_id", m.session_id);
        v.field("button", m.button);
        v.field("down", m.down);
    }
    friend bool operator==(const MouseButton&, const MouseButton&) = default;
};

// Alternatives in the order of their type bytes (type 5 is not used).
using InputMessage =
    std::variant<PointerMove, ButtonEvent, KeyEvent, ScrollEvent, TouchFrame, TextInput, RelativeMove, MouseButton>;

// Appends one frame; false (out unchanged) when a limit is hit.
bool encode_input(const InputMessage& message, Bytes& out);

// Decodes an input payload: unknown for types other than 1..4 and 6..9.
Decoded<InputMessage> decode_input(uint8_t type, ByteView payload);

std::string_view input_type_name(uint8_t type);
std::string_view message_name(const InputMessage& message);
uint8_t message_type(const InputMessage& message);
// Every input message names the session it belongs to.
uint32_t session_id_of(const InputMessage& message);

}  // namespace sorvane::proto
