// The numbers both ends know before any byte is exchanged: the protocol
// version this build speaks and the default ports.
#pragma once

#include <cstdint>

namespace sorvane::proto {

// Major version in the high byte, minor in the low byte.
inline constexpr uint16_t kProtocolVersion = 0x0100;

inline constexpr uint16_t kDefaultControlPort = 47000;  // TCP, TLS
inline constexpr uint16_t kDefaultVideoPort = 47001;    // UDP
inline constexpr uint16_t kDefaultInputPort = 47002;    // TCP, TLS
inline constexpr uint16_t kDefaultPairingPort = 47010;  // TCP, TLS, while a pairing window is open

}  // namespace sorvane::proto
