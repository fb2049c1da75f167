// sorvane-viewer connect as a process against the transport on loopback.
#include <gtest/gtest.h>

#include "host/protocol/control_messages.h"
#include "tests/support/process.h"
#include "tests/viewer/host_side_session.h"

namespace sorvane {
namespace {

using test::eventually;
using Ev = test::RecordingSink::Event;

struct ConnectProcess : test::TransportFixture {
    std::vector<std::string> args(const std::string& state) {
        return {"connect",       "--state",        state,
                "--address",     "127.0.0.1",      "--port",
                std::to_string(transport->control_port()), "--fingerprint", to_hex(identity.fingerprint()),
                "--client-id",   "phone-1",        "--timeout-ms",
                "3000"};
    }
};

TEST_F(ConnectProcess, AnUnpairedViewerIsToldWhy) {
    start();
    const test::RunResult r = test::run(test::bin_path("sorvane-viewer"), args(dir.file("fresh-viewer")));
    EXPECT_EQ(r.code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("TLS established, host certificate matches the pinned fingerprint"), std::string::npos);
    EXPECT_NE(r.out.find("control: rejected {\"type\":\"HandshakeAck\",\"protocol\":256,\"host_id\":\"" +
                         test::kTestHostId + "\",\"accepted\":false,\"reason\":\"not_paired\"}"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("result: refused by the host: not_paired"), std::string::npos) << r.out;
}

TEST_F(ConnectProcess, APairedViewerStreamsUntilTheHostCloses) {
    start();
    // The viewer's identity as the command will load it, paired beforehand.
    const std::string state = dir.file("viewer");
    ASSERT_TRUE(test::paired_viewer_state(*this, state));

    std::vector<std::string> a = args(state);
    a.insert(a.end(), {"--duration-ms", "20000"});
    test::Process viewer(test::bin_path("sorvane-viewer"), a);
    ASSERT_TRUE(sink.wait_for(Ev::message, 1));  // the Handshake
    test::HostSideSession session(*this, 8, {9});
    ASSERT_TRUE(session.open(640, 360, 30));
    // The viewer opened its input connection too (a second authenticated connection).
    ASSERT_TRUE(viewer.wait_for_output("input 127.0.0.1:"));

    const VideoSender send = session.sender();
    auto cipher = session.cipher();
    FrameSealer sealer;
    for (uint32_t seq = 1; seq <= 20; ++seq) {
        uint32_t sent = 0;
        const proto::Bytes frame(seq * 1000, static_cast<uint8_t>(seq));
        ASSERT_EQ(sealer.send_frame(*cipher, 8, seq, real_clock->now_ms(), seq == 1, frame, send, sent),
                  FrameSealer::Result::sent);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    proto::Bytes out;
    ASSERT_TRUE(proto::encode_control(proto::SessionClose{8, std::string("host_disconnect")}, out));
    ASSERT_TRUE(transport->send_control(session.conn_id(), out));
    transport->close_connection(session.conn_id());

    EXPECT_EQ(viewer.wait(std::chrono::seconds(30)), 0) << viewer.out() << viewer.err();
    const std::string text = viewer.out();
    EXPECT_NE(text.find("session 8: SessionOpenAck sent; VideoHello from udp port"), std::string::npos) << text;
    EXPECT_NE(text.find("control: host_close {\"type\":\"SessionClose\",\"session_id\":8,\"reason\":\"host_disconnect\"}"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" frames=20 keyframes=1 bytes=210000 incomplete=0 missing=0 tag_failures=0"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("result: session 8 ended by the host"), std::string::npos) << text;
}

}  // namespace
}  // namespace sorvane
