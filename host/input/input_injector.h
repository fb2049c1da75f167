// Keyboard keys, mouse buttons, relative moves, scroll steps and typed text
// from a viewer, turned into synthesized input of the interactive desktop.
// Windows drops input aimed at an elevated foreground window without a word;
// the injector notices that, says so in the log at a limited rate and tells
// the viewer ("uipi_blocked"), and still sends the input.
//
// What a viewer types never reaches the log: key lines carry counts only.
// Keys, modifiers and buttons the injector holds down are released by
// release_all() and when it is destroyed, so a dropped session cannot leave
// Shift or the left button stuck on the desktop.
//
// Safe to call from several threads (one lock); the notify callback is called
// without that lock held.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/input.h"

namespace sorvane {

// One entry of the list handed to the system.
struct SyntheticEvent {
    enum class Kind : uint8_t { keyboard, mouse };
    Kind kind = Kind::keyboard;
    // keyboard
    uint16_t vk = 0;
    uint16_t unit = 0;  // UTF-16 unit; 0 for a virtual-key event
    bool extended = false;
    bool key_up = false;
    // mouse
    uint32_t flags = 0;  // MOUSEEVENTF_ values
    int32_t dx = 0;
    int32_t dy = 0;
    int32_t data = 0;
};

// The INPUT record of an event (scan codes through the sink's key map).
platform::InputEvent to_input_event(const SyntheticEvent& e, platform::IInputSink& sink);

struct KeyMapping {
    uint16_t vk = 0;  // 0: the usage maps to nothing
    bool extended = false;
};

// HID keyboard usage (page 7) to virtual key.
KeyMapping map_hid_usage(uint32_t usage);

// Modifier bits of a key message.
inline constexpr uint8_t kModControl = 0x01;
inline constexpr uint8_t kModShift = 0x02;
inline constexpr uint8_t kModAlt = 0x04;
inline constexpr uint8_t kModWin = 0x08;

struct InputCounters {
    uint32_t keys = 0;
    uint32_t buttons = 0;
    uint32_t moves = 0;
    uint32_t scrolls = 0;
    uint32_t text_messages = 0;
    uint32_t text_units = 0;  // key-down and key-up pairs sent for text
    uint32_t sendinput_failures = 0;
    uint32_t uipi_blocked = 0;
};

struct InputPorts {
    platform::IInputSink& sink;
    platform::IForegroundInfo& foreground;
    platform::IClock& clock;
};

class InputInjector {
public:
    // Text units one text message may produce.
    static constexpr size_t kMaxTextUnits = 256;
    // Events one call can produce: a whole text message (a character beyond
    // the basic plane begun at the last unit is finished), or a release of
    // every key and button.
    static constexpr size_t kMaxEvents = 2 * (kMaxTextUnits + 1) + 4;
    // How long a foreground check is trusted, and the least time between
    // two UIPI warnings.
    static constexpr uint64_t kElevationCacheMs = 300;
    static constexpr uint64_t kUipiLogIntervalMs = 10'000;

    // name: the log tag ("session 7"); notify: receives "uipi_blocked".
    InputInjector(std::string name, std::function<void(std::string_view)> notify, const InputPorts& ports);
    // Releases whatever is still held.
    ~InputInjector();
    InputInjector(const InputInjector&) = delete;
    InputInjector& operator=(const InputInjector&) = delete;

    // Each returns how many events the system accepted.
    uint32_t key(uint32_t usage, bool down, uint8_t modifiers);
    uint32_t mouse_button(uint32_t button, bool down);
    uint32_t relative_move(int32_t dx, int32_t dy);
    uint32_t scroll(int32_t dx, int32_t dy);
    uint32_t text(std::string_view utf8);
    // Key-up for every modifier held (modifier order), then for every other
    // key held, then button-up for every button held.
    uint32_t release_all();

    InputCounters counters() const;
    // Asked before each of the repetitive lines (on top of their own
    // sampling): false leaves the line out. The session hands in the
    // host's budget of lines viewers cause.
    void set_line_gate(std::function<bool()> gate) { line_gate_ = std::move(gate); }
    uint8_t held_modifiers() const;

private:
    bool line_ok() const { return !line_gate_ || line_gate_(); }
    std::function<bool()> line_gate_;
    void push_key(uint16_t vk, uint16_t unit, bool extended, bool up);
    void push_mouse(uint32_t flags, int32_t dx, int32_t dy, int32_t data);
    uint32_t send_locked(const char* what);
    bool foreground_elevated_locked();
    uint32_t release_all_locked();
    void notify_if_pending(bool pending);

    const std::string name_;
    const std::function<void(std::string_view)> notify_;
    platform::IInputSink& sink_;
    platform::IForegroundInfo& foreground_;
    platform::IClock& clock_;

    mutable std::mutex mutex_;
    InputCounters counters_;
    uint8_t held_modifiers_ = 0;
    std::array<uint8_t, 256> held_keys_{};  // 0 up, 1 down, 2 down (extended key)
    std::array<bool, 4> held_buttons_{};
    bool button1_held_ = false;
    uint32_t moves_while_held_ = 0;
    uint32_t key_lines_ = 0;
    uint32_t button_lines_ = 0;
    bool notify_pending_ = false;

    // Elevation: the host's own answer once, the foreground's cached.
    bool self_checked_ = false;
    bool self_elevated_ = false;
    uint32_t self_pid_ = 0;
    bool foreground_checked_ = false;
    uint64_t foreground_check_ms_ = 0;
    bool foreground_elevated_ = false;
    char foreground_name_[128] = {};
    platform::ProcessQuery query_;
    bool uipi_logged_ = false;
    uint64_t uipi_log_ms_ = 0;

    std::array<SyntheticEvent, kMaxEvents> events_{};
    size_t event_count_ = 0;
    std::array<platform::InputEvent, kMaxEvents> inputs_{};
};

}  // namespace sorvane
