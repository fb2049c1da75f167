// The frame reader fed a peer's byte stream in pieces of any size, and every
// frame it returns decoded as a control, input and pairing message.
#include "host/protocol/control_messages.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/input_messages.h"
#include "host/protocol/pairing_messages.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    // The first byte picks the size of the pieces the stream arrives in.
    const size_t piece = 1 + in.u8();
    proto::FrameReader reader;
    size_t appended = 0;
    size_t consumed = 0;
    bool invalid = false;
    while (!in.empty()) {
        const std::string_view bytes = in.bytes(piece);
        reader.append(proto::ByteView(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
        appended += bytes.size();
        for (;;) {
            const proto::FrameReader::Result r = reader.next();
            if (r.status == proto::FrameReader::Status::need_more) break;
            if (r.status == proto::FrameReader::Status::invalid) {
                invalid = true;
                break;
            }
            fuzz::check(!invalid, "a frame after the stream turned invalid");
            consumed += proto::kFrameHeaderSize + r.payload.size();
            (void)proto::decode_control(r.type, r.payload);
            (void)proto::decode_input(r.type, r.payload);
            (void)proto::decode_pairing(r.type, r.payload);
        }
        if (invalid) {
            fuzz::check(reader.invalid() && reader.next().status == proto::FrameReader::Status::invalid,
                        "invalid is not sticky");
        } else {
            fuzz::check(reader.buffered() == appended - consumed, "buffered bytes do not add up");
        }
    }
    return 0;
}
