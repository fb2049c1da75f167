// A waitable event, as the display framework hands them to a driver (new
// frame, cursor update) and as the driver uses them (terminate). Auto-reset
// events are consumed by the wait that sees them; manual-reset events stay
// set until reset. Waits read an injected clock, so tests drive them with a
// manual clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "platform/clock.h"

namespace sorvane::platform {

class Event {
public:
    explicit Event(bool manual_reset = false, bool initially_set = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    bool is_set() const;

    // Waits until one of events is set or timeout_ms of clock have passed.
    // Returns the index of the first set event (an auto-reset one is reset),
    // or -1 on time-out.
    static int wait_any(std::initializer_list<Event*> events, IClock& clock, uint64_t timeout_ms);

private:
    const bool manual_;
    std::atomic<bool> set_;
};

}  // namespace sorvane::platform
