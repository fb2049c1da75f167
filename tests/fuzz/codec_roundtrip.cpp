// decode, encode, decode: a message that decodes encodes again, and the
// second decoding is the same message (compared as its encoding, so that NaN
// coordinates compare equal).
#include "host/protocol/control_messages.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/input_messages.h"
#include "host/protocol/pairing_messages.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

namespace {

template <class Decode, class Encode>
void round_trip(uint8_t type, proto::ByteView payload, Decode decode, Encode encode) {
    const auto first = decode(type, payload);
    if (!first.ok()) return;
    proto::Bytes frame;
    fuzz::check(encode(first.message, frame), "a decoded message does not encode");
    proto::FrameReader reader;
    reader.append(frame);
    const proto::FrameReader::Result r = reader.next();
    fuzz::check(r.status == proto::FrameReader::Status::frame && r.type == type, "the encoding is not one frame");
    fuzz::check(reader.buffered() == 0, "bytes after the encoded frame");
    const auto second = decode(r.type, r.payload);
    fuzz::check(second.ok(), "the encoding does not decode");
    proto::Bytes again;
    fuzz::check(encode(second.message, again), "the second decoding does not encode");
    fuzz::check(again == frame, "the second decoding is another message");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const proto::ByteView payload(data + 2, size - 2);
    switch (data[0] % 3) {
        case 0:
            round_trip(data[1], payload, proto::decode_control, proto::encode_control);
            break;
        case 1:
            round_trip(data[1], payload, proto::decode_input, proto::encode_input);
            break;
        default:
            round_trip(data[1], payload, proto::decode_pairing, proto::encode_pairing);
            break;
    }
    return 0;
}
