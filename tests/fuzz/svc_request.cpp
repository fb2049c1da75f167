// The driver's control requests: the parser on any message, and the whole
// dispatcher on a sequence of messages (one per line of the input) from two
// connections, with time passing between them. Every answer is one response
// line of the protocol, whatever was asked.
#include <memory>

#include "driver/core/control_plane.h"
#include "driver/core/protocol.h"
#include "platform/sim/manual_clock.h"
#include "tests/driver/fake_backend.h"
#include "tests/fuzz/fuzz_input.h"

using namespace sorvane;

namespace {

void check_response(const std::string& response) {
    fuzz::check(response.size() <= vdd::kMaxResponseBytes, "response too long");
    fuzz::check(response.rfind("SVC/1 ", 0) == 0, "response without its header");
    for (char c : response) {
        const auto b = static_cast<unsigned char>(c);
        fuzz::check(b >= 0x20 && b <= 0x7E, "response byte outside printable ASCII");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    vdd::ControlRequest request;
    vdd::ParseFailure failure;
    if (vdd::parse_request(text, request, failure)) {
        fuzz::check(!request.verb.empty() && request.verb.size() <= 24, "verb out of bounds");
        fuzz::check(request.positional.size() + request.named.size() + 3 <= vdd::kMaxTokens, "too many tokens");
        check_response(vdd::format_ok(request.seq, request.named));
        check_response(vdd::format_err(request.seq, request.version, request.verb, request.named));
    } else {
        fuzz::check(failure.code == vdd::kBadRequest && failure.detail[0] != '\0', "failure without its detail");
    }
    check_response(vdd::internal_error_response(text, "fault"));

    vdd::test::FakeBackend backend;
    backend.ready = (size % 7) != 0;
    sim::ManualClock clock;
    vdd::ControlPlane plane(backend, clock);
    size_t start = 0;
    uint32_t connection = 1;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        check_response(plane.handle_request(connection, text.substr(start, end - start)));
        // The first byte of each line also moves time and picks the connection.
        if (end > start) {
            const auto b = static_cast<unsigned char>(text[start]);
            clock.advance_ms(b * 50u);
            connection = 1 + (b & 1);
            if (b == 'x') plane.on_disconnect(connection);
            plane.tick();
        }
        start = end + 1;
    }
    return 0;
}
