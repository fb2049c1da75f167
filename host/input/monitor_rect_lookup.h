// How the touch injector finds where its monitor lies on the desktop: the
// same output lookup the capture uses (by adapter and target, or by device id).
#pragma once

#include <cstdint>

#include "host/core/monitor_ref.h"

namespace sorvane {

// A monitor's rectangle in desktop coordinates; right and bottom exclusive.
struct DesktopRect {
    int32_t left = 0;
    int32_t top = 0;
    int32_t right = 0;
    int32_t bottom = 0;
};

class IMonitorRectLookup {
public:
    virtual ~IMonitorRectLookup() = default;
    // The desktop rectangle of the monitor's output; false when no output of
    // the system is that monitor now.
    virtual bool monitor_rect(const MonitorRef& monitor, DesktopRect& out) = 0;
};

}  // namespace sorvane
