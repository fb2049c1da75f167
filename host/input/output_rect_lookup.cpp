#include "host/input/output_rect_lookup.h"

namespace sorvane {

bool OutputRectLookup::monitor_rect(const MonitorRef& monitor, DesktopRect& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::optional<OutputInfo> output = source_.find_output(monitor);
    if (!output || output->right <= output->left || output->bottom <= output->top) return false;
    out = DesktopRect{output->left, output->top, output->right, output->bottom};
    return true;
}

}  // namespace sorvane
