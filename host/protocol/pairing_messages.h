// The two messages of the pairing connection. They travel in the same frames
// and field encodings as the control connection, with their own type bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "host/protocol/wire.h"
#include "host/protocol/wire_fields.h"

namespace sorvane::proto {

// Viewer to host: the one-time token read from the pairing code.
struct PairRequest {
    static constexpr uint8_t kType = 1;
    static constexpr std::string_view kName = "PairRequest";

    std::string client_id;
    std::string token;
    std::optional<std::string> client_name;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("client_id", m.client_id);
        v.field("token", m.token);
        v.tail(1, "client_name", m.client_name);
    }
    friend bool operator==(const PairRequest&, const PairRequest&) = default;
};

// Host to viewer: the outcome. reason is set on refusal, host_name on success.
struct PairResult {
    static constexpr uint8_t kType = 2;
    static constexpr std::string_view kName = "PairResult";

    bool ok = false;
    std::string host_id;
    std::optional<std::string> reason;
    std::optional<std::string> host_name;

    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("ok", m.ok);
        v.field("host_id", m.host_id);
        v.tail(1, "reason", m.reason);
        v.tail(2, "host_name", m.host_name);
    }
    friend bool operator==(const PairResult&, const PairResult&) = default;
};

using PairingMessage = std::variant<PairRequest, PairResult>;

// Appends one frame; false (out unchanged) when a limit is hit.
bool encode_pairing(const PairingMessage& message, Bytes& out);

// Decodes a pairing payload: unknown for types other than 1 and 2.
Decoded<PairingMessage> decode_pairing(uint8_t type, ByteView payload);

std::string_view pairing_type_name(uint8_t type);
std::string_view message_name(const PairingMessage& message);
uint8_t message_type(const PairingMessage& message);

}  // namespace sorvane::proto
