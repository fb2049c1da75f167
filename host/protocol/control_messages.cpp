#include "host/protocol/control_messages.h"

#include "host/protocol/variant_codec.h"

namespace sorvane::proto {

bool encode_control(const ControlMessage& message, Bytes& out) { return detail::encode_variant(message, out); }

Decoded<ControlMessage> decode_control(uint8_t type, ByteView payload) {
    Decoded<ControlMessage> result;
    detail::decode_by_type(type, payload, result);
    return result;
}

std::string_view control_type_name(uint8_t type) { return detail::name_of_type<ControlMessage>(type); }

std::string_view message_name(const ControlMessage& message) { return detail::variant_name(message); }

uint8_t message_type(const ControlMessage& message) { return detail::variant_type(message); }

}  // namespace sorvane::proto
