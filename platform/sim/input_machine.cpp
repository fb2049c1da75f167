#include "platform/sim/input_machine.h"
#include "common/text.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "platform/win_error.h"

namespace sorvane::sim {

namespace {

using platform::InputEvent;
using platform::PointerPoint;
using platform::PointerRect;
using platform::TouchContact;

constexpr uint16_t kVkBack = 0x08;
constexpr uint16_t kVkTab = 0x09;
constexpr uint16_t kVkReturn = 0x0D;
constexpr uint16_t kVkShift = 0x10;
constexpr uint16_t kVkSpace = 0x20;
constexpr uint16_t kVkLShift = 0xA0;
constexpr uint16_t kVkRShift = 0xA1;

struct ScanEntry {
    uint8_t vk;
    uint8_t scan;
};

// US layout, set 1, without the E0 prefix of extended keys.
constexpr ScanEntry kScanCodes[] = {
    {0x08, 0x0E}, {0x09, 0x0F}, {0x0D, 0x1C}, {0x10, 0x2A}, {0x11, 0x1D}, {0x12, 0x38}, {0x1B, 0x01},
    {0x20, 0x39}, {0x21, 0x49}, {0x22, 0x51}, {0x23, 0x4F}, {0x24, 0x47}, {0x25, 0x4B}, {0x26, 0x48},
    {0x27, 0x4D}, {0x28, 0x50}, {0x2D, 0x52}, {0x2E, 0x53}, {0x30, 0x0B}, {0x31, 0x02}, {0x32, 0x03},
    {0x33, 0x04}, {0x34, 0x05}, {0x35, 0x06}, {0x36, 0x07}, {0x37, 0x08}, {0x38, 0x09}, {0x39, 0x0A},
    {0x41, 0x1E}, {0x42, 0x30}, {0x43, 0x2E}, {0x44, 0x20}, {0x45, 0x12}, {0x46, 0x21}, {0x47, 0x22},
    {0x48, 0x23}, {0x49, 0x17}, {0x4A, 0x24}, {0x4B, 0x25}, {0x4C, 0x26}, {0x4D, 0x32}, {0x4E, 0x31},
    {0x4F, 0x18}, {0x50, 0x19}, {0x51, 0x10}, {0x52, 0x13}, {0x53, 0x1F}, {0x54, 0x14}, {0x55, 0x16},
    {0x56, 0x2F}, {0x57, 0x11}, {0x58, 0x2D}, {0x59, 0x15}, {0x5A, 0x2C}, {0x5B, 0x5B}, {0x5C, 0x5C},
    {0x70, 0x3B}, {0x71, 0x3C}, {0x72, 0x3D}, {0x73, 0x3E}, {0x74, 0x3F}, {0x75, 0x40}, {0x76, 0x41},
    {0x77, 0x42}, {0x78, 0x43}, {0x79, 0x44}, {0x7A, 0x57}, {0x7B, 0x58}, {0xA0, 0x2A}, {0xA1, 0x36},
    {0xA2, 0x1D}, {0xA3, 0x1D}, {0xA4, 0x38}, {0xA5, 0x38},
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// A readable name for the journal.
std::string vk_name(uint16_t vk) {
    if ((vk >= 0x30 && vk <= 0x39) || (vk >= 0x41 && vk <= 0x5A)) return std::string(1, static_cast<char>(vk));
    if (vk >= 0x70 && vk <= 0x7B) return format("F%u", static_cast<unsigned>(vk - 0x6F));
    switch (vk) {
        case 0x08: return "BACK";
        case 0x09: return "TAB";
        case 0x0D: return "RETURN";
        case 0x1B: return "ESCAPE";
        case 0x20: return "SPACE";
        case 0x21: return "PRIOR";
        case 0x22: return "NEXT";
        case 0x23: return "END";
        case 0x24: return "HOME";
        case 0x25: return "LEFT";
        case 0x26: return "UP";
        case 0x27: return "RIGHT";
        case 0x28: return "DOWN";
        case 0x2D: return "INSERT";
        case 0x2E: return "DELETE";
        case 0x5B: return "LWIN";
        case 0xA0: return "LSHIFT";
        case 0xA1: return "RSHIFT";
        case 0xA2: return "LCONTROL";
        case 0xA3: return "RCONTROL";
        case 0xA4: return "LMENU";
        case 0xA5: return "RMENU";
        default: return format("0x%02X", static_cast<unsigned>(vk));
    }
}

int32_t clamp64(int64_t v, int64_t lo, int64_t hi) { return static_cast<int32_t>(std::clamp(v, lo, hi)); }

}  // namespace

uint32_t sim_scan_code(uint32_t vk) {
    for (const auto& e : kScanCodes) {
        if (e.vk == vk) return e.scan;
    }
    return 0;
}

// A synthetic pointer device handed out by the machine.
class SimInputMachine::Device final : public platform::ITouchDevice {
public:
    Device(SimInputMachine& machine, uint32_t id) : machine_(machine), id_(id) {}
    ~Device() override { machine_.destroy_device(id_); }
    bool inject(std::span<const TouchContact> contacts, uint32_t& error) override {
        return machine_.touch_inject(id_, contacts, error);
    }

private:
    SimInputMachine& machine_;
    const uint32_t id_;
};

SimInputMachine::SimInputMachine(platform::IClock& clock) : clock_(clock) {
    displays_.push_back(PointerRect{0, 0, 1920, 1080});
}

SimInputMachine::~SimInputMachine() = default;

// ---------------------------------------------------------------- SendInput

uint32_t SimInputMachine::send_input(std::span<const InputEvent> events, uint32_t& error) {
    std::lock_guard<std::mutex> g(mutex_);
    error = 0;
    ++send_calls_;
    for (const auto& e : events) {
        if (sent_.size() < kRecordLimit) sent_.push_back(e);
    }
    if (events.empty()) {
        error = platform::kErrorInvalidParameter;
        return 0;
    }
    if (input_desktop_ != "Default") {
        note_locked(format("SendInput refused: input desktop is %s", input_desktop_.c_str()));
        error = platform::kErrorAccessDenied;
        return 0;
    }
    size_t limit = events.size();
    uint32_t fault_error = 0;
    if (send_fault_) {
        send_fault_ = false;
        limit = std::min<size_t>(limit, send_fault_accepted_);
        fault_error = send_fault_error_;
    }
    const bool blocked = uipi_blocks_locked();
    uint32_t inserted = 0;
    for (size_t i = 0; i < limit; ++i) {
        if (!valid_event_locked(events[i])) {
            note_locked(format("SendInput: record %zu is malformed, %" PRIu32 " inserted", i, inserted));
            error = platform::kErrorInvalidParameter;
            return inserted;
        }
        apply_event_locked(events[i], !blocked);
        ++inserted;
    }
    if (blocked) {
        uipi_dropped_ += inserted;
        note_locked(format("UIPI: %" PRIu32 " event(s) dropped, foreground %s is elevated", inserted,
                           foreground_name_locked().c_str()));
    }
    if (limit < events.size()) error = fault_error;
    return inserted;
}

bool SimInputMachine::valid_event_locked(const InputEvent& e) const {
    if (e.type == platform::kInputMouse) return true;
    if (e.type != platform::kInputKeyboard) return false;
    const auto& k = e.ki;
    if ((k.flags & platform::kKeyEventUnicode) != 0) return k.vk == 0;
    if ((k.flags & platform::kKeyEventScanCode) != 0) return k.scan != 0;
    return k.vk != 0 && k.vk < 255;
}

void SimInputMachine::apply_event_locked(const InputEvent& e, bool delivered) {
    if (e.type == platform::kInputKeyboard) {
        apply_key_locked(e.ki, delivered);
    } else {
        apply_mouse_locked(e.mi, delivered);
    }
}

void SimInputMachine::apply_key_locked(const platform::KeyboardInput& k, bool delivered) {
    const bool up = (k.flags & platform::kKeyEventKeyUp) != 0;
    if (!delivered) return;
    DesktopKey dk;
    dk.up = up;
    dk.extended = (k.flags & platform::kKeyEventExtendedKey) != 0;
    if ((k.flags & platform::kKeyEventUnicode) != 0) {
        dk.unit = k.scan;
        const uint16_t u = k.scan;
        if (!up) {
            uint32_t cp = u;
            bool complete = true;
            if (u >= 0xD800 && u <= 0xDBFF) {
                pending_high_surrogate_ = u;
                complete = false;
            } else if (u >= 0xDC00 && u <= 0xDFFF) {
                if (pending_high_surrogate_ != 0) {
                    cp = 0x10000 + ((static_cast<uint32_t>(pending_high_surrogate_) - 0xD800) << 10) + (u - 0xDC00);
                } else {
                    complete = false;  // a lone low surrogate types nothing
                }
                pending_high_surrogate_ = 0;
            } else {
                pending_high_surrogate_ = 0;
            }
            if (complete) {
                append_utf8(typed_, cp);
                if (cp >= 0x20 && cp < 0x7F) {
                    note_locked(format("type U+%04" PRIX32 " '%c'", cp, static_cast<char>(cp)));
                } else {
                    note_locked(format("type U+%04" PRIX32, cp));
                }
            }
        }
    } else {
        uint16_t vk = k.vk;
        if ((k.flags & platform::kKeyEventScanCode) != 0) {
            vk = static_cast<uint16_t>(map_virtual_key(k.scan, platform::kMapVscToVk));
        }
        dk.vk = vk;
        const bool was_down = keys_[vk & 0xFF];
        keys_[vk & 0xFF] = !up;
        if (!up) {
            const bool shift = keys_[kVkShift] || keys_[kVkLShift] || keys_[kVkRShift];
            if (vk >= 0x41 && vk <= 0x5A) {
                typed_ += static_cast<char>(shift ? vk : vk + 32);
            } else if (vk >= 0x30 && vk <= 0x39) {
                typed_ += static_cast<char>(vk);
            } else if (vk == kVkSpace) {
                typed_ += ' ';
            } else if (vk == kVkReturn) {
                typed_ += '\n';
            } else if (vk == kVkTab) {
                typed_ += '\t';
            } else if (vk == kVkBack) {
                typed_ += '\b';
            }
        }
        note_locked(format("key %s %s%s%s", vk_name(vk).c_str(), up ? "up" : "down", dk.extended ? " (extended)" : "",
                           (!up && was_down) ? " (repeat)" : ""));
    }
    if (target_ != nullptr) target_->key(dk);
}

void SimInputMachine::apply_mouse_locked(const platform::MouseInput& m, bool delivered) {
    if (!delivered) return;
    if ((m.flags & platform::kMouseEventMove) != 0) {
        if ((m.flags & platform::kMouseEventAbsolute) != 0) {
            // 0..65535 across the primary display, or the virtual screen.
            int64_t left = 0, top = 0, width = 0, height = 0;
            if ((m.flags & platform::kMouseEventVirtualDesk) != 0) {
                const auto vs = virtual_screen_locked();
                left = vs.left;
                top = vs.top;
                width = vs.width;
                height = vs.height;
            } else {
                // The primary display is the one at the desktop's origin.
                for (const auto& d : displays_) {
                    if (d.left == 0 && d.top == 0) {
                        width = d.right;
                        height = d.bottom;
                    }
                }
            }
            const int64_t ax = std::clamp<int64_t>(m.dx, 0, 65535);
            const int64_t ay = std::clamp<int64_t>(m.dy, 0, 65535);
            move_cursor_locked(left + (ax * width) / 65536, top + (ay * height) / 65536);
        } else {
            move_cursor_locked(static_cast<int64_t>(cursor_.x) + m.dx, static_cast<int64_t>(cursor_.y) + m.dy);
        }
        note_locked(format("pointer at (%" PRId32 ",%" PRId32 ")", cursor_.x, cursor_.y));
        if (target_ != nullptr) target_->pointer_moved(cursor_.x, cursor_.y);
    }
    struct ButtonFlag {
        uint32_t down;
        uint32_t up;
        uint32_t button;
        const char* name;
    };
    static constexpr ButtonFlag kButtons[] = {
        {platform::kMouseEventLeftDown, platform::kMouseEventLeftUp, kDesktopButtonLeft, "left"},
        {platform::kMouseEventRightDown, platform::kMouseEventRightUp, kDesktopButtonRight, "right"},
        {platform::kMouseEventMiddleDown, platform::kMouseEventMiddleUp, kDesktopButtonMiddle, "middle"},
    };
    for (const auto& b : kButtons) {
        if ((m.flags & b.down) != 0) {
            buttons_[b.button] = true;
            note_locked(format("button %s down at (%" PRId32 ",%" PRId32 ")", b.name, cursor_.x, cursor_.y));
            if (target_ != nullptr) target_->click(cursor_.x, cursor_.y, b.button);
        }
        if ((m.flags & b.up) != 0) {
            buttons_[b.button] = false;
            note_locked(format("button %s up at (%" PRId32 ",%" PRId32 ")", b.name, cursor_.x, cursor_.y));
        }
    }
    if ((m.flags & platform::kMouseEventWheel) != 0) note_locked(format("wheel %" PRId32, m.data));
    if ((m.flags & platform::kMouseEventHWheel) != 0) note_locked(format("hwheel %" PRId32, m.data));
}

// Windows keeps the pointer on a display: a point off every display goes to
// the nearest point of the nearest display.
void SimInputMachine::move_cursor_locked(int64_t x, int64_t y) {
    if (displays_.empty()) {
        cursor_ = PointerPoint{clamp64(x, INT32_MIN, INT32_MAX), clamp64(y, INT32_MIN, INT32_MAX)};
        return;
    }
    int64_t best = std::numeric_limits<int64_t>::max();
    for (const auto& d : displays_) {
        if (d.right <= d.left || d.bottom <= d.top) continue;
        const int64_t cx = std::clamp<int64_t>(x, d.left, d.right - 1);
        const int64_t cy = std::clamp<int64_t>(y, d.top, d.bottom - 1);
        const int64_t dist = (cx - x) * (cx - x) + (cy - y) * (cy - y);
        if (dist < best) {
            best = dist;
            cursor_ = PointerPoint{static_cast<int32_t>(cx), static_cast<int32_t>(cy)};
        }
    }
}

uint32_t SimInputMachine::map_virtual_key(uint32_t code, uint32_t map_type) {
    if (map_type == platform::kMapVkToVsc) return sim_scan_code(code);
    if (map_type == platform::kMapVscToVk) {
        for (const auto& e : kScanCodes) {
            // The generic and left-hand keys share their scan codes; the
            // reverse map gives the generic key as Windows does.
            if (e.scan == code && !(e.vk >= 0xA0 && e.vk <= 0xA5)) return e.vk;
        }
    }
    return 0;
}

// ---------------------------------------------------------------- foreground

uint32_t SimInputMachine::current_process_id() {
    std::lock_guard<std::mutex> g(mutex_);
    return host_pid_;
}

platform::TokenQuery SimInputMachine::current_process_token() {
    std::lock_guard<std::mutex> g(mutex_);
    platform::TokenQuery q;
    q.opened = host_token_error_ == 0;
    q.error = host_token_error_;
    q.elevated = q.opened && host_elevated_;
    return q;
}

uint32_t SimInputMachine::foreground_process_id() {
    std::lock_guard<std::mutex> g(mutex_);
    return foreground_;
}

bool SimInputMachine::query_process(uint32_t pid, platform::ProcessQuery& out, uint32_t& error) {
    std::lock_guard<std::mutex> g(mutex_);
    error = 0;
    const auto it = processes_.find(pid);
    if (it == processes_.end()) {
        error = platform::kErrorInvalidParameter;
        return false;
    }
    const SimProcess& p = it->second;
    if (p.open_error != 0) {
        error = p.open_error;
        return false;
    }
    out.token.opened = p.token_error == 0;
    out.token.error = p.token_error;
    out.token.elevated = out.token.opened && p.elevated;
    out.image_path = p.image_path;
    return true;
}

bool SimInputMachine::uipi_blocks_locked() const {
    if (host_elevated_ || foreground_ == 0 || foreground_ == host_pid_) return false;
    const auto it = processes_.find(foreground_);
    return it != processes_.end() && it->second.elevated;
}

std::string SimInputMachine::foreground_name_locked() const {
    const auto it = processes_.find(foreground_);
    if (it == processes_.end()) return format("pid %" PRIu32, foreground_);
    const auto& path = it->second.image_path;
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---------------------------------------------------------------- desktop

platform::VirtualScreen SimInputMachine::virtual_screen() {
    std::lock_guard<std::mutex> g(mutex_);
    return virtual_screen_locked();
}

platform::VirtualScreen SimInputMachine::virtual_screen_locked() const {
    if (displays_.empty()) return {};
    int64_t left = INT32_MAX, top = INT32_MAX, right = INT32_MIN, bottom = INT32_MIN;
    for (const auto& d : displays_) {
        left = std::min<int64_t>(left, d.left);
        top = std::min<int64_t>(top, d.top);
        right = std::max<int64_t>(right, d.right);
        bottom = std::max<int64_t>(bottom, d.bottom);
    }
    return platform::VirtualScreen{static_cast<int32_t>(left), static_cast<int32_t>(top),
                                   static_cast<int32_t>(right - left), static_cast<int32_t>(bottom - top)};
}

bool SimInputMachine::input_desktop_name(std::string& out, uint32_t& error) {
    std::lock_guard<std::mutex> g(mutex_);
    error = 0;
    out = input_desktop_;
    return true;
}

// ---------------------------------------------------------------- touch

std::unique_ptr<platform::ITouchDevice> SimInputMachine::create_pointer_device(uint32_t pointer_type,
                                                                               uint32_t max_count,
                                                                               uint32_t feedback_mode,
                                                                               uint32_t& error) {
    std::lock_guard<std::mutex> g(mutex_);
    error = 0;
    if (create_fault_error_ != 0) {
        error = create_fault_error_;
        create_fault_error_ = 0;
        return nullptr;
    }
    const bool type_ok = (pointer_type == platform::kPointerTypeTouch && max_count >= 1 &&
                          max_count <= platform::kMaxTouchCount) ||
                         (pointer_type == platform::kPointerTypePen && max_count == 1);
    const bool feedback_ok =
        feedback_mode >= platform::kPointerFeedbackDefault && feedback_mode <= platform::kPointerFeedbackNone;
    if (!type_ok || !feedback_ok) {
        error = platform::kErrorInvalidParameter;
        return nullptr;
    }
    const uint32_t id = next_device_++;
    devices_[id] = DeviceState{max_count, pointer_type, {}};
    note_locked(format("pointer device %" PRIu32 " created (%s, %" PRIu32 " contacts)", id,
                       pointer_type == platform::kPointerTypeTouch ? "touch" : "pen", max_count));
    return std::make_unique<Device>(*this, id);
}

void SimInputMachine::destroy_device(uint32_t device) {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = devices_.find(device);
    if (it == devices_.end()) return;
    if (!it->second.contacts.empty()) {
        note_locked(format("pointer device %" PRIu32 " destroyed with %zu contact(s) down", device,
                           it->second.contacts.size()));
    } else {
        note_locked(format("pointer device %" PRIu32 " destroyed", device));
    }
    devices_.erase(it);
}

bool SimInputMachine::touch_inject(uint32_t device, std::span<const TouchContact> contacts, uint32_t& error) {
    std::lock_guard<std::mutex> g(mutex_);
    error = 0;
    SimTouchCall call;
    call.device = device;
    call.contacts.assign(contacts.begin(), contacts.end());
    const auto refuse = [&](uint32_t code, const std::string& why) {
        error = code;
        call.error = code;
        if (touch_calls_.size() < kRecordLimit) touch_calls_.push_back(std::move(call));
        note_locked(format("touch frame refused (error %" PRIu32 "): %s", code, why.c_str()));
        return false;
    };
    const auto it = devices_.find(device);
    if (it == devices_.end()) return refuse(platform::kErrorInvalidParameter, "no such device");
    DeviceState& dev = it->second;
    if (touch_fault_error_ != 0) {
        const uint32_t code = touch_fault_error_;
        touch_fault_error_ = 0;
        return refuse(code, "fault point");
    }
    if (input_desktop_ != "Default") return refuse(platform::kErrorAccessDenied, "secure desktop");
    if (contacts.empty() || contacts.size() > dev.max_count) {
        return refuse(platform::kErrorInvalidParameter, format("%zu contacts for a device of %" PRIu32,
                                                               contacts.size(), dev.max_count));
    }
    constexpr uint32_t kTransition =
        platform::kPointerFlagDown | platform::kPointerFlagUpdate | platform::kPointerFlagUp;
    size_t down_after = dev.contacts.size();
    for (size_t i = 0; i < contacts.size(); ++i) {
        const auto& c = contacts[i];
        if (c.pointer_type != dev.pointer_type) return refuse(platform::kErrorInvalidParameter, "pointer type");
        for (size_t j = 0; j < i; ++j) {
            if (contacts[j].pointer_id == c.pointer_id) {
                return refuse(platform::kErrorInvalidParameter, format("pointer id %" PRIu32 " twice", c.pointer_id));
            }
        }
        const uint32_t transition = c.pointer_flags & kTransition;
        const bool is_down = dev.contacts.count(c.pointer_id) != 0;
        if (transition == platform::kPointerFlagDown) {
            const uint32_t need = platform::kPointerFlagInRange | platform::kPointerFlagInContact;
            if (is_down || (c.pointer_flags & need) != need) {
                return refuse(platform::kErrorInvalidParameter, format("down for id %" PRIu32, c.pointer_id));
            }
            ++down_after;
        } else if (transition == platform::kPointerFlagUpdate) {
            if (!is_down) return refuse(platform::kErrorInvalidParameter, format("update for id %" PRIu32, c.pointer_id));
        } else if (transition == platform::kPointerFlagUp) {
            if (!is_down) return refuse(platform::kErrorInvalidParameter, format("up for id %" PRIu32, c.pointer_id));
            --down_after;
        } else {
            return refuse(platform::kErrorInvalidParameter, format("flags 0x%" PRIX32, c.pointer_flags));
        }
    }
    if (down_after > dev.max_count) return refuse(platform::kErrorInvalidParameter, "too many contacts down");

    // Accepted: points are relative to the virtual screen and clamped to it.
    const auto vs = virtual_screen_locked();
    const bool blocked = uipi_blocks_locked();
    for (const auto& c : contacts) {
        const int64_t x = std::clamp<int64_t>(static_cast<int64_t>(vs.left) + c.pixel_location.x, vs.left,
                                              static_cast<int64_t>(vs.left) + std::max(vs.width, 1) - 1);
        const int64_t y = std::clamp<int64_t>(static_cast<int64_t>(vs.top) + c.pixel_location.y, vs.top,
                                              static_cast<int64_t>(vs.top) + std::max(vs.height, 1) - 1);
        const PointerPoint p{static_cast<int32_t>(x), static_cast<int32_t>(y)};
        const uint32_t transition = c.pointer_flags & kTransition;
        const char* what = "move";
        if (transition == platform::kPointerFlagUp) {
            dev.contacts.erase(c.pointer_id);
            what = (c.pointer_flags & platform::kPointerFlagCanceled) != 0 ? "cancel" : "up";
        } else {
            dev.contacts[c.pointer_id] = p;
            if (transition == platform::kPointerFlagDown) {
                what = "down";
                if (!blocked && target_ != nullptr) target_->touch_down(p.x, p.y);
            }
        }
        if (!blocked) {
            note_locked(format("touch %s id=%" PRIu32 " at (%" PRId32 ",%" PRId32 ")", what, c.pointer_id, p.x, p.y));
        }
    }
    if (blocked) {
        ++uipi_dropped_;
        note_locked(format("UIPI: touch frame dropped, foreground %s is elevated", foreground_name_locked().c_str()));
    }
    call.accepted = true;
    if (touch_calls_.size() < kRecordLimit) touch_calls_.push_back(std::move(call));
    return true;
}

// ---------------------------------------------------------------- steering

void SimInputMachine::set_displays(std::vector<PointerRect> displays) {
    std::lock_guard<std::mutex> g(mutex_);
    displays_ = std::move(displays);
    move_cursor_locked(cursor_.x, cursor_.y);
}

void SimInputMachine::set_target(IDesktopInputTarget* target) {
    std::lock_guard<std::mutex> g(mutex_);
    target_ = target;
}

void SimInputMachine::set_journal_sink(std::function<void(const std::string& line)> sink) {
    std::lock_guard<std::mutex> g(mutex_);
    journal_sink_ = std::move(sink);
}

void SimInputMachine::set_input_desktop(std::string name) {
    std::lock_guard<std::mutex> g(mutex_);
    input_desktop_ = std::move(name);
    note_locked("input desktop: " + input_desktop_);
}

void SimInputMachine::set_host(uint32_t pid, bool elevated, uint32_t token_error) {
    std::lock_guard<std::mutex> g(mutex_);
    host_pid_ = pid;
    host_elevated_ = elevated;
    host_token_error_ = token_error;
}

void SimInputMachine::add_process(SimProcess process) {
    std::lock_guard<std::mutex> g(mutex_);
    processes_[process.pid] = std::move(process);
}

void SimInputMachine::set_foreground(uint32_t pid) {
    std::lock_guard<std::mutex> g(mutex_);
    foreground_ = pid;
    note_locked(pid == 0 ? std::string("foreground: none") : "foreground: " + foreground_name_locked());
}

void SimInputMachine::set_cursor(int32_t x, int32_t y) {
    std::lock_guard<std::mutex> g(mutex_);
    move_cursor_locked(x, y);
}

void SimInputMachine::fail_next_send_input(uint32_t accepted, uint32_t error) {
    std::lock_guard<std::mutex> g(mutex_);
    send_fault_ = true;
    send_fault_accepted_ = accepted;
    send_fault_error_ = error;
}

void SimInputMachine::fail_next_touch_inject(uint32_t error) {
    std::lock_guard<std::mutex> g(mutex_);
    touch_fault_error_ = error;
}

void SimInputMachine::fail_next_device_creation(uint32_t error) {
    std::lock_guard<std::mutex> g(mutex_);
    create_fault_error_ = error;
}

// ---------------------------------------------------------------- observation

std::vector<InputEvent> SimInputMachine::sent_events() const {
    std::lock_guard<std::mutex> g(mutex_);
    return sent_;
}

uint32_t SimInputMachine::send_input_calls() const {
    std::lock_guard<std::mutex> g(mutex_);
    return send_calls_;
}

std::vector<SimTouchCall> SimInputMachine::touch_calls() const {
    std::lock_guard<std::mutex> g(mutex_);
    return touch_calls_;
}

void SimInputMachine::clear_records() {
    std::lock_guard<std::mutex> g(mutex_);
    sent_.clear();
    send_calls_ = 0;
    touch_calls_.clear();
}

std::vector<std::string> SimInputMachine::journal() const {
    std::lock_guard<std::mutex> g(mutex_);
    return {journal_.begin(), journal_.end()};
}

std::string SimInputMachine::journal_text() const {
    std::lock_guard<std::mutex> g(mutex_);
    std::string out;
    for (const auto& line : journal_) {
        out += line;
        out += '\n';
    }
    return out;
}

std::string SimInputMachine::typed_text() const {
    std::lock_guard<std::mutex> g(mutex_);
    return typed_;
}

PointerPoint SimInputMachine::cursor() const {
    std::lock_guard<std::mutex> g(mutex_);
    return cursor_;
}

bool SimInputMachine::key_is_down(uint16_t vk) const {
    std::lock_guard<std::mutex> g(mutex_);
    return keys_[vk & 0xFF];
}

bool SimInputMachine::button_is_down(uint32_t button) const {
    std::lock_guard<std::mutex> g(mutex_);
    return button < 4 && buttons_[button];
}

size_t SimInputMachine::keys_down() const {
    std::lock_guard<std::mutex> g(mutex_);
    return static_cast<size_t>(std::count(std::begin(keys_), std::end(keys_), true));
}

size_t SimInputMachine::buttons_down() const {
    std::lock_guard<std::mutex> g(mutex_);
    return static_cast<size_t>(std::count(std::begin(buttons_), std::end(buttons_), true));
}

size_t SimInputMachine::open_contacts() const {
    std::lock_guard<std::mutex> g(mutex_);
    size_t n = 0;
    for (const auto& [id, dev] : devices_) n += dev.contacts.size();
    return n;
}

size_t SimInputMachine::live_devices() const {
    std::lock_guard<std::mutex> g(mutex_);
    return devices_.size();
}

uint64_t SimInputMachine::uipi_dropped() const {
    std::lock_guard<std::mutex> g(mutex_);
    return uipi_dropped_;
}

void SimInputMachine::note_locked(const std::string& line) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%" PRIu64 "] ", clock_.now_ms());
    journal_.push_back(stamp + line);
    if (journal_sink_) journal_sink_(journal_.back());
    while (journal_.size() > kJournalLimit) journal_.pop_front();
}

}  // namespace sorvane::sim
