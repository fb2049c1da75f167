// Byte-level frame building for tests and for probing a host with what a
// well-behaved viewer never sends: duplicate or wrong-size tail entries,
// lying string counts, junk after the fields, frames whose length field is 0
// or above the limit. Start from scratch or from a real message's payload.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "host/protocol/wire.h"
#include "host/protocol/wire_fields.h"

namespace sorvane::viewer {

class RawPayload {
public:
    RawPayload() = default;
    explicit RawPayload(proto::Bytes bytes) : bytes_(std::move(bytes)) {}

    RawPayload& u8(uint8_t v);
    RawPayload& u16(uint16_t v);
    RawPayload& u32(uint32_t v);
    RawPayload& u64(uint64_t v);
    RawPayload& i16(int16_t v);
    RawPayload& f32(float v);
    // A string with its true count.
    RawPayload& str(std::string_view s);
    // A string whose count field says `count` whatever the bytes that follow.
    RawPayload& str_claiming(uint16_t count, std::string_view bytes);
    RawPayload& str_list(std::initializer_list<std::string_view> items);
    RawPayload& raw(proto::ByteView bytes);
    RawPayload& raw(std::string_view bytes);
    RawPayload& raw(std::initializer_list<uint8_t> bytes);

    // A tail entry with an honest size. The same tag may be added any number
    // of times, with any value size.
    RawPayload& tail(uint8_t tag, const RawPayload& value);
    RawPayload& tail(uint8_t tag, proto::ByteView value);
    // A tail entry whose size field says `size` whatever follows.
    RawPayload& tail_claiming(uint8_t tag, uint16_t size, const RawPayload& value);
    RawPayload& tail_u8(uint8_t tag, uint8_t v) { return tail(tag, RawPayload().u8(v)); }
    RawPayload& tail_u16(uint8_t tag, uint16_t v) { return tail(tag, RawPayload().u16(v)); }
    RawPayload& tail_u32(uint8_t tag, uint32_t v) { return tail(tag, RawPayload().u32(v)); }
    RawPayload& tail_u64(uint8_t tag, uint64_t v) { return tail(tag, RawPayload().u64(v)); }
    RawPayload& tail_str(uint8_t tag, std::string_view s) { return tail(tag, RawPayload().str(s)); }

    // Drops bytes from the end (to cut a message short).
    RawPayload& cut(size_t n);

    const proto::Bytes& bytes() const { return bytes_; }
    size_t size() const { return bytes_.size(); }

    // The payload in a frame with its true length.
    proto::Bytes frame(uint8_t type) const;
    // The payload in a frame whose length field says `length`.
    proto::Bytes frame_claiming(uint32_t length, uint8_t type) const;

private:
    proto::Bytes bytes_;
};

// The payload of a real message, ready for abusive additions.
template <class M>
RawPayload payload_of(const M& message) {
    proto::Bytes frame;
    if (!proto::encode_message(message, frame)) return RawPayload();
    frame.erase(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(proto::kFrameHeaderSize));
    return RawPayload(std::move(frame));
}

// Frame headers that make a reader give up on the stream.
proto::Bytes zero_length_frame();
proto::Bytes oversized_length_frame(uint8_t type);

}  // namespace sorvane::viewer
