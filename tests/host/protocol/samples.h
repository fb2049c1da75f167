// Sample messages of every type, fully populated and bare, for the wire and
// viewer tests.
#pragma once

#include <vector>

#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "host/protocol/pairing_messages.h"

namespace sorvane::test {

// A Handshake with all ten tail fields set.
proto::Handshake full_handshake();

// Every control type at least once; input and pairing likewise.
std::vector<proto::ControlMessage> control_samples();
std::vector<proto::InputMessage> input_samples();
std::vector<proto::PairingMessage> pairing_samples();

}  // namespace sorvane::test
