// Touch frames from a viewer, injected on the session's monitor through a
// synthetic touch device. Positions arrive normalised to the monitor (0 to 1)
// and are mapped onto the monitor's desktop rectangle. The injector keeps the
// contacts Windows has seen go down, so every contact gets a consistent
// down, update, up sequence, and cancels whatever is still down when it is
// destroyed.
//
// The contact map changes only when the system accepted the frame, so a
// refused frame leaves both sides agreeing. At most kMaxContacts contacts are
// down at once; further new contacts are refused and counted. A contact id
// that appears more than once in a frame counts once (its last entry). A
// position that is not a finite number never becomes a coordinate.
//
// Safe to call from several threads (one lock).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/input/monitor_rect_lookup.h"
#include "host/protocol/input_messages.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/input.h"
#include "platform/touch.h"

namespace sorvane {

struct TouchCounters {
    uint32_t frames = 0;
    uint32_t downs = 0;
    uint32_t moves = 0;
    uint32_t ups = 0;
    uint32_t cancels = 0;
    uint32_t ignored = 0;    // up or cancel of a contact that is not down, unknown states, repeated ids
    uint32_t failed = 0;     // frames the system refused
    uint32_t move_logs = 0;
    uint32_t refused = 0;    // new contacts beyond the device's count
    uint32_t invalid = 0;    // positions that are not finite numbers
};

struct TouchPorts {
    platform::ITouchDeviceFactory& devices;
    IMonitorRectLookup& monitors;
    platform::IDesktopInfo& desktop;
    platform::IClock& clock;
};

class TouchInjector {
public:
    static constexpr uint32_t kMaxContacts = 10;
    // The monitor's rectangle is looked up again on a new contact, or after this.
    static constexpr uint64_t kRectRefreshMs = 2000;

    // trace_path: a CSV file of every point received; empty for none.
    TouchInjector(uint32_t session_id, MonitorRef monitor, const TouchPorts& ports, std::string trace_path = {});
    // Cancels the contacts still down and destroys the device.
    ~TouchInjector();
    TouchInjector(const TouchInjector&) = delete;
    TouchInjector& operator=(const TouchInjector&) = delete;

    // Creates the device, finds the monitor, opens the trace.
    bool setup();
    // False when nothing of the frame could be injected.
    bool inject(const proto::TouchFrame& frame);

    TouchCounters counters() const;
    // Asked before each of the repetitive lines (on top of their own
    // sampling): false leaves the line out. The session hands in the
    // host's budget of lines viewers cause.
    void set_line_gate(std::function<bool()> gate) { line_gate_ = std::move(gate); }
    size_t open_contacts() const;

private:
    bool line_ok() const { return !line_gate_ || line_gate_(); }
    std::function<bool()> line_gate_;
    struct Contact {
        bool open = false;
        float nx = 0;
        float ny = 0;
        int32_t screen_x = 0;
        int32_t screen_y = 0;
        int32_t injected_x = 0;
        int32_t injected_y = 0;
    };
    enum class Step : uint8_t { fresh, from_move, update, up, cancel };
    struct Pending {
        uint8_t id = 0;
        Step step = Step::update;
        Contact at;
    };

    bool lookup_rect_locked();
    void map_locked(float nx, float ny, Contact& out) const;
    void write_trace_locked(const proto::TouchFrame& frame);
    void log_contact_locked(const char* what, uint8_t id);
    static platform::TouchContact make_contact(uint8_t id, uint32_t flags, int32_t x, int32_t y);

    const uint32_t session_id_;
    const MonitorRef monitor_;
    platform::ITouchDeviceFactory& devices_;
    IMonitorRectLookup& monitors_;
    platform::IDesktopInfo& desktop_;
    platform::IClock& clock_;
    const std::string trace_path_;

    mutable std::mutex mutex_;
    std::unique_ptr<platform::ITouchDevice> device_;
    DesktopRect rect_;
    bool rect_valid_ = false;
    uint64_t rect_time_ms_ = 0;
    int32_t origin_x_ = 0;
    int32_t origin_y_ = 0;
    std::array<Contact, 256> contacts_{};
    size_t open_ = 0;
    TouchCounters counters_;
    uint32_t contact_lines_ = 0;
    std::unique_ptr<platform::AppendFile> trace_;
    std::string trace_buffer_;

    std::array<Pending, kMaxContacts> pending_{};
    std::array<platform::TouchContact, kMaxContacts> events_{};
};

}  // namespace sorvane
