#include "host/protocol/input_messages.h"

#include "host/protocol/variant_codec.h"

namespace sorvane::proto {

bool encode_input(const InputMessage& message, Bytes& out) { return detail::encode_variant(message, out); }

Decoded<InputMessage> decode_input(uint8_t type, ByteView payload) {
    Decoded<InputMessage> result;
    detail::decode_by_type(type, payload, result);
    return result;
}

std::string_view input_type_name(uint8_t type) { return detail::name_of_type<InputMessage>(type); }

std::string_view message_name(const InputMessage& message) { return detail::variant_name(message); }

uint8_t message_type(const InputMessage& message) { return detail::variant_type(message); }

uint32_t session_id_of(const InputMessage& message) {
    return std::visit([](const auto& m) { return m.session_id; }, message);
}

}  // namespace sorvane::proto
