// The host's VideoHello rule on the UDP port against any datagram from any
// port of the control peer's address or another one: genuine hellos (made
// by the reference viewer's code) with any counter, flipped bytes and raw
// bytes. Every datagram is counted once, and only an accepted one moves the
// video destination.
#include <memory>

#include "host/net/video_hello.h"
#include "platform/sim/manual_clock.h"
#include "tests/fuzz/fuzz_input.h"
#include "viewer/net/video_crypto.h"

using namespace sorvane;

namespace {

constexpr uint32_t kSession = 7;

viewer::VideoKey key() {
    viewer::VideoKey k{};
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(0x11 * i);
    return k;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const viewer::VideoKey k = key();
    static std::unique_ptr<viewer::VideoCrypto> viewer_side = [] {
        std::string error;
        return viewer::VideoCrypto::create(k, error);
    }();
    fuzz::Input in(data, size);
    sim::ManualClock clock;
    const Endpoint peer{0x0A000005, 40000};
    VideoHelloHandler handler(kSession, peer, clock);
    handler.set_state(static_cast<SessionState>(in.u8() % 5));
    if (in.u8() & 1) handler.set_cipher(VideoCipher::create(k.data()));
    int started = 0;
    handler.set_start_pipeline([&] { ++started; });

    uint32_t fed = 0;
    while (!in.empty()) {
        const uint8_t op = in.u8();
        const Endpoint source{(op & 0x80) ? in.u32() : peer.address, in.u16()};
        std::vector<uint8_t> datagram;
        if (op & 0x40) {
            const std::string_view raw = in.bytes(in.u16() % 1500);
            datagram.assign(raw.begin(), raw.end());
        } else {
            const uint32_t session = (op & 0x20) ? in.u32() : kSession;
            fuzz::check(viewer_side->hello(session, in.u32(), datagram), "hello not made");
            if (op & 0x10) datagram[in.u8() % datagram.size()] ^= static_cast<uint8_t>(1 + in.u8() % 255);
            if (op & 0x08) datagram.resize(in.u8() % (datagram.size() + 1));
        }
        const std::optional<Endpoint> before = handler.destination();
        const HelloVerdict v = handler.handle_video_hello(source, datagram);
        ++fed;
        const VideoHelloCounters& c = handler.counters();
        fuzz::check(c.accepted + c.rejected == fed, "a datagram counted other than once");
        if (v == HelloVerdict::accepted) {
            fuzz::check(handler.destination() == source, "accepted without moving the destination");
        } else {
            fuzz::check(handler.destination() == before, "a rejected hello moved the destination");
        }
        if (op == 0x03) clock.advance_ms(in.u16());
    }
    fuzz::check(started <= 1, "the stream started twice");
    return 0;
}
