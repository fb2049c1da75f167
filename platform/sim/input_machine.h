// The simulated machine's input stack: SendInput and MapVirtualKeyW, the
// foreground window's process with its elevation, the input desktop, the
// virtual screen and synthetic touch devices, with the rules Windows applies:
// - input from a process that is not elevated to an elevated foreground
//   window is dropped silently (SendInput still reports it inserted);
// - while the input desktop is not "Default" (the secure desktop), SendInput
//   inserts nothing and touch frames are refused, with ERROR_ACCESS_DENIED;
// - SendInput stops at the first malformed record and reports how many it
//   inserted;
// - a touch device refuses a frame with more contacts than it was created
//   for, a repeated pointer id, a down for a contact already down, an update
//   or up for one that is not, or more contacts down at once than its count;
//   a refused frame changes nothing;
// - the pointer stays on a display (moved onto the nearest one), touch points
//   are clamped to the virtual screen.
// What passes reaches the desktop target and a readable journal (keys and
// text included: the journal is the machine's, not the host's log).
// Plain in-memory class with an injected clock; one lock; the target is
// called with that lock held and must not call back into the machine.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/input.h"
#include "platform/sim/input_target.h"
#include "platform/touch.h"

namespace sorvane::sim {

struct SimProcess {
    uint32_t pid = 0;
    std::string image_path;
    bool elevated = false;
    uint32_t open_error = 0;   // OpenProcess fails with this when not 0
    uint32_t token_error = 0;  // OpenProcessToken fails with this when not 0
};

// One call of a touch device's inject, as it arrived.
struct SimTouchCall {
    uint32_t device = 0;
    std::vector<platform::TouchContact> contacts;
    bool accepted = false;
    uint32_t error = 0;
};

class SimInputMachine final : public platform::IInputSink,
                              public platform::IForegroundInfo,
                              public platform::IDesktopInfo,
                              public platform::ITouchDeviceFactory {
public:
    // Starts with one 1920x1080 primary display, the host as pid 1000 (not
    // elevated), no foreground window and the "Default" input desktop.
    explicit SimInputMachine(platform::IClock& clock);
    ~SimInputMachine() override;
    SimInputMachine(const SimInputMachine&) = delete;
    SimInputMachine& operator=(const SimInputMachine&) = delete;

    // Ports. Touch devices must be destroyed before the machine.
    uint32_t send_input(std::span<const platform::InputEvent> events, uint32_t& error) override;
    uint32_t map_virtual_key(uint32_t code, uint32_t map_type) override;
    uint32_t current_process_id() override;
    platform::TokenQuery current_process_token() override;
    uint32_t foreground_process_id() override;
    bool query_process(uint32_t pid, platform::ProcessQuery& out, uint32_t& error) override;
    platform::VirtualScreen virtual_screen() override;
    bool input_desktop_name(std::string& out, uint32_t& error) override;
    std::unique_ptr<platform::ITouchDevice> create_pointer_device(uint32_t pointer_type, uint32_t max_count,
                                                                  uint32_t feedback_mode, uint32_t& error) override;

    // Steering.
    // Display rectangles in desktop coordinates (right and bottom exclusive);
    // the virtual screen is their bounding box. The pointer is kept on them.
    void set_displays(std::vector<platform::PointerRect> displays);
    void set_target(IDesktopInputTarget* target);
    // Also hands every journal line (without its line feed) to sink, called
    // with the machine's lock held.
    void set_journal_sink(std::function<void(const std::string& line)> sink);
    void set_input_desktop(std::string name);
    // The host process: its id, whether its token is elevated, and the error
    // that opening its token gives (0 = it opens).
    void set_host(uint32_t pid, bool elevated, uint32_t token_error = 0);
    void add_process(SimProcess process);
    // 0: no foreground window.
    void set_foreground(uint32_t pid);
    void set_cursor(int32_t x, int32_t y);
    // Fault points, each for the next call only.
    void fail_next_send_input(uint32_t accepted, uint32_t error);
    void fail_next_touch_inject(uint32_t error);
    void fail_next_device_creation(uint32_t error);

    // Observation.
    std::vector<platform::InputEvent> sent_events() const;  // every record SendInput was given
    uint32_t send_input_calls() const;
    std::vector<SimTouchCall> touch_calls() const;
    void clear_records();
    std::vector<std::string> journal() const;
    std::string journal_text() const;  // the journal's lines, each ending in "\n"
    // What the desktop received as typing: Unicode units and the letter,
    // digit, space, Enter, Tab and Backspace keys (letters in upper case
    // while a shift key is down).
    std::string typed_text() const;
    platform::PointerPoint cursor() const;
    bool key_is_down(uint16_t vk) const;
    bool button_is_down(uint32_t button) const;
    size_t keys_down() const;
    size_t buttons_down() const;
    // Contacts down on every live touch device.
    size_t open_contacts() const;
    size_t live_devices() const;
    // Events and touch frames dropped because the foreground was elevated.
    uint64_t uipi_dropped() const;

    // Journal lines kept (the oldest go first).
    static constexpr size_t kJournalLimit = 10'000;
    static constexpr size_t kRecordLimit = 100'000;

private:
    class Device;
    struct DeviceState {
        uint32_t max_count = 0;
        uint32_t pointer_type = 0;
        std::map<uint32_t, platform::PointerPoint> contacts;  // pointer id -> desktop point
    };

    bool touch_inject(uint32_t device, std::span<const platform::TouchContact> contacts, uint32_t& error);
    void destroy_device(uint32_t device);

    bool uipi_blocks_locked() const;
    std::string foreground_name_locked() const;
    bool valid_event_locked(const platform::InputEvent& e) const;
    void apply_event_locked(const platform::InputEvent& e, bool delivered);
    void apply_key_locked(const platform::KeyboardInput& k, bool delivered);
    void apply_mouse_locked(const platform::MouseInput& m, bool delivered);
    void move_cursor_locked(int64_t x, int64_t y);
    platform::VirtualScreen virtual_screen_locked() const;
    void note_locked(const std::string& line);

    platform::IClock& clock_;
    mutable std::mutex mutex_;
    IDesktopInputTarget* target_ = nullptr;
    std::function<void(const std::string&)> journal_sink_;
    std::vector<platform::PointerRect> displays_;
    std::string input_desktop_ = "Default";
    uint32_t host_pid_ = 1000;
    bool host_elevated_ = false;
    uint32_t host_token_error_ = 0;
    std::map<uint32_t, SimProcess> processes_;
    uint32_t foreground_ = 0;
    platform::PointerPoint cursor_;
    bool keys_[256] = {};
    bool buttons_[4] = {};
    uint16_t pending_high_surrogate_ = 0;
    std::string typed_;

    bool send_fault_ = false;
    uint32_t send_fault_accepted_ = 0;
    uint32_t send_fault_error_ = 0;
    uint32_t touch_fault_error_ = 0;
    uint32_t create_fault_error_ = 0;

    uint32_t next_device_ = 1;
    std::map<uint32_t, DeviceState> devices_;

    std::vector<platform::InputEvent> sent_;
    uint32_t send_calls_ = 0;
    std::vector<SimTouchCall> touch_calls_;
    std::deque<std::string> journal_;
    uint64_t uipi_dropped_ = 0;
};

// Set-1 scan code of a virtual key (what MapVirtualKeyW gives for
// MAPVK_VK_TO_VSC on a US layout); 0 for keys the simulation does not know.
uint32_t sim_scan_code(uint32_t vk);

}  // namespace sorvane::sim
