// Video datagrams: golden bytes, fragmentation limits, the header as
// associated data, nonce uniqueness, and the VideoHello acceptance rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "host/core/log.h"
#include "host/net/video_datagram.h"
#include "host/net/video_hello.h"
#include "platform/sim/manual_clock.h"
#include "viewer/net/video_crypto.h"

namespace sorvane {
namespace {

std::array<uint8_t, 32> test_key() {
    std::array<uint8_t, 32> k{};
    for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i);
    return k;
}

proto::Bytes hex(const std::string& h) {
    proto::Bytes b(h.size() / 2);
    EXPECT_TRUE(from_hex(h, b.data(), b.size())) << h;
    return b;
}

std::string hex_of(proto::ByteView b) { return to_hex(b.data(), b.size()); }

const std::string kGoldenHello = "020000000700000001" "17d970f94f1b735b9dd8958c65e13166";
const std::string kGoldenFragment =
    "01000000070000000500000000000003e8010100000001" "7e0d189c9d" "bd8a047a4f4bc04083dc401e2b3025d4";

TEST(VideoDatagram, GoldenVectorsOnBothSides) {
    const auto key = test_key();
    auto cipher = VideoCipher::create(key.data());
    ASSERT_TRUE(cipher);

    // The host seals the fragment exactly.
    VideoFragmentHeader h;
    h.session_id = 7;
    h.frame_seq = 5;
    h.capture_ms = 1000;
    h.keyframe = true;
    h.fragment_index = 0;
    h.fragment_count = 1;
    const proto::Bytes payload = hex("0000000165");
    proto::Bytes datagram;
    ASSERT_TRUE(build_fragment(*cipher, h, payload, datagram));
    EXPECT_EQ(hex_of(datagram), kGoldenFragment);

    // The host accepts the golden hello's tag, and only for its counter.
    const proto::Bytes hello = hex(kGoldenHello);
    const HelloHeader hh = decode_hello_header(hello);
    ASSERT_EQ(hh.status, HelloHeader::Status::ok);
    EXPECT_EQ(hh.session_id, 7u);
    EXPECT_EQ(hh.counter, 1u);
    EXPECT_TRUE(cipher->verify_hello(1, proto::ByteView(hello).first(9), hello.data() + 9));
    EXPECT_FALSE(cipher->verify_hello(2, proto::ByteView(hello).first(9), hello.data() + 9));

    // The viewer's own code makes the same hello and opens the same fragment.
    std::string error;
    viewer::VideoKey vk;
    std::copy(key.begin(), key.end(), vk.begin());
    auto vc = viewer::VideoCrypto::create(vk, error);
    ASSERT_TRUE(vc) << error;
    std::vector<uint8_t> vh;
    ASSERT_TRUE(vc->hello(7, 1, vh));
    EXPECT_EQ(hex_of(vh), kGoldenHello);
    const proto::Bytes golden = hex(kGoldenFragment);
    viewer::FragmentHeader fh;
    ASSERT_TRUE(viewer::read_fragment_header(golden.data(), golden.size(), fh));
    EXPECT_EQ(fh.frame_seq, 5u);
    EXPECT_EQ(fh.capture_ms, 1000u);
    uint8_t plain[5];
    ASSERT_TRUE(vc->open_fragment(golden.data(), golden.size(), fh, plain));
    EXPECT_EQ(hex_of(proto::ByteView(plain, 5)), "0000000165");
}

TEST(VideoDatagram, EveryHeaderByteIsAuthenticated) {
    const auto key = test_key();
    std::string error;
    viewer::VideoKey vk;
    std::copy(key.begin(), key.end(), vk.begin());
    auto vc = viewer::VideoCrypto::create(vk, error);
    const proto::Bytes golden = hex(kGoldenFragment);
    uint8_t plain[5];
    for (size_t i = 0; i < golden.size(); ++i) {
        proto::Bytes d = golden;
        d[i] ^= 0x01;
        viewer::FragmentHeader fh;
        ASSERT_TRUE(viewer::read_fragment_header(d.data(), d.size(), fh));
        EXPECT_FALSE(vc->open_fragment(d.data(), d.size(), fh, plain)) << "byte " << i;
    }
}

TEST(VideoDatagram, FragmentCountsAndLimits) {
    EXPECT_EQ(fragment_count_for(0), 1u);
    EXPECT_EQ(fragment_count_for(1), 1u);
    EXPECT_EQ(fragment_count_for(1361), 1u);
    EXPECT_EQ(fragment_count_for(1362), 2u);
    EXPECT_EQ(fragment_count_for(size_t{65535} * 1361), 65535u);
    EXPECT_EQ(fragment_count_for(size_t{65535} * 1361 + 1), 0u);

    uint8_t out[kVideoFragmentHeaderSize];
    VideoFragmentHeader h;
    h.fragment_count = 0;
    EXPECT_FALSE(encode_fragment_header(h, out));
    h.fragment_count = 3;
    h.fragment_index = 3;
    EXPECT_FALSE(encode_fragment_header(h, out));
    h.fragment_index = 2;
    EXPECT_TRUE(encode_fragment_header(h, out));

    auto cipher = VideoCipher::create(test_key().data());
    proto::Bytes d;
    h.fragment_index = 0;
    EXPECT_FALSE(build_fragment(*cipher, h, proto::Bytes(1362, 0), d));
    EXPECT_TRUE(d.empty());

    // A frame of 1,362 bytes leaves as 1,361 + 1 byte: datagrams of 1,400 and 40 bytes.
    FrameSealer sealer;
    std::vector<size_t> sizes;
    uint32_t sent = 0;
    const proto::Bytes frame(1362, 0xAB);
    ASSERT_EQ(sealer.send_frame(*cipher, 9, 1, 0, false, frame,
                                [&](proto::ByteView b) {
                                    sizes.push_back(b.size());
                                    return true;
                                },
                                sent),
              FrameSealer::Result::sent);
    EXPECT_EQ(sent, 2u);
    EXPECT_EQ(sizes, (std::vector<size_t>{1400, 40}));
    sizes.clear();
    ASSERT_EQ(sealer.send_frame(*cipher, 9, 2, 0, false, proto::Bytes(1361, 1),
                                [&](proto::ByteView b) {
                                    sizes.push_back(b.size());
                                    return true;
                                },
                                sent),
              FrameSealer::Result::sent);
    EXPECT_EQ(sizes, (std::vector<size_t>{1400}));

    // Too large for 65,535 fragments: refused before anything is sent.
    const proto::Bytes huge(size_t{65535} * 1361 + 1, 0);
    EXPECT_EQ(sealer.send_frame(*cipher, 9, 3, 0, false, huge, [](proto::ByteView) { return true; }, sent),
              FrameSealer::Result::too_large);
    EXPECT_EQ(sent, 0u);
    // A sender that fails stops the frame.
    EXPECT_EQ(sealer.send_frame(*cipher, 9, 4, 0, false, frame, [](proto::ByteView) { return false; }, sent),
              FrameSealer::Result::send_failed);
    EXPECT_EQ(sent, 0u);
}

TEST(VideoDatagram, NoNonceIsSealedTwice) {
    auto cipher = VideoCipher::create(test_key().data());
    FrameSealer sealer;
    uint32_t sent = 0;
    std::map<std::string, int> nonces;  // frame_seq + index as seen on the wire
    auto send = [&](proto::ByteView b) {
        ++nonces[hex_of(b.subspan(5, 4)) + hex_of(b.subspan(19, 2))];
        return true;
    };
    const proto::Bytes frame(3000, 7);
    EXPECT_EQ(sealer.send_frame(*cipher, 1, 10, 0, true, frame, send, sent), FrameSealer::Result::sent);
    EXPECT_EQ(sealer.send_frame(*cipher, 1, 11, 0, false, frame, send, sent), FrameSealer::Result::sent);
    // A pipeline that repeats or rewinds its frame number is refused, not sealed again.
    EXPECT_EQ(sealer.send_frame(*cipher, 1, 11, 0, false, frame, send, sent), FrameSealer::Result::seal_failed);
    EXPECT_EQ(sealer.send_frame(*cipher, 1, 3, 0, false, frame, send, sent), FrameSealer::Result::seal_failed);
    EXPECT_EQ(sent, 0u);
    EXPECT_EQ(cipher->refused_reuse(), 2u);
    EXPECT_EQ(sealer.send_frame(*cipher, 1, 12, 0, false, frame, send, sent), FrameSealer::Result::sent);
    for (const auto& [nonce, uses] : nonces) EXPECT_EQ(uses, 1) << nonce;
    EXPECT_EQ(nonces.size(), 9u);
}

TEST(VideoDatagram, HelloHeaderDecoding) {
    EXPECT_EQ(decode_hello_header({}).status, HelloHeader::Status::not_hello);
    EXPECT_EQ(decode_hello_header(proto::Bytes(30, 0x01)).status, HelloHeader::Status::not_hello);
    proto::Bytes d(8, 0x02);
    EXPECT_EQ(decode_hello_header(d).status, HelloHeader::Status::malformed);
    d.assign(1401, 0x02);
    EXPECT_EQ(decode_hello_header(d).status, HelloHeader::Status::malformed);
    d.assign(1400, 0x02);
    EXPECT_EQ(decode_hello_header(d).status, HelloHeader::Status::ok);
}

// ---- the VideoHello rule ----

class LogLines {
public:
    LogLines() {
        process_log().set_echo_sink([this](std::string_view s) {
            std::lock_guard<std::mutex> g(mutex_);
            text_.append(s);
        });
        process_log().open(true, "");
    }
    ~LogLines() { process_log().set_echo_sink([](std::string_view) {}); }
    size_t count(const std::string& s) const {
        std::lock_guard<std::mutex> g(mutex_);
        size_t n = 0;
        for (size_t at = text_.find(s); at != std::string::npos; at = text_.find(s, at + 1)) ++n;
        return n;
    }

private:
    mutable std::mutex mutex_;
    std::string text_;
};

// Records the datagrams a sender hands on.
class FakeTransport : public ITransport {
public:
    UdpStats udp_stats(uint32_t) override {
        UdpStats s;
        s.udp_rx = 12;
        s.from_peer = 10;
        s.malformed = 2;
        return s;
    }
    bool start(const HostOptions&, ITransportSink&) override { return true; }
    uint16_t video_port() const override { return 47001; }
    uint16_t input_port() const override { return 47002; }
    bool send_control(ConnId, proto::ByteView) override { return true; }
    void close_connection(ConnId) override {}
    bool send_video(const Endpoint& to, proto::ByteView) override {
        sent_to.push_back(to);
        return true;
    }
    void stop() override {}
    std::vector<Endpoint> sent_to;
};

struct HelloFixture : ::testing::Test {
    LogLines log;
    sim::ManualClock clock;
    const Endpoint peer{0x7F000002, 50000};
    VideoHelloHandler handler{7, peer, clock};
    std::unique_ptr<viewer::VideoCrypto> viewer_crypto;
    int started = 0;

    void SetUp() override {
        std::string error;
        viewer::VideoKey vk = test_key();
        viewer_crypto = viewer::VideoCrypto::create(vk, error);
        handler.set_start_pipeline([this] { ++started; });
    }
    void arm() {
        handler.set_cipher(std::shared_ptr<VideoCipher>(VideoCipher::create(test_key().data())));
        handler.set_state(SessionState::AwaitHello);
        handler.set_open_ack_ms(clock.now_ms());
    }
    proto::Bytes hello(uint32_t counter, uint32_t session = 7) {
        std::vector<uint8_t> d;
        EXPECT_TRUE(viewer_crypto->hello(session, counter, d));
        return proto::Bytes(d.begin(), d.end());
    }
    HelloVerdict feed(const proto::Bytes& d, Endpoint from = {0x7F000002, 40000}) {
        return handler.handle_video_hello(from, d);
    }
};

TEST_F(HelloFixture, ChecksRunInOrderAndEachCountsItsReason) {
    FakeTransport transport;
    const VideoSender send = handler.make_sender(transport);
    // No destination yet: the sender refuses.
    EXPECT_FALSE(send(proto::Bytes(40, 0)));
    const VideoBatchSender batch = handler.make_batch_sender(transport);
    const proto::Bytes unit(40, 0);
    const proto::ByteView two[2] = {unit, unit};
    bool sent[2] = {true, true};
    batch(two, 2, sent);
    EXPECT_FALSE(sent[0] || sent[1]);

    // State comes first: even garbage from a stranger is a state drop.
    EXPECT_EQ(feed(proto::Bytes{0x02}, {0x0A000001, 1}), HelloVerdict::state);
    handler.set_state(SessionState::AwaitHello);
    // Then the address: a correct tag from another address is an ip drop, not gmac.
    EXPECT_EQ(feed(hello(1), {0x7F000003, 40000}), HelloVerdict::ip_mismatch);
    // Then the header, then the cipher.
    EXPECT_EQ(feed(proto::Bytes(8, 0x02)), HelloVerdict::malformed);
    EXPECT_EQ(feed(hello(1)), HelloVerdict::no_cipher);
    arm();
    proto::Bytes short_one(12, 0);
    short_one[0] = 0x02;
    EXPECT_EQ(feed(short_one), HelloVerdict::gmac);
    proto::Bytes bad = hello(1);
    bad[20] ^= 1;
    EXPECT_EQ(feed(bad), HelloVerdict::gmac);
    EXPECT_EQ(started, 0);

    // The first good one opens the stream and sets the destination.
    clock.advance_ms(35);
    EXPECT_EQ(feed(hello(5)), HelloVerdict::accepted);
    EXPECT_EQ(handler.state(), SessionState::Streaming);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(log.count("[session 7] first valid VideoHello from 127.0.0.2:40000 (counter 5, 35 ms after "
                        "SessionOpenAck): streaming starts"),
              1u);
    EXPECT_TRUE(send(proto::Bytes(40, 0)));
    // Equal and lower counters are replays.
    EXPECT_EQ(feed(hello(5)), HelloVerdict::counter);
    EXPECT_EQ(feed(hello(4)), HelloVerdict::counter);
    // A new source port is accepted and moves the destination; the pipeline is not started again.
    EXPECT_EQ(feed(hello(6), {0x7F000002, 40001}), HelloVerdict::accepted);
    EXPECT_EQ(started, 1);
    EXPECT_EQ(log.count("[session 7] video destination is now 127.0.0.2:40001"), 1u);
    EXPECT_TRUE(send(proto::Bytes(40, 0)));
    ASSERT_EQ(transport.sent_to.size(), 2u);
    EXPECT_EQ(transport.sent_to[1], (Endpoint{0x7F000002, 40001}));
    // A whole access unit at once goes the same way.
    batch(two, 2, sent);
    EXPECT_TRUE(sent[0] && sent[1]);
    ASSERT_EQ(transport.sent_to.size(), 4u);
    EXPECT_EQ(transport.sent_to[3], (Endpoint{0x7F000002, 40001}));

    const VideoHelloCounters& c = handler.counters();
    EXPECT_EQ(c.accepted, 2u);
    EXPECT_EQ(c.state, 1u);
    EXPECT_EQ(c.ip, 1u);
    EXPECT_EQ(c.malformed, 2u);  // malformed and no_cipher share it
    EXPECT_EQ(c.gmac, 2u);
    EXPECT_EQ(c.counter, 2u);
    EXPECT_EQ(c.rejected, 8u);
    EXPECT_EQ(handler.udp_text(transport),
              "udp_rx=12 from_peer=10 malformed=2 hello_dropped: ip=1 gmac=2 counter=2 state=1 hello_ok=2");
    EXPECT_EQ(log.count("reason=malformed; 1 so far (total rejected 3)"), 1u);
    // The shared count is at 2 for no_cipher: not a line of its own.
    EXPECT_EQ(log.count("reason=no_cipher;"), 0u);
    EXPECT_EQ(log.count("reason=gmac; 1 so far (total rejected 5)"), 1u);
}

TEST_F(HelloFixture, RepeatedRejectionsAreThrottledAndTheLastCounterEndsEverything) {
    arm();
    EXPECT_EQ(feed(hello(0xFFFFFFFF)), HelloVerdict::accepted);
    // After the highest counter nothing can follow.
    for (int i = 0; i < 120; ++i) EXPECT_EQ(feed(hello(static_cast<uint32_t>(i))), HelloVerdict::counter);
    EXPECT_EQ(handler.counters().counter, 120u);
    EXPECT_EQ(log.count("rejected: reason=counter;"), 3u);  // 1st, 50th, 100th
    handler.set_state(SessionState::Closed);
    EXPECT_EQ(feed(hello(1)), HelloVerdict::state);
    EXPECT_EQ(log.count("dropped: reason=state (session state 4,"), 1u);
}

}  // namespace
}  // namespace sorvane
