#include "viewer/protocol/raw_frame.h"

namespace sorvane::viewer {

using proto::Bytes;

RawPayload& RawPayload::u8(uint8_t v) {
    proto::append_u8(bytes_, v);
    return *this;
}
RawPayload& RawPayload::u16(uint16_t v) {
    proto::append_u16(bytes_, v);
    return *this;
}
RawPayload& RawPayload::u32(uint32_t v) {
    proto::append_u32(bytes_, v);
    return *this;
}
RawPayload& RawPayload::u64(uint64_t v) {
    proto::append_u64(bytes_, v);
    return *this;
}
RawPayload& RawPayload::i16(int16_t v) { return u16(static_cast<uint16_t>(v)); }
RawPayload& RawPayload::f32(float v) {
    proto::append_f32(bytes_, v);
    return *this;
}

RawPayload& RawPayload::str(std::string_view s) {
    return str_claiming(static_cast<uint16_t>(s.size()), s);
}

RawPayload& RawPayload::str_claiming(uint16_t count, std::string_view bytes) {
    u16(count);
    return raw(bytes);
}

RawPayload& RawPayload::str_list(std::initializer_list<std::string_view> items) {
    u16(static_cast<uint16_t>(items.size()));
    for (std::string_view s : items) str(s);
    return *this;
}

RawPayload& RawPayload::raw(proto::ByteView bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}
RawPayload& RawPayload::raw(std::string_view bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}
RawPayload& RawPayload::raw(std::initializer_list<uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

RawPayload& RawPayload::tail(uint8_t tag, const RawPayload& value) {
    return tail_claiming(tag, static_cast<uint16_t>(value.size()), value);
}

RawPayload& RawPayload::tail(uint8_t tag, proto::ByteView value) { return tail(tag, RawPayload().raw(value)); }

RawPayload& RawPayload::tail_claiming(uint8_t tag, uint16_t size, const RawPayload& value) {
    u8(tag);
    u16(size);
    return raw(proto::ByteView(value.bytes()));
}

RawPayload& RawPayload::cut(size_t n) {
    bytes_.resize(n >= bytes_.size() ? 0 : bytes_.size() - n);
    return *this;
}

Bytes RawPayload::frame(uint8_t type) const {
    return frame_claiming(static_cast<uint32_t>(bytes_.size() + 1), type);
}

Bytes RawPayload::frame_claiming(uint32_t length, uint8_t type) const {
    Bytes out;
    out.reserve(proto::kFrameHeaderSize + bytes_.size());
    proto::append_u32(out, length);
    proto::append_u8(out, type);
    out.insert(out.end(), bytes_.begin(), bytes_.end());
    return out;
}

Bytes zero_length_frame() { return Bytes{0, 0, 0, 0}; }

Bytes oversized_length_frame(uint8_t type) { return RawPayload().frame_claiming(proto::kMaxFrameLength + 1, type); }

}  // namespace sorvane::viewer
