// The SHA-256 fingerprint by which the host and its viewers know each other's
// certificates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sorvane {

inline constexpr size_t kFingerprintSize = 32;
using Fingerprint = std::array<uint8_t, kFingerprintSize>;

// SHA-256 of a certificate's DER encoding. False (and all zero) when the hash
// failed.
bool certificate_fingerprint(const std::vector<uint8_t>& der, Fingerprint& out);

// The 64-digit lowercase hexadecimal text, no separators.
std::string to_hex(const Fingerprint& fingerprint);

}  // namespace sorvane
