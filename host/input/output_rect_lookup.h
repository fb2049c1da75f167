// Where a monitor lies on the desktop, found the way capture finds its
// output (by adapter and target, or by device id), so the touch injector and
// the capture always agree on which monitor a session means.
#pragma once

#include <mutex>

#include "host/input/monitor_rect_lookup.h"
#include "host/media/capture.h"
#include "platform/duplication.h"

namespace sorvane {

class OutputRectLookup final : public IMonitorRectLookup {
public:
    explicit OutputRectLookup(platform::IDuplication& port) : source_(port) {}
    bool monitor_rect(const MonitorRef& monitor, DesktopRect& out) override;

private:
    std::mutex mutex_;  // the capture source serves one thread at a time
    DxgiCaptureSource source_;
};

}  // namespace sorvane
