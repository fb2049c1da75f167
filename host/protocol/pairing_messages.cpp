#include "host/protocol/pairing_messages.h"

#include "host/protocol/variant_codec.h"

namespace sorvane::proto {

bool encode_pairing(const PairingMessage& message, Bytes& out) { return detail::encode_variant(message, out); }

Decoded<PairingMessage> decode_pairing(uint8_t type, ByteView payload) {
    Decoded<PairingMessage> result;
    detail::decode_by_type(type, payload, result);
    return result;
}

std::string_view pairing_type_name(uint8_t type) { return detail::name_of_type<PairingMessage>(type); }

std::string_view message_name(const PairingMessage& message) { return detail::variant_name(message); }

uint8_t message_type(const PairingMessage& message) { return detail::variant_type(message); }

}  // namespace sorvane::proto
