#include "host/input/input_injector.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <span>

#include "host/core/log.h"
#include "platform/win_error.h"

namespace sorvane {

namespace {

constexpr uint16_t kVkTab = 0x09;
constexpr uint16_t kVkReturn = 0x0D;

struct Modifier {
    uint8_t bit;
    uint16_t vk;
    bool extended;
};

constexpr Modifier kModifiers[] = {
    {kModControl, 0xA2, false},  // VK_LCONTROL
    {kModShift, 0xA0, false},    // VK_LSHIFT
    {kModAlt, 0xA4, false},      // VK_LMENU
    {kModWin, 0x5B, true},       // VK_LWIN
};

struct ButtonFlags {
    uint32_t down;
    uint32_t up;
};

bool button_flags(uint32_t button, ButtonFlags& out) {
    switch (button) {
        case 1: out = {platform::kMouseEventLeftDown, platform::kMouseEventLeftUp}; return true;
        case 2: out = {platform::kMouseEventRightDown, platform::kMouseEventRightUp}; return true;
        case 3: out = {platform::kMouseEventMiddleDown, platform::kMouseEventMiddleUp}; return true;
        default: return false;
    }
}

// Lines about single events: the first few, then one in `every`.
bool sampled(uint32_t n, uint32_t first, uint32_t every) { return n <= first || n % every == 0; }

// Decodes one UTF-8 sequence at s[i]; advances i past it (or past the bytes of
// a malformed start) and returns false when nothing valid was there.
bool next_code_point(std::string_view s, size_t& i, uint32_t& cp) {
    const auto b0 = static_cast<uint8_t>(s[i]);
    ++i;
    if (b0 < 0x80) {
        cp = b0;
        return true;
    }
    size_t extra = 0;
    uint32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        extra = 1;
        cp = b0 & 0x1F;
        min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        extra = 2;
        cp = b0 & 0x0F;
        min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        extra = 3;
        cp = b0 & 0x07;
        min = 0x10000;
    } else {
        return false;  // a continuation byte, an overlong two-byte lead, or beyond F4
    }
    for (size_t k = 0; k < extra; ++k) {
        if (i >= s.size()) return false;
        const auto b = static_cast<uint8_t>(s[i]);
        if ((b & 0xC0) != 0x80) return false;  // resume at this byte
        cp = (cp << 6) | (b & 0x3F);
        ++i;
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    return true;
}

}  // namespace

KeyMapping map_hid_usage(uint32_t usage) {
    if (usage >= 0x04 && usage <= 0x1D) return {static_cast<uint16_t>(usage + 61), false};
    if (usage >= 0x1E && usage <= 0x26) return {static_cast<uint16_t>(usage + 19), false};
    if (usage >= 0x3A && usage <= 0x45) return {static_cast<uint16_t>(usage + 54), false};
    switch (usage) {
        case 0x27: return {0x30, false};
        case 0x28: return {0x0D, false};
        case 0x29: return {0x1B, false};
        case 0x2A: return {0x08, false};
        case 0x2B: return {0x09, false};
        case 0x2C: return {0x20, false};
        case 0x49: return {0x2D, true};
        case 0x4A: return {0x24, true};
        case 0x4B: return {0x21, true};
        case 0x4C: return {0x2E, true};
        case 0x4D: return {0x23, true};
        case 0x4E: return {0x22, true};
        case 0x4F: return {0x27, true};
        case 0x50: return {0x25, true};
        case 0x51: return {0x28, true};
        case 0x52: return {0x26, true};
        case 0xE0: return {0xA2, false};
        case 0xE1: return {0xA0, false};
        case 0xE2: return {0xA4, false};
        case 0xE3: return {0x5B, true};
        default: return {};
    }
}

platform::InputEvent to_input_event(const SyntheticEvent& e, platform::IInputSink& sink) {
    platform::InputEvent in;
    if (e.kind == SyntheticEvent::Kind::mouse) {
        in.type = platform::kInputMouse;
        in.mi.dx = e.dx;
        in.mi.dy = e.dy;
        in.mi.data = e.data;
        in.mi.flags = e.flags;
        return in;
    }
    in.type = platform::kInputKeyboard;
    if (e.unit != 0) {
        in.ki.scan = e.unit;
        in.ki.flags = platform::kKeyEventUnicode | (e.key_up ? platform::kKeyEventKeyUp : 0);
    } else {
        in.ki.vk = e.vk;
        in.ki.scan = static_cast<uint16_t>(sink.map_virtual_key(e.vk, platform::kMapVkToVsc));
        in.ki.flags = (e.extended ? platform::kKeyEventExtendedKey : 0) | (e.key_up ? platform::kKeyEventKeyUp : 0);
    }
    return in;
}

InputInjector::InputInjector(std::string name, std::function<void(std::string_view)> notify, const InputPorts& ports)
    : name_(std::move(name)),
      notify_(std::move(notify)),
      sink_(ports.sink),
      foreground_(ports.foreground),
      clock_(ports.clock) {}

InputInjector::~InputInjector() {
    // A warning raised by this last send has nobody left to go to.
    std::lock_guard<std::mutex> g(mutex_);
    release_all_locked();
}

void InputInjector::push_key(uint16_t vk, uint16_t unit, bool extended, bool up) {
    if (event_count_ >= events_.size()) return;
    SyntheticEvent& e = events_[event_count_++];
    e = SyntheticEvent{};
    e.kind = SyntheticEvent::Kind::keyboard;
    e.vk = vk;
    e.unit = unit;
    e.extended = extended;
    e.key_up = up;
}

void InputInjector::push_mouse(uint32_t flags, int32_t dx, int32_t dy, int32_t data) {
    if (event_count_ >= events_.size()) return;
    SyntheticEvent& e = events_[event_count_++];
    e = SyntheticEvent{};
    e.kind = SyntheticEvent::Kind::mouse;
    e.flags = flags;
    e.dx = dx;
    e.dy = dy;
    e.data = data;
}

void InputInjector::notify_if_pending(bool pending) {
    if (pending && notify_) notify_("uipi_blocked");
}

uint32_t InputInjector::key(uint32_t usage, bool down, uint8_t modifiers) {
    uint32_t accepted = 0;
    bool pending = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++counters_.keys;
        event_count_ = 0;
        const KeyMapping k = map_hid_usage(usage);
        if (k.vk != 0) {
            if (down) {
                for (const auto& m : kModifiers) {
                    if ((modifiers & m.bit) != 0 && (held_modifiers_ & m.bit) == 0) {
                        push_key(m.vk, 0, m.extended, false);
                        held_modifiers_ |= m.bit;
                    }
                }
                push_key(k.vk, 0, k.extended, false);
                held_keys_[k.vk & 0xFF] = k.extended ? 2 : 1;
            } else {
                push_key(k.vk, 0, k.extended, true);
                held_keys_[k.vk & 0xFF] = 0;
                for (const auto& m : kModifiers) {
                    if ((modifiers & m.bit) != 0 && (held_modifiers_ & m.bit) != 0) {
                        push_key(m.vk, 0, m.extended, true);
                        held_modifiers_ &= static_cast<uint8_t>(~m.bit);
                    }
                }
            }
        }
        const size_t events = event_count_;
        accepted = send_locked("key");
        if (sampled(++key_lines_, 10, 100) && line_ok()) {
            log("[%s] key #%" PRIu32 " %s -> %zu events, SendInput %" PRIu32, name_.c_str(), counters_.keys,
                down ? "down" : "up", events, accepted);
        }
        pending = notify_pending_;
        notify_pending_ = false;
    }
    notify_if_pending(pending);
    return accepted;
}

uint32_t InputInjector::mouse_button(uint32_t button, bool down) {
    uint32_t accepted = 0;
    bool pending = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++counters_.buttons;
        event_count_ = 0;
        ButtonFlags f;
        if (!button_flags(button, f)) return 0;
        push_mouse(down ? f.down : f.up, 0, 0, 0);
        held_buttons_[button] = down;
        if (button == 1) {
            if (down) moves_while_held_ = 0;
            button1_held_ = down;
        }
        accepted = send_locked("button");
        if (sampled(++button_lines_, 10, 100) && line_ok()) {
            if (button == 1 && !down) {
                log("[%s] mouse button 1 up -> SendInput %" PRIu32 " (moves while held: %" PRIu32 ")", name_.c_str(),
                    accepted, moves_while_held_);
            } else {
                log("[%s] mouse button %" PRIu32 " %s -> SendInput %" PRIu32, name_.c_str(), button,
                    down ? "down" : "up", accepted);
            }
        }
        pending = notify_pending_;
        notify_pending_ = false;
    }
    notify_if_pending(pending);
    return accepted;
}

uint32_t InputInjector::relative_move(int32_t dx, int32_t dy) {
    uint32_t accepted = 0;
    bool pending = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++counters_.moves;
        if (button1_held_) ++moves_while_held_;
        if (dx == 0 && dy == 0) return 0;
        event_count_ = 0;
        push_mouse(platform::kMouseEventMove, dx, dy, 0);
        accepted = send_locked("move");
        if ((counters_.moves == 1 || counters_.moves % 300 == 0) && line_ok()) {
            log("[%s] relative move #%" PRIu32 " dx=%" PRId32 " dy=%" PRId32 " -> SendInput %" PRIu32, name_.c_str(),
                counters_.moves, dx, dy, accepted);
        }
        pending = notify_pending_;
        notify_pending_ = false;
    }
    notify_if_pending(pending);
    return accepted;
}

uint32_t InputInjector::scroll(int32_t dx, int32_t dy) {
    uint32_t accepted = 0;
    bool pending = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++counters_.scrolls;
        event_count_ = 0;
        if (dy != 0) push_mouse(platform::kMouseEventWheel, 0, 0, dy);
        if (dx != 0) push_mouse(platform::kMouseEventHWheel, 0, 0, dx);
        accepted = send_locked("scroll");
        if (sampled(counters_.scrolls, 5, 50) && line_ok()) {
            log("[%s] scroll #%" PRIu32 " dx=%" PRId32 " dy=%" PRId32 " -> SendInput %" PRIu32, name_.c_str(),
                counters_.scrolls, dx, dy, accepted);
        }
        pending = notify_pending_;
        notify_pending_ = false;
    }
    notify_if_pending(pending);
    return accepted;
}

uint32_t InputInjector::text(std::string_view utf8) {
    uint32_t accepted = 0;
    bool pending = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++counters_.text_messages;
        event_count_ = 0;
        size_t units = 0;
        size_t i = 0;
        while (i < utf8.size() && units < kMaxTextUnits) {
            uint32_t cp = 0;
            if (!next_code_point(utf8, i, cp)) continue;
            if (cp == 10 || cp == 13) {
                push_key(kVkReturn, 0, false, false);
                push_key(kVkReturn, 0, false, true);
                units += 1;
            } else if (cp == 9) {
                push_key(kVkTab, 0, false, false);
                push_key(kVkTab, 0, false, true);
                units += 1;
            } else if (cp < 32 || cp == 127) {
                continue;
            } else if (cp <= 0xFFFF) {
                push_key(0, static_cast<uint16_t>(cp), false, false);
                push_key(0, static_cast<uint16_t>(cp), false, true);
                units += 1;
            } else {
                const uint32_t v = cp - 0x10000;
                const auto high = static_cast<uint16_t>(0xD800 + (v >> 10));
                const auto low = static_cast<uint16_t>(0xDC00 + (v & 0x3FF));
                push_key(0, high, false, false);
                push_key(0, high, false, true);
                push_key(0, low, false, false);
                push_key(0, low, false, true);
                units += 2;
            }
        }
        const size_t events = event_count_;
        counters_.text_units += static_cast<uint32_t>(events / 2);
        accepted = send_locked("text");
        const uint32_t n = counters_.text_messages;
        if ((n <= 30 || n % 25 == 0) && line_ok()) {
            log("[%s] text: %zu units -> SendInput %" PRIu32 "/%zu (msg #%" PRIu32 ")", name_.c_str(), events / 2,
                accepted, events, n);
        }
        pending = notify_pending_;
        notify_pending_ = false;
    }
    notify_if_pending(pending);
    return accepted;
}

uint32_t InputInjector::release_all() {
    uint32_t accepted = 0;
    bool pending = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        accepted = release_all_locked();
        pending = notify_pending_;
        notify_pending_ = false;
    }
    notify_if_pending(pending);
    return accepted;
}

uint32_t InputInjector::release_all_locked() {
    event_count_ = 0;
    bool released[256] = {};
    for (const auto& m : kModifiers) {
        if ((held_modifiers_ & m.bit) != 0) {
            push_key(m.vk, 0, m.extended, true);
            released[m.vk] = true;
        }
    }
    held_modifiers_ = 0;
    for (size_t vk = 0; vk < held_keys_.size(); ++vk) {
        const uint8_t held = held_keys_[vk];
        if (held == 0) continue;
        held_keys_[vk] = 0;
        if (released[vk]) continue;
        push_key(static_cast<uint16_t>(vk), 0, held == 2, true);
    }
    for (uint32_t b = 1; b < held_buttons_.size(); ++b) {
        if (!held_buttons_[b]) continue;
        held_buttons_[b] = false;
        ButtonFlags f;
        if (button_flags(b, f)) push_mouse(f.up, 0, 0, 0);
    }
    button1_held_ = false;
    if (event_count_ == 0) return 0;
    const size_t events = event_count_;
    const uint32_t accepted = send_locked("release");
    log("[%s] release: %zu events, SendInput %" PRIu32, name_.c_str(), events, accepted);
    return accepted;
}

uint32_t InputInjector::send_locked(const char* what) {
    if (event_count_ == 0) return 0;
    if (foreground_elevated_locked()) {
        ++counters_.uipi_blocked;
        const uint64_t now = clock_.now_ms();
        if (!uipi_logged_ || now - uipi_log_ms_ >= kUipiLogIntervalMs) {
            uipi_logged_ = true;
            uipi_log_ms_ = now;
            log("[%s] input (%s) hits an ELEVATED foreground window (%s): Windows (UIPI) drops it silently; "
                "telling the phone",
                name_.c_str(), what, foreground_name_);
            notify_pending_ = true;
        }
    }
    for (size_t i = 0; i < event_count_; ++i) inputs_[i] = to_input_event(events_[i], sink_);
    uint32_t error = 0;
    const uint32_t accepted = sink_.send_input(std::span<const platform::InputEvent>(inputs_.data(), event_count_), error);
    if (accepted < event_count_) {
        ++counters_.sendinput_failures;
        if (sampled(counters_.sendinput_failures, 10, 100) && line_ok()) {
            log("[%s] SendInput(%s) FAILED: %" PRIu32 " of %zu events accepted, GetLastError=%" PRIu32, name_.c_str(),
                what, accepted, event_count_, error);
        }
    }
    return accepted;
}

bool InputInjector::foreground_elevated_locked() {
    if (!self_checked_) {
        self_checked_ = true;
        self_pid_ = foreground_.current_process_id();
        const platform::TokenQuery t = foreground_.current_process_token();
        self_elevated_ = t.opened ? t.elevated : t.error == platform::kErrorAccessDenied;
    }
    if (self_elevated_) return false;
    const uint64_t now = clock_.now_ms();
    if (foreground_checked_ && now - foreground_check_ms_ < kElevationCacheMs) return foreground_elevated_;
    foreground_checked_ = true;
    foreground_check_ms_ = now;
    foreground_elevated_ = false;
    const uint32_t pid = foreground_.foreground_process_id();
    if (pid == 0 || pid == self_pid_) return false;
    uint32_t error = 0;
    if (foreground_.query_process(pid, query_, error)) {
        const platform::TokenQuery& t = query_.token;
        foreground_elevated_ = t.opened ? t.elevated : t.error == platform::kErrorAccessDenied;
        const std::string& path = query_.image_path;
        if (!path.empty()) {
            const size_t slash = path.find_last_of("\\/");
            const std::string_view file =
                slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
            const size_t n = std::min(file.size(), sizeof foreground_name_ - 1);
            std::memcpy(foreground_name_, file.data(), n);
            foreground_name_[n] = '\0';
            return foreground_elevated_;
        }
    } else {
        foreground_elevated_ = error == platform::kErrorAccessDenied;
    }
    std::snprintf(foreground_name_, sizeof foreground_name_, "pid %" PRIu32, pid);
    return foreground_elevated_;
}

InputCounters InputInjector::counters() const {
    std::lock_guard<std::mutex> g(mutex_);
    return counters_;
}

uint8_t InputInjector::held_modifiers() const {
    std::lock_guard<std::mutex> g(mutex_);
    return held_modifiers_;
}

}  // namespace sorvane
