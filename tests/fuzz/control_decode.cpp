// The control decoder on any type byte and payload a peer may send.
#include "host/protocol/control_messages.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const auto decoded = proto::decode_control(data[0], proto::ByteView(data + 1, size - 1));
    if (decoded.ok()) {
        fuzz::check(proto::message_type(decoded.message) == data[0], "decoded as another type");
        fuzz::check(!proto::message_name(decoded.message).empty(), "a message without a name");
    }
    return 0;
}
