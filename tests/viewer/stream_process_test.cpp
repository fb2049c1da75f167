// sorvane-viewer stream as a process against a small host made of the real
// transport: it answers the Handshake, sends x264-encoded test-card frames
// sealed with the host's video cipher, and draws a mark where the viewer's
// tap lands. The viewer decodes, reads the latency off the barcode, sends
// the key, writes the stream and a PNG, and closes the session itself.
#include <gtest/gtest.h>

#include <atomic>

#include "host/media/mf_encoder.h"
#include "host/net/video_datagram.h"
#include "host/net/video_hello.h"
#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "platform/sim/test_card.h"
#include "tests/host/net/transport_fixture.h"
#include "tests/support/process.h"
#include "tests/viewer/png_check.h"
#include "viewer/pairing/pairing_session.h"

namespace sorvane {
namespace {

using test::eventually;
using Ev = test::RecordingSink::Event;

struct StreamProcess : test::TransportFixture {};

TEST_F(StreamProcess, DecodesTheCardMeasuresLatencyAndSendsInput) {
    start();
    // A viewer paired beforehand: its certificate, client id and host file.
    const std::string state = dir.file("viewer");
    std::string error;
    auto id = viewer::ViewerIdentity::load_or_create(state, *real_clock, error);
    ASSERT_TRUE(id) << error;
    ASSERT_TRUE(platform::write_file_atomic(state + "/client_id.txt", "phone-1\n", platform::FileAccess::owner_only).ok());
    PairingRecord rec;
    rec.client_id = "phone-1";
    rec.fingerprint = id->fingerprint();
    store.upsert(rec);
    viewer::KnownHost known;
    known.host_id = test::kTestHostId;
    known.fingerprint = identity.fingerprint();
    known.addresses = {"127.0.0.1"};
    known.control_port = transport->control_port();
    ASSERT_TRUE(viewer::save_known_host(state, known, error)) << error;

    const std::string h264 = dir.file("out.h264"), png = dir.file("last.png");
    test::Process viewer(test::bin_path("sorvane-viewer"),
                         {"stream", "127.0.0.1", "--state", state, "--seconds", "2.5", "--mode", "960x540@30", "--out",
                          h264, "--snapshot", png, "--tap", "0.75,0.5@0.6", "--key", "A@0.6"});
    ASSERT_TRUE(sink.wait_for(Ev::message, 1));
    const Ev conn = sink.of(Ev::connected)[0];
    const auto hs = proto::decode_control(sink.of(Ev::message)[0].type, sink.of(Ev::message)[0].bytes);
    ASSERT_TRUE(hs.ok());
    const auto& hello_msg = std::get<proto::Handshake>(hs.message);
    EXPECT_EQ(hello_msg.display_width, 960);
    EXPECT_EQ(hello_msg.max_hz, 30);

    std::array<uint8_t, 32> key{};
    key[3] = 77;
    std::mutex session_mutex;
    VideoHelloHandler hello(5, conn.peer, clock);
    hello.set_cipher(std::shared_ptr<VideoCipher>(VideoCipher::create(key.data())));
    hello.set_state(SessionState::AwaitHello);
    sink.set_hello_hook([&](const Endpoint& source, proto::ByteView d) {
        std::lock_guard<std::mutex> g(session_mutex);
        hello.handle_video_hello(source, d);
    });
    proto::HandshakeAck ack{0x0100, test::kTestHostId, true, std::nullopt, std::nullopt, 5u, std::nullopt};
    proto::SessionOpen open{5, transport->video_port(), transport->input_port(), "H264", 960, 540, 30,
                            std::string(key.begin(), key.end())};
    proto::Bytes out;
    ASSERT_TRUE(proto::encode_control(ack, out) && proto::encode_control(open, out));
    ASSERT_TRUE(transport->send_control(conn.conn_id, out));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> g(session_mutex);
        return hello.destination().has_value();
    }));

    auto port = platform::make_mft_port();
    platform::GpuDevice device;
    device.adapter = {0, "Sim GPU", 0x10DE, 0x42, false};
    MfEncoder enc(*port, clock, {true, false, 0});
    EncodeConfig cfg;
    cfg.width = 960;
    cfg.height = 540;
    cfg.fps = 30;
    cfg.device = &device;
    cfg.bitrate = 4'000'000;
    ASSERT_TRUE(enc.init(cfg)) << enc.last_error();
    const VideoSender send = hello.make_sender(*transport);
    auto cipher = VideoCipher::create(key.data());
    FrameSealer sealer;
    platform::CpuTexture card;
    std::vector<sim::Mark> marks;
    // Frames until the viewer closes the session (bounded).
    bool closed = false;
    for (uint32_t seq = 1; seq <= 300 && !closed; ++seq) {
        for (const Ev& e : sink.of(Ev::input)) {
            if (e.type != proto::TouchFrame::kType || !marks.empty()) continue;
            const auto m = proto::decode_input(e.type, e.bytes);
            ASSERT_TRUE(m.ok());
            const auto& touch = std::get<proto::TouchFrame>(m.message);
            if (touch.points.size() == 1 && touch.points[0].phase == proto::kTouchDown)
                marks.push_back({static_cast<int32_t>(touch.points[0].x * 960), static_cast<int32_t>(touch.points[0].y * 540),
                                 sim::kMarkMagenta});
        }
        sim::compose_test_card(960, 540, real_clock->now_ms(), marks, card);
        ASSERT_TRUE(enc.copy_input(&card));
        EncodedFrame f;
        ASSERT_TRUE(enc.encode_frame(f)) << enc.last_error();
        uint32_t sent = 0;
        ASSERT_EQ(sealer.send_frame(*cipher, 5, seq, real_clock->now_ms(), f.keyframe,
                                    proto::ByteView(f.data, f.size), send, sent),
                  FrameSealer::Result::sent);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        for (const Ev& e : sink.of(Ev::message))
            if (e.type == proto::SessionClose::kType) closed = true;
    }
    EXPECT_TRUE(closed) << "the viewer did not close its session";
    EXPECT_EQ(viewer.wait(std::chrono::seconds(30)), 0) << viewer.out() << viewer.err();
    const std::string text = viewer.out();
    EXPECT_NE(text.find("  first frame: "), std::string::npos) << text;
    EXPECT_NE(text.find(", lost 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  latency (frame time to decoded): p50 "), std::string::npos) << text;
    EXPECT_NE(text.find("  end: closed by the viewer"), std::string::npos) << text;
    ASSERT_FALSE(marks.empty()) << "no tap arrived";
    EXPECT_NEAR(marks[0].x, 720, 1);
    bool key_down = false;
    for (const Ev& e : sink.of(Ev::input)) {
        const auto m = proto::decode_input(e.type, e.bytes);
        if (m.ok() && std::holds_alternative<proto::KeyEvent>(m.message)) {
            const auto& k = std::get<proto::KeyEvent>(m.message);
            key_down = key_down || (k.down && k.hid_usage == 0x04 && k.session_id == 5);
        }
    }
    EXPECT_TRUE(key_down);
    // The stream file holds the access units; the PNG the last picture, mark included.
    EXPECT_GT(test::read_all(h264).size(), 1000u);
    const std::string bytes = test::read_all(png);
    viewer::RgbImage pic;
    ASSERT_TRUE(test::decode_png(std::vector<uint8_t>(bytes.begin(), bytes.end()), pic));
    ASSERT_EQ(pic.width, 960u);
    ASSERT_EQ(pic.height, 540u);
    const uint8_t* mark = &pic.pixels[(270 * 960 + 720) * 3];
    EXPECT_GT(mark[0], 200);
    EXPECT_LT(mark[1], 60);
    EXPECT_GT(mark[2], 200);
}

}  // namespace
}  // namespace sorvane
