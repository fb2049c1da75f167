// Pairing from the viewer's side: reach the host at one of the offered
// addresses, pin its fingerprint, send the token, read the outcome, and
// remember the host for later connections.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/protocol/defaults.h"
#include "host/protocol/pairing_messages.h"
#include "platform/clock.h"
#include "viewer/pairing/pairing_uri.h"
#include "viewer/tls/viewer_identity.h"

namespace sorvane::viewer {

struct PairOptions {
    std::string client_id;
    std::optional<std::string> client_name;
    uint16_t pairing_port = proto::kDefaultPairingPort;
    uint32_t timeout_ms = 5'000;  // per connection attempt and per read
    // Overrides the token of the URI (for probing refusals).
    std::optional<std::string> token;
    uint32_t local_address = 0;  // appear from this local address (0: any)
};

struct PairOutcome {
    bool reached = false;          // a PairResult arrived
    proto::PairResult result;      // valid when reached
    std::string address;           // the address that answered
    std::string error;             // why nothing arrived
};

// Tries the offered addresses in order until one answers. identity may be
// null to pair without a client certificate.
PairOutcome pair_with_host(const PairingUri& uri, const ViewerIdentity* identity, platform::IClock& clock,
                           const PairOptions& options);

// A host this viewer has paired with.
struct KnownHost {
    std::string host_id;
    Fingerprint fingerprint{};
    std::string host_name;
    std::vector<std::string> addresses;
    std::string last_address;  // the address that answered last (pairing or connecting)
    uint16_t control_port = 0;
    uint16_t pairing_port = 0;
    std::string paired_at;
};

// Kept as <state_dir>/hosts/<host id>.txt, one "key=value" per line.
bool save_known_host(const std::string& state_dir, const KnownHost& host, std::string& error);
bool load_known_host(const std::string& state_dir, const std::string& host_id, KnownHost& out, std::string& error);
std::vector<KnownHost> list_known_hosts(const std::string& state_dir);

// The addresses to try when connecting, in turn: the one that worked last,
// then the offered ones, each once.
std::vector<std::string> connect_order(const KnownHost& host);

}  // namespace sorvane::viewer
