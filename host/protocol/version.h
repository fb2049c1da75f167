// The protocol version rule applied to a viewer's Handshake, and the features
// that depend on the negotiated version. A version is major in the high byte,
// minor in the low byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace sorvane::proto {

struct VersionDecision {
    bool accepted = false;
    // The version both sides speak; 0 when rejected.
    uint16_t negotiated = 0;
    // The HandshakeAck reason when rejected; empty when accepted.
    std::string_view reason;
};

// viewer: the Handshake's protocol; viewer_min: its min_protocol, if sent;
// host and host_min: the host's own version and the lowest it accepts.
// A viewer that sends no minimum sets none: it is not rejected for being
// newer than the host within the same major version.
VersionDecision negotiate_version(uint16_t viewer, std::optional<uint16_t> viewer_min, uint16_t host,
                                  uint16_t host_min);

// Features newer than the first versions. A session that has not negotiated
// yet counts as version 0.
inline constexpr uint16_t kVersionOpenHostSettings = 0x000E;
inline constexpr uint16_t kVersionReconnectWait = 0x000E;
inline constexpr uint16_t kVersionBeforeInputNotice = 0x000C;

inline bool allows_open_host_settings(uint16_t negotiated) { return negotiated >= kVersionOpenHostSettings; }
inline bool allows_reconnect_wait(uint16_t negotiated) { return negotiated >= kVersionReconnectWait; }
inline bool allows_input_notice(uint16_t negotiated) { return negotiated > kVersionBeforeInputNotice; }

}  // namespace sorvane::proto
