// Glue between a std::variant of message structs and the field engine: picks
// the alternative by its type byte for decoding, and encodes or names the
// alternative a variant holds. Used by the per-connection codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <variant>

#include "host/protocol/wire.h"
#include "host/protocol/wire_fields.h"

namespace sorvane::proto::detail {

template <class Variant, size_t I = 0>
void decode_by_type(uint8_t type, ByteView payload, Decoded<Variant>& result) {
    if constexpr (I < std::variant_size_v<Variant>) {
        using M = std::variant_alternative_t<I, Variant>;
        if (type == M::kType) {
            M& m = result.message.template emplace<I>();
            result.status = decode_message(payload, m) ? DecodeStatus::ok : DecodeStatus::malformed;
            return;
        }
        decode_by_type<Variant, I + 1>(type, payload, result);
    } else {
        result.status = DecodeStatus::unknown;
    }
}

template <class Variant, size_t I = 0>
std::string_view name_of_type(uint8_t type) {
    if constexpr (I < std::variant_size_v<Variant>) {
        using M = std::variant_alternative_t<I, Variant>;
        if (type == M::kType) return M::kName;
        return name_of_type<Variant, I + 1>(type);
    } else {
        return {};
    }
}

template <class Variant>
bool encode_variant(const Variant& message, Bytes& out) {
    return std::visit([&out](const auto& m) { return encode_message(m, out); }, message);
}

template <class Variant>
std::string_view variant_name(const Variant& message) {
    return std::visit([](const auto& m) { return std::decay_t<decltype(m)>::kName; }, message);
}

template <class Variant>
uint8_t variant_type(const Variant& message) {
    return std::visit([](const auto& m) { return std::decay_t<decltype(m)>::kType; }, message);
}

}  // namespace sorvane::proto::detail
