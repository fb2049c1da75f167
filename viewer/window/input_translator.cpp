#include "viewer/window/input_translator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <variant>

namespace sorvane::viewer {

namespace {

// Up to this many fingers at once, as many as the host's touch device takes.
constexpr uint8_t kMaxContacts = 10;

// Modifiers that make a key a shortcut rather than typing. The right Alt is
// left out: on many layouts it is AltGr, which types characters.
constexpr uint16_t kShortcutMods = KMOD_CTRL | KMOD_LALT | KMOD_GUI;

bool is_modifier_key(SDL_Scancode sc) { return sc >= SDL_SCANCODE_LCTRL && sc <= SDL_SCANCODE_RGUI; }

// Keys whose press types a character (their text event carries it).
bool types_text(const SDL_Keysym& key) {
    const SDL_Keycode sym = key.sym;
    if ((sym & SDLK_SCANCODE_MASK) != 0) return false;  // keypad, navigation, function keys
    return (sym >= 0x20 && sym < 0x7F) || sym >= 0xA0;
}

uint8_t host_button(uint8_t sdl_button) {
    switch (sdl_button) {
        case SDL_BUTTON_LEFT: return 1;
        case SDL_BUTTON_RIGHT: return 2;
        case SDL_BUTTON_MIDDLE: return 3;
        default: return 0;
    }
}

// Every message goes out through here. Not inlined: GCC 12 takes the string of
// a TextInput already in the vector for uninitialised when an append that may
// reallocate is inlined into a loop.
[[gnu::noinline]] void emit(std::vector<proto::InputMessage>& out, proto::InputMessage&& message) {
    out.push_back(std::move(message));
}

int16_t take_whole(double& carried) {
    const double whole = std::trunc(std::clamp(carried, -32768.0, 32767.0));
    carried -= whole;
    return static_cast<int16_t>(whole);
}

}  // namespace

uint8_t modifier_bits(uint16_t mod) {
    uint8_t bits = 0;
    if ((mod & KMOD_CTRL) != 0) bits |= kModCtrl;
    if ((mod & KMOD_SHIFT) != 0) bits |= kModShift;
    if ((mod & KMOD_ALT) != 0) bits |= kModAlt;
    if ((mod & KMOD_GUI) != 0) bits |= kModGui;
    return bits;
}

uint32_t key_usage(const SDL_Keysym& key) {
    const SDL_Keycode sym = key.sym;
    if (sym >= SDLK_a && sym <= SDLK_z) return 0x04u + static_cast<uint32_t>(sym - SDLK_a);
    if (sym >= SDLK_1 && sym <= SDLK_9) return 0x1Eu + static_cast<uint32_t>(sym - SDLK_1);
    if (sym == SDLK_0) return 0x27;
    if (key.scancode >= SDL_SCANCODE_A && key.scancode <= SDL_SCANCODE_RGUI) return static_cast<uint32_t>(key.scancode);
    return 0;
}

void InputTranslator::reset() {
    homed_ = false;
    std::fill(std::begin(buttons_), std::end(buttons_), false);
    keys_.clear();
    swallowed_.clear();
    fingers_.clear();
    contacts_.clear();
    wheel_x_ = wheel_y_ = 0;
}

void InputTranslator::move_to(StreamPixel p, std::vector<proto::InputMessage>& out) {
    if (!homed_) {
        // Far right and far up: Windows stops the pointer at the top-right
        // corner of the rightmost display, which is ours.
        emit(out, proto::RelativeMove{0, std::numeric_limits<int16_t>::max(), std::numeric_limits<int16_t>::min()});
        pointer_ = {static_cast<int32_t>(view_.stream_width()) - 1, 0};
        homed_ = true;
    }
    int32_t dx = p.x - pointer_.x, dy = p.y - pointer_.y;
    while (dx != 0 || dy != 0) {
        const int32_t sx = std::clamp<int32_t>(dx, -32768, 32767), sy = std::clamp<int32_t>(dy, -32768, 32767);
        emit(out, proto::RelativeMove{0, static_cast<int16_t>(sx), static_cast<int16_t>(sy)});
        dx -= sx;
        dy -= sy;
    }
    pointer_ = p;
}

InputTranslator::Action InputTranslator::translate(const SDL_Event& event, std::vector<proto::InputMessage>& out) {
    switch (event.type) {
        case SDL_MOUSEMOTION: {
            if (event.motion.which == SDL_TOUCH_MOUSEID) break;  // made up from a finger, which goes as touch
            if (const auto p = view_.nearest_pixel(event.motion.x + 0.5, event.motion.y + 0.5)) move_to(*p, out);
            break;
        }
        case SDL_MOUSEBUTTONDOWN:
        case SDL_MOUSEBUTTONUP: {
            const SDL_MouseButtonEvent& b = event.button;
            const uint8_t button = host_button(b.button);
            if (b.which == SDL_TOUCH_MOUSEID || button == 0) break;
            if (b.state == SDL_PRESSED) {
                const auto p = view_.pixel_at(b.x + 0.5, b.y + 0.5);
                if (!p || buttons_[button]) break;
                move_to(*p, out);
                emit(out, proto::MouseButton{0, button, true});
                buttons_[button] = true;
            } else if (buttons_[button]) {
                if (const auto p = view_.nearest_pixel(b.x + 0.5, b.y + 0.5)) move_to(*p, out);
                emit(out, proto::MouseButton{0, button, false});
                buttons_[button] = false;
            }
            break;
        }
        case SDL_MOUSEWHEEL: {
            const SDL_MouseWheelEvent& w = event.wheel;
            if (w.which == SDL_TOUCH_MOUSEID) break;
            // The wheel turns under the pointer, and not at all over the bars.
            const auto p = view_.pixel_at(w.mouseX + 0.5, w.mouseY + 0.5);
            if (!p) break;
            move_to(*p, out);
            const double flip = w.direction == SDL_MOUSEWHEEL_FLIPPED ? -1.0 : 1.0;
            wheel_x_ += flip * w.preciseX * 120.0;
            wheel_y_ += flip * w.preciseY * 120.0;
            const int16_t dx = take_whole(wheel_x_), dy = take_whole(wheel_y_);
            if (dx != 0 || dy != 0)
                emit(out, proto::ScrollEvent{0, dx, dy, static_cast<uint32_t>(pointer_.x),
                                                 static_cast<uint32_t>(pointer_.y)});
            break;
        }
        case SDL_KEYDOWN:
        case SDL_KEYUP: return key(event.key, out);
        case SDL_TEXTINPUT:
            if ((mod_ & kShortcutMods) == 0 && event.text.text[0] != '\0')
                emit(out, proto::TextInput{0, std::string(event.text.text,
                                                          strnlen(event.text.text, sizeof event.text.text))});
            break;
        case SDL_FINGERDOWN:
        case SDL_FINGERMOTION:
        case SDL_FINGERUP: touch(event.tfinger, out); break;
        case SDL_WINDOWEVENT:
            // The pointer comes back: find the host's again, unless a drag is on.
            if (event.window.event == SDL_WINDOWEVENT_ENTER && !buttons_[1] && !buttons_[2] && !buttons_[3]) homed_ = false;
            if (event.window.event == SDL_WINDOWEVENT_FOCUS_LOST) release_all(out);
            break;
        default: break;
    }
    return Action::none;
}

InputTranslator::Action InputTranslator::key(const SDL_KeyboardEvent& k, std::vector<proto::InputMessage>& out) {
    mod_ = k.keysym.mod;
    const SDL_Scancode sc = k.keysym.scancode;
    if (k.state == SDL_RELEASED) {
        if (swallowed_.erase(sc) != 0) return Action::none;
        const auto it = keys_.find(sc);
        if (it == keys_.end()) return Action::none;
        // With the modifiers of its press, so the host lets go of what it pressed for it.
        emit(out, proto::KeyEvent{0, it->second.usage, false, it->second.modifiers});
        keys_.erase(it);
        return Action::none;
    }
    if (swallowed_.count(sc) != 0) return Action::none;  // a repeat of the viewer's own key
    if (k.keysym.sym == SDLK_o && (mod_ & KMOD_CTRL) != 0 && (mod_ & KMOD_ALT) != 0) {
        swallowed_.insert(sc);
        return Action::toggle_overlay;
    }
    if (types_text(k.keysym) && (mod_ & kShortcutMods) == 0) return Action::none;
    const uint32_t usage = key_usage(k.keysym);
    if (usage == 0) return Action::none;
    const auto held = keys_.find(sc);
    const uint8_t modifiers =
        held != keys_.end() ? held->second.modifiers : (is_modifier_key(sc) ? uint8_t{0} : modifier_bits(mod_));
    emit(out, proto::KeyEvent{0, usage, true, modifiers});
    keys_[sc] = {usage, modifiers};
    return Action::none;
}

void InputTranslator::touch(const SDL_TouchFingerEvent& f, std::vector<proto::InputMessage>& out) {
    if (f.touchId == SDL_MOUSE_TOUCHID) return;  // made up from the mouse, which goes as mouse
    const double x = static_cast<double>(f.x) * view_.area_width(), y = static_cast<double>(f.y) * view_.area_height();
    const auto open = fingers_.find(f.fingerId);
    if (f.type == SDL_FINGERDOWN) {
        const auto p = view_.pixel_at(x, y);
        if (open != fingers_.end() || !p) return;
        uint8_t id = 0;
        while (id < kMaxContacts && contacts_.count(id) != 0) ++id;
        if (id == kMaxContacts) return;
        fingers_[f.fingerId] = id;
        add_touch(id, proto::kTouchDown, *p, f.timestamp, out);
        return;
    }
    if (open == fingers_.end()) return;
    const uint8_t id = open->second;
    const StreamPixel p = view_.nearest_pixel(x, y).value_or(contacts_[id]);
    if (f.type == SDL_FINGERMOTION) {
        add_touch(id, proto::kTouchMove, p, f.timestamp, out);
        return;
    }
    add_touch(id, proto::kTouchUp, p, f.timestamp, out);
    contacts_.erase(id);
    fingers_.erase(open);
}

void InputTranslator::add_touch(uint8_t id, uint8_t phase, StreamPixel p, uint64_t time,
                                std::vector<proto::InputMessage>& out) {
    contacts_[id] = p;
    const proto::TouchPoint point{id, phase, view_.normalised_x(p.x), view_.normalised_y(p.y)};
    if (!out.empty()) {
        // One frame per batch while each contact appears in it once.
        if (auto* frame = std::get_if<proto::TouchFrame>(&out.back())) {
            const bool repeated = std::any_of(frame->points.begin(), frame->points.end(),
                                              [&](const proto::TouchPoint& q) { return q.pointer_id == id; });
            if (!repeated && frame->points.push_back(point)) return;
        }
    }
    proto::TouchFrame frame;
    frame.time = time;
    frame.points.push_back(point);
    emit(out, std::move(frame));
}

void InputTranslator::release_all(std::vector<proto::InputMessage>& out) {
    for (const auto& [sc, k] : keys_) emit(out, proto::KeyEvent{0, k.usage, false, k.modifiers});
    keys_.clear();
    for (uint8_t b = 1; b <= 3; ++b) {
        if (!buttons_[b]) continue;
        emit(out, proto::MouseButton{0, b, false});
        buttons_[b] = false;
    }
    for (const auto& [finger, id] : fingers_) add_touch(id, proto::kTouchCancel, contacts_[id], 0, out);
    fingers_.clear();
    contacts_.clear();
}

}  // namespace sorvane::viewer
