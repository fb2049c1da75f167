// sorvane-viewer stream as a process against a small host made of the real
// transport: it answers the Handshake, sends x264-encoded test-card frames
// sealed with the host's video cipher, and draws a mark where the viewer's
// tap lands. The viewer decodes, reads the latency off the barcode, sends
// the key, writes the stream and a PNG, and closes the session itself.
#include <gtest/gtest.h>

#include <atomic>

#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "platform/sim/test_card.h"
#include "tests/support/process.h"
#include "tests/viewer/card_encoder.h"
#include "tests/viewer/host_side_session.h"
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
    ASSERT_TRUE(test::paired_viewer_state(*this, state));
    ASSERT_TRUE(platform::write_file_atomic(state + "/client_id.txt", "phone-1\n", platform::FileAccess::owner_only).ok());
    viewer::KnownHost known;
    known.host_id = test::kTestHostId;
    known.fingerprint = identity.fingerprint();
    known.addresses = {"127.0.0.1"};
    known.control_port = transport->control_port();
    std::string error;
    ASSERT_TRUE(viewer::save_known_host(state, known, error)) << error;

    const std::string h264 = dir.file("out.h264"), png = dir.file("last.png");
    test::Process viewer(test::bin_path("sorvane-viewer"),
                         {"stream", "127.0.0.1", "--state", state, "--seconds", "2.5", "--mode", "960x540@30", "--out",
                          h264, "--snapshot", png, "--tap", "0.75,0.5@0.6", "--key", "A@0.6"});
    ASSERT_TRUE(sink.wait_for(Ev::message, 1));
    const auto hs = proto::decode_control(sink.of(Ev::message)[0].type, sink.of(Ev::message)[0].bytes);
    ASSERT_TRUE(hs.ok());
    const auto& hello_msg = std::get<proto::Handshake>(hs.message);
    EXPECT_EQ(hello_msg.display_width, 960);
    EXPECT_EQ(hello_msg.max_hz, 30);
    test::HostSideSession session(*this, 5, {0, 0, 0, 77});
    ASSERT_TRUE(session.open(960, 540, 30));

    test::CardEncoder enc(clock);
    ASSERT_TRUE(enc.init(960, 540, 30, 4'000'000, error)) << error;
    const VideoSender send = session.sender();
    auto cipher = session.cipher();
    FrameSealer sealer;
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
        std::vector<uint8_t> unit;
        bool keyframe = false;
        ASSERT_TRUE(enc.encode(real_clock->now_ms(), marks, unit, keyframe, error)) << error;
        uint32_t sent = 0;
        ASSERT_EQ(sealer.send_frame(*cipher, 5, seq, real_clock->now_ms(), keyframe,
                                    proto::ByteView(unit.data(), unit.size()), send, sent),
                  FrameSealer::Result::sent);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        for (const Ev& e : sink.of(Ev::message))
            if (e.type == proto::SessionClose::kType) closed = true;
    }
    EXPECT_TRUE(closed) << "the viewer did not close its session";
    EXPECT_EQ(viewer.wait(std::chrono::seconds(30)), 0) << viewer.out() << viewer.err();
    const std::string text = viewer.out();
    std::fputs(text.c_str(), stdout);  // the summary, for the test log
    EXPECT_NE(text.find("  first frame: "), std::string::npos) << text;
    EXPECT_NE(text.find(", lost 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("  latency (frame time to decoded): p50 "), std::string::npos) << text;
    EXPECT_NE(text.find("  delivery (frame time to complete frame): p50 "), std::string::npos) << text;
    EXPECT_NE(text.find("  decoding (complete frame to picture): p50 "), std::string::npos) << text;
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
    // The address that answered is remembered for the next connection.
    ASSERT_TRUE(viewer::load_known_host(state, test::kTestHostId, known, error)) << error;
    EXPECT_EQ(known.last_address, "127.0.0.1");
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
