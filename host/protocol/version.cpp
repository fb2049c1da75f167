#include "host/protocol/version.h"

#include <algorithm>

#include "host/protocol/reasons.h"

namespace sorvane::proto {

VersionDecision negotiate_version(uint16_t viewer, std::optional<uint16_t> viewer_min, uint16_t host,
                                  uint16_t host_min) {
    VersionDecision d;
    if ((viewer >> 8) != (host >> 8)) {
        d.reason = viewer < host ? kReasonClientOutdated : kReasonHostOutdated;
        return d;
    }
    if (viewer < host_min) {
        d.reason = kReasonClientOutdated;
        return d;
    }
    // Only a minimum the viewer actually sent can rule the host out; without
    // one, a newer minor version of the viewer simply talks down to the host.
    if (viewer_min && host < *viewer_min) {
        d.reason = kReasonHostOutdated;
        return d;
    }
    d.accepted = true;
    d.negotiated = std::min(host, viewer);
    return d;
}

}  // namespace sorvane::proto
