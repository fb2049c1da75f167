// End to end on loopback: the reference viewer connects with its paired
// certificate, receives SessionOpen with the video key, sends VideoHello; the
// host side (the transport plus the VideoHello component, as a session uses
// them) accepts it and streams a few hundred sealed frames, which the viewer
// opens and reassembles with its own code. Every byte is compared.
#include <gtest/gtest.h>

#include <mutex>

#include "host/protocol/control_messages.h"
#include "host/net/video_datagram.h"
#include "host/net/video_hello.h"
#include "platform/random.h"
#include "tests/host/net/transport_fixture.h"
#include "viewer/net/host_link.h"
#include "viewer/net/video_receiver.h"

namespace sorvane {
namespace {

using test::eventually;
using Ev = test::RecordingSink::Event;

proto::Bytes synthetic_frame(uint32_t seq) {
    static const size_t sizes[] = {1, 1361, 1362, 700, 5'000, 2'722, 20'000, 40'000, 9'999, 120'000};
    const size_t n = sizes[seq % (sizeof sizes / sizeof sizes[0])] + (seq % 7);
    proto::Bytes f(n);
    uint32_t x = seq * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        f[i] = static_cast<uint8_t>(x);
    }
    return f;
}

struct Streaming : test::TransportFixture {};

TEST_F(Streaming, SealedFramesReachTheViewerIntact) {
    start();
    constexpr uint32_t kSession = 5;
    constexpr uint32_t kFrames = 300;

    // The viewer: control connection and Handshake.
    viewer::ControlLink link(*real_clock, viewer::default_handshake("phone-1"));
    ASSERT_TRUE(link.connect(control(), identity.fingerprint(), phone.get())) << link.link().last_error();
    ASSERT_TRUE(link.start());

    // The host side of the session.
    ASSERT_TRUE(sink.wait_for(Ev::connected, 1));
    const Ev conn = sink.of(Ev::connected)[0];
    ASSERT_TRUE(sink.wait_for(Ev::message, 1));
    EXPECT_EQ(sink.of(Ev::message)[0].type, proto::Handshake::kType);
    std::array<uint8_t, 32> key{};
    ASSERT_TRUE(platform::secure_random(key.data(), key.size()));
    std::mutex session_mutex;  // what the session's mutex will be
    VideoHelloHandler hello(kSession, conn.peer, clock);
    std::atomic<bool> streaming{false};
    hello.set_cipher(std::shared_ptr<VideoCipher>(VideoCipher::create(key.data())));
    hello.set_start_pipeline([&] { streaming.store(true); });
    hello.set_state(SessionState::AwaitOpenAck);
    sink.set_hello_hook([&](const Endpoint& source, proto::ByteView datagram) {
        std::lock_guard<std::mutex> g(session_mutex);
        hello.handle_video_hello(source, datagram);
    });
    proto::HandshakeAck ack;
    ack.protocol = 0x0100;
    ack.host_id = test::kTestHostId;
    ack.accepted = true;
    ack.session_id = kSession;
    proto::SessionOpen open;
    open.session_id = kSession;
    open.video_port = transport->video_port();
    open.input_port = transport->input_port();
    open.codec = "H264";
    open.width = 1920;
    open.height = 1080;
    open.fps = 60;
    open.video_key = std::string(key.begin(), key.end());
    proto::Bytes out;
    ASSERT_TRUE(proto::encode_control(ack, out));
    ASSERT_TRUE(proto::encode_control(open, out));
    ASSERT_TRUE(transport->send_control(conn.conn_id, out));

    // The viewer takes the session and starts its video socket.
    std::vector<viewer::ClientEvent> events;
    ASSERT_TRUE(eventually([&] {
        link.pump(20, events);
        return link.client().state() == viewer::ClientState::session_offered;
    }));
    ASSERT_EQ(link.client().session()->video_key, open.video_key);
    viewer::VideoReceiverOptions vo;
    vo.host_video = video();
    vo.bind_address = "127.0.0.1";
    vo.session_id = kSession;
    std::copy(key.begin(), key.end(), vo.key.begin());
    vo.incomplete_timeout_ms = 5'000;
    std::mutex frames_mutex;
    std::vector<viewer::ReceivedFrame> frames;
    viewer::VideoReceiver receiver(*real_clock);
    std::string error;
    ASSERT_TRUE(receiver.start(
        vo,
        [&](const viewer::ReceivedFrame& f) {
            std::lock_guard<std::mutex> g(frames_mutex);
            frames.push_back(f);
        },
        error))
        << error;

    // Hellos that come before SessionOpenAck is processed are dropped by state.
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> g(session_mutex);
        return hello.counters().state >= 1;
    }));
    ASSERT_TRUE(link.client().acknowledge_session(true));
    ASSERT_TRUE(link.flush());
    ASSERT_TRUE(sink.wait_for(Ev::message, 2));
    EXPECT_EQ(sink.of(Ev::message)[1].type, proto::SessionOpenAck::kType);
    {
        std::lock_guard<std::mutex> g(session_mutex);
        hello.set_open_ack_ms(clock.now_ms());
        hello.set_state(SessionState::AwaitHello);
    }
    ASSERT_TRUE(eventually([&] { return streaming.load(); }));
    {
        std::lock_guard<std::mutex> g(session_mutex);
        EXPECT_EQ(hello.destination(), (Endpoint{platform::kLoopbackAddress, receiver.local_port()}));
        EXPECT_EQ(hello.counters().gmac, 0u);
    }

    // The frame thread: seal and send through the session's sender.
    const VideoSender send = hello.make_sender(*transport);
    auto cipher = VideoCipher::create(key.data());
    FrameSealer sealer;
    uint64_t datagrams = 0;
    for (uint32_t seq = 1; seq <= kFrames; ++seq) {
        const proto::Bytes frame = synthetic_frame(seq);
        uint32_t sent = 0;
        ASSERT_EQ(sealer.send_frame(*cipher, kSession, seq, real_clock->now_ms(), seq % 60 == 1, frame, send, sent),
                  FrameSealer::Result::sent);
        datagrams += sent;
        // One frame in flight keeps the loopback's buffers from overflowing.
        ASSERT_TRUE(receiver.wait_for_frames(seq, 10'000)) << "frame " << seq;
    }
    receiver.stop();

    std::lock_guard<std::mutex> g(frames_mutex);
    ASSERT_EQ(frames.size(), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) {
        EXPECT_EQ(frames[i].frame_seq, i + 1);
        EXPECT_EQ(frames[i].keyframe, (i + 1) % 60 == 1);
        ASSERT_EQ(frames[i].data, synthetic_frame(i + 1)) << "frame " << i + 1;
        EXPECT_GE(frames[i].latency_ms, 0);
    }
    const viewer::ReceiverStats s = receiver.stats();
    EXPECT_EQ(s.frames_complete, kFrames);
    EXPECT_EQ(s.tag_failures, 0u);
    EXPECT_EQ(s.duplicates, 0u);
    EXPECT_EQ(s.frames_incomplete, 0u);
    EXPECT_EQ(s.frames_missing, 0u);
    EXPECT_EQ(s.datagrams, datagrams);
    EXPECT_EQ(s.keyframes, 5u);
    EXPECT_GE(receiver.hellos_sent(), 2u);

    link.client().close(std::string("viewer_exit"));
    link.flush();
    link.link().close();
    ASSERT_TRUE(sink.wait_for(Ev::closed, 1));
    std::lock_guard<std::mutex> sg(session_mutex);
    EXPECT_GE(hello.counters().accepted, 1u);
    EXPECT_EQ(hello.counters().counter, 0u);
    EXPECT_EQ(hello.udp_text(*transport).rfind("udp_rx=", 0), 0u);
}

}  // namespace
}  // namespace sorvane
