// The pairing URI a phone reads from the host's QR code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "viewer/tls/viewer_identity.h"

namespace sorvane::viewer {

struct PairingUri {
    std::string host_id;
    uint16_t control_port = 0;
    Fingerprint fingerprint{};
    std::string token;
    std::vector<std::string> addresses;  // dotted IPv4, in the order to try
    std::string host_name;               // decoded; may be cut short by the host
};

// Parses "sorvane://pair?host=...&port=...&fp=...&token=...&ip=...[&name=...]".
// host, port, fp and token are required; host must look like a host id and
// every address like an IPv4 address, since they end up in file names and
// connections. False with error otherwise.
bool parse_pairing_uri(std::string_view uri, PairingUri& out, std::string& error);

// The code a person compares with the host's panel: "1A2B-3C4D".
std::string verify_code(const Fingerprint& fingerprint);

}  // namespace sorvane::viewer
