// The viewer's control client against frames made with the host's codec.

#include <gtest/gtest.h>

#include "host/protocol/control_messages.h"
#include "host/protocol/reasons.h"
#include "tests/host/protocol/wire_test_util.h"
#include "viewer/protocol/control_client.h"
#include "viewer/protocol/input_writer.h"
#include "viewer/protocol/pairing_client.h"
#include "viewer/protocol/raw_frame.h"

namespace sorvane::viewer {
namespace {

using namespace proto;
using Kind = ClientEvent::Kind;

// Decodes every frame the client queued.
std::vector<ControlMessage> sent(ControlClient& client) {
    std::vector<ControlMessage> out;
    FrameReader reader;
    reader.append(client.take_output());
    for (;;) {
        const auto r = reader.next();
        if (r.status != FrameReader::Status::frame) break;
        auto d = decode_control(r.type, r.payload);
        EXPECT_TRUE(d.ok());
        out.push_back(std::move(d.message));
    }
    return out;
}

Bytes frames(std::initializer_list<ControlMessage> messages) {
    Bytes out;
    for (const auto& m : messages) EXPECT_TRUE(encode_control(m, out));
    return out;
}

std::vector<Kind> kinds(const std::vector<ClientEvent>& events) {
    std::vector<Kind> k;
    for (const auto& e : events) k.push_back(e.kind);
    return k;
}

TEST(ControlClient, HandshakeToActiveSessionWithHeartbeats) {
    Handshake hello = default_handshake("tab-1");
    hello.display_width = 2000;
    hello.reconnect_wait_s = 60;
    ControlClient client(hello);
    ASSERT_TRUE(client.start(1'000));
    EXPECT_FALSE(client.start(1'000));
    auto out = sent(client);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(std::get<Handshake>(out[0]), hello);
    EXPECT_EQ(std::get<Handshake>(out[0]).caps, std::vector<std::string>{"H264"});
    EXPECT_EQ(client.state(), ClientState::awaiting_ack);

    // Nothing to heartbeat before the host accepts.
    client.tick(10'000);
    EXPECT_TRUE(client.output().empty());

    const std::string key(32, '\x5A');
    const Bytes in = frames({HandshakeAck{0x0100, "host", true, "PC", std::nullopt, 4, 0x0100},
                             SessionOpen{4, 47001, 47002, "H264", 2000, 1200, 60, key}});
    std::vector<ClientEvent> events;
    // Split in the middle of the second frame.
    client.receive(ByteView(in).first(in.size() - 10), 1'100, events);
    client.receive(ByteView(in).last(10), 1'100, events);
    EXPECT_EQ(kinds(events), (std::vector<Kind>{Kind::accepted, Kind::session_open}));
    EXPECT_EQ(client.state(), ClientState::session_offered);
    EXPECT_EQ(client.session_id(), 4u);
    EXPECT_EQ(client.negotiated_protocol(), 0x0100);
    ASSERT_TRUE(client.session());
    EXPECT_EQ(client.session()->video_key, key);

    ASSERT_TRUE(client.acknowledge_session(true));
    EXPECT_EQ(client.state(), ClientState::active);
    out = sent(client);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(std::get<SessionOpenAck>(out[0]), (SessionOpenAck{4, true}));

    // The host's Heartbeat is answered at once, echoing its time stamp.
    events.clear();
    client.receive(frames({Heartbeat{4, 777}}), 2'000, events);
    EXPECT_EQ(kinds(events), std::vector<Kind>{Kind::heartbeat});
    out = sent(client);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(std::get<HeartbeatAck>(out[0]), (HeartbeatAck{4, 2'000, uint64_t{777}}));

    // Our own heartbeats: every 2 s from the Handshake, with the RTT from the echo.
    client.tick(2'999);
    EXPECT_TRUE(client.output().empty());
    client.tick(3'000);
    out = sent(client);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(std::get<Heartbeat>(out[0]), (Heartbeat{4, 3'000}));
    events.clear();
    client.receive(frames({HeartbeatAck{4, 50, uint64_t{3'000}}}), 3'042, events);
    ASSERT_EQ(kinds(events), std::vector<Kind>{Kind::heartbeat_ack});
    EXPECT_EQ(events[0].rtt_ms, 42u);

    // Rate changes update the stream description.
    events.clear();
    client.receive(frames({ResolutionChange{4, 2000, 1200, uint8_t{30}}, InputNotice{4, "caps lock"}}), 3'100,
                   events);
    EXPECT_EQ(kinds(events), (std::vector<Kind>{Kind::resolution_change, Kind::input_notice}));
    EXPECT_EQ(client.session()->fps, 30);

    ASSERT_TRUE(client.request_keyframe(12));
    ASSERT_TRUE(client.request_rate(30, "thermal"));
    ASSERT_TRUE(client.open_host_settings("display"));
    ASSERT_TRUE(client.close("decoder_failed: test"));
    out = sent(client);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(std::get<KeyframeRequest>(out[0]).last_complete_frame_seq, 12u);
    EXPECT_EQ(std::get<RateRequest>(out[1]).fps, 30);
    EXPECT_EQ(std::get<OpenHostSettings>(out[2]).page, "display");
    EXPECT_EQ(std::get<SessionClose>(out[3]), (SessionClose{4, "decoder_failed: test"}));
    EXPECT_EQ(client.state(), ClientState::closed);
    client.tick(100'000);
    EXPECT_TRUE(client.output().empty());
}

TEST(ControlClient, RejectionUnexpectedAndBrokenInput) {
    ControlClient client(default_handshake("tab-1"));
    ASSERT_TRUE(client.start(0));
    client.take_output();
    std::vector<ClientEvent> events;
    // A SessionOpen before acceptance, an unknown type and a malformed ack are
    // reported and change nothing.
    Bytes in = frames({SessionOpen{1, 1, 2, "H264", 1, 1, 1, std::nullopt}});
    const Bytes unknown = RawPayload().u8(1).frame(200);
    const Bytes broken = RawPayload().u16(1).str("h").u8(9).frame(HandshakeAck::kType);
    in.insert(in.end(), unknown.begin(), unknown.end());
    in.insert(in.end(), broken.begin(), broken.end());
    client.receive(in, 0, events);
    EXPECT_EQ(kinds(events), (std::vector<Kind>{Kind::unexpected, Kind::unknown_type, Kind::malformed}));
    EXPECT_EQ(events[1].type, 200);
    EXPECT_EQ(client.state(), ClientState::awaiting_ack);

    events.clear();
    client.receive(frames({HandshakeAck{0x0100, "h", false, std::nullopt, std::string(kReasonHostOutdated), {}, 0x0100}}),
                   0, events);
    ASSERT_EQ(kinds(events), std::vector<Kind>{Kind::rejected});
    EXPECT_EQ(std::get<HandshakeAck>(*events[0].message).reason, kReasonHostOutdated);
    EXPECT_EQ(client.state(), ClientState::closed);
    EXPECT_FALSE(client.acknowledge_session(true));

    ControlClient other(default_handshake("x"));
    other.start(0);
    events.clear();
    other.receive(oversized_length_frame(2), 0, events);
    EXPECT_EQ(kinds(events), std::vector<Kind>{Kind::invalid_stream});
    EXPECT_EQ(other.state(), ClientState::closed);
    events.clear();
    other.receive(frames({Heartbeat{1, 1}}), 0, events);
    EXPECT_TRUE(events.empty());
}

TEST(PairingExchange, OneRequestOneResult) {
    PairingExchange ex(PairRequest{"tab-1", "0123456789abcdef0123456789abcdef", "Tablet"});
    Bytes request;
    ASSERT_TRUE(ex.request_frame(request));
    const auto f = test::split_frame(request);
    const auto d = decode_pairing(f.type, f.payload);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(std::get<PairRequest>(d.message).client_name, "Tablet");

    Bytes reply;
    ASSERT_TRUE(encode_pairing(PairResult{true, "host-id", std::nullopt, "PC"}, reply));
    EXPECT_EQ(ex.receive(ByteView(reply).first(6)), PairingExchange::State::waiting);
    EXPECT_EQ(ex.receive(ByteView(reply).subspan(6)), PairingExchange::State::paired);
    EXPECT_EQ(ex.result()->host_name, "PC");

    PairingExchange refused(PairRequest{"a", "b", std::nullopt});
    reply.clear();
    encode_pairing(PairResult{false, "host-id", "invalid_or_expired_token", std::nullopt}, reply);
    EXPECT_EQ(refused.receive(reply), PairingExchange::State::refused);
    EXPECT_EQ(refused.result()->reason, "invalid_or_expired_token");

    PairingExchange broken(PairRequest{"a", "b", std::nullopt});
    EXPECT_EQ(broken.receive(RawPayload().u8(3).str("h").frame(PairResult::kType)), PairingExchange::State::failed);
    EXPECT_EQ(broken.error(), "malformed pairing message type 2");
    PairingExchange invalid(PairRequest{"a", "b", std::nullopt});
    EXPECT_EQ(invalid.receive(zero_length_frame()), PairingExchange::State::failed);
}

TEST(InputWriter, StampsTheSessionOnEveryMessage) {
    InputWriter writer(9);
    ASSERT_TRUE(writer.add(PointerMove{0, 0.5f, 0.5f, 1}));
    ASSERT_TRUE(writer.add(TouchFrame{123, 2, {TouchPoint{1, kTouchDown, 0.1f, 0.2f}}}));
    EXPECT_FALSE(writer.add(TextInput{0, std::string(70'000, 'a')}));
    FrameReader reader;
    reader.append(writer.take_output());
    int n = 0;
    for (auto r = reader.next(); r.status == FrameReader::Status::frame; r = reader.next(), ++n) {
        const auto d = decode_input(r.type, r.payload);
        ASSERT_TRUE(d.ok());
        EXPECT_EQ(session_id_of(d.message), 9u);
    }
    EXPECT_EQ(n, 2);
}

}  // namespace
}  // namespace sorvane::viewer
