// The JSON dump: names and shapes of the fields, and escaping of peer text.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tests/host/protocol/samples.h"
#include "tests/host/protocol/wire_test_util.h"
#include "viewer/protocol/frame_dump.h"
#include "viewer/protocol/json.h"
#include "viewer/protocol/raw_frame.h"

namespace sorvane::viewer {
namespace {

using namespace proto;

TEST(FrameDump, MessagesUseTheProtocolNames) {
    EXPECT_EQ(to_json(ControlMessage(test::full_handshake())),
              R"({"type":"Handshake","protocol":256,"client_id":"dev1","client_name":"Tab","caps":["H264","X"],)"
              R"("display_width":2400,"display_height":1080,"auth_token":"t","width_mm":150,"height_mm":70,)"
              R"("max_hz":120,"reconnect_wait_s":45,"min_protocol":256})");
    // Absent tail fields are left out.
    EXPECT_EQ(to_json(ControlMessage(HandshakeAck{0x0100, "h", false, std::nullopt, "not_paired", std::nullopt, 256})),
              R"({"type":"HandshakeAck","protocol":256,"host_id":"h","accepted":false,"reason":"not_paired",)"
              R"("min_protocol":256})");
    EXPECT_EQ(to_json(ControlMessage(SessionOpen{1, 47001, 47002, "H264", 1920, 1080, 60, std::string("\x00\xff\x10", 3)})),
              R"({"type":"SessionOpen","session_id":1,"video_port":47001,"input_port":47002,"codec":"H264",)"
              R"("width":1920,"height":1080,"fps":60,"video_key":"00ff10"})");
    EXPECT_EQ(to_json(ControlMessage(Heartbeat{1, 18446744073709551615ull})),
              R"({"type":"Heartbeat","session_id":1,"timestamp_ms":18446744073709551615})");
    EXPECT_EQ(to_json(InputMessage(TouchFrame{4, 9, {TouchPoint{3, kTouchUp, 0.5f, 0.1f}}})),
              R"({"type":"TouchFrame","session_id":4,"time":9,"count":1,)"
              R"("points":[{"pointer_id":3,"phase":2,"x":0.5,"y":0.1}]})");
    EXPECT_EQ(to_json(InputMessage(ScrollEvent{4, -3, 120, 10, 20})),
              R"({"type":"ScrollEvent","session_id":4,"dx":-3,"dy":120,"x":10,"y":20})");
    EXPECT_EQ(to_json(PairingMessage(PairResult{true, "h", std::nullopt, "PC"})),
              R"({"type":"PairResult","ok":true,"host_id":"h","host_name":"PC"})");
    EXPECT_EQ(to_json(PairingMessage(PairRequest{"c", "t", std::nullopt})),
              R"({"type":"PairRequest","client_id":"c","token":"t"})");
}

TEST(FrameDump, PeerTextIsEscapedIntoValidJson) {
    const std::string nasty = std::string("q\"b\\n\nt\tc\x01\x1f\x7f", 12) + "\xC3\xA7" /* ç */ +
                              "\xFF" /* invalid */ + "\xE2\x80\xA8" /* U+2028 */ + "\xC0\xAF" /* overlong */ +
                              "\xED\xA0\x80" /* surrogate */ + "\xF0\x9F\x98\x80" /* emoji */ + "\xE2\x82";
    std::string out;
    append_json_string(out, nasty);
    EXPECT_EQ(out,
              R"("q\"b\\n\nt\tc\u0001\u001f\u007f)"
              "\xC3\xA7"
              R"(\ufffd\u2028\ufffd\ufffd\ufffd\ufffd\ufffd)"
              "\xF0\x9F\x98\x80"
              R"(\ufffd\ufffd")");
    EXPECT_EQ(to_json(InputMessage(TextInput{1, "%s%n\"}{"})), R"({"type":"TextInput","session_id":1,"text":"%s%n\"}{"})");
}

TEST(FrameDump, FloatsThatJsonCannotCarryBecomeStrings) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(to_json(InputMessage(PointerMove{1, nan, -inf, 2})),
              R"({"type":"PointerMove","session_id":1,"x":"NaN","y":"-Infinity","time":2})");
    EXPECT_EQ(to_json(InputMessage(PointerMove{1, 1e-45f, 3.4028235e38f, 2})),
              R"({"type":"PointerMove","session_id":1,"x":1e-45,"y":3.4028235e+38,"time":2})");
}

TEST(FrameDump, MalformedAndUnknownFramesAreReported) {
    EXPECT_EQ(describe_frame(Connection::control, 4, RawPayload().u32(1).u8(2).bytes()),
              R"({"error":"malformed","type":"SessionOpenAck","type_byte":4})");
    EXPECT_EQ(describe_frame(Connection::control, 14, {}), R"({"error":"unknown_type","type_byte":14})");
    EXPECT_EQ(describe_frame(Connection::input, 5, {}), R"({"error":"unknown_type","type_byte":5})");
    // The same type byte means different messages on each connection.
    const Bytes p = RawPayload().u32(1).str("x").bytes();
    EXPECT_EQ(describe_frame(Connection::input, 7, p), R"({"type":"TextInput","session_id":1,"text":"x"})");
    EXPECT_EQ(describe_frame(Connection::control, 7, p), R"({"error":"malformed","type":"Heartbeat","type_byte":7})");
    EXPECT_EQ(describe_frame(Connection::pairing, 1, RawPayload().str("c").str("t").bytes()),
              R"({"type":"PairRequest","client_id":"c","token":"t"})");
}

TEST(FrameDump, StreamDumperLinesAndInvalidStreams) {
    Bytes stream;
    encode_control(Heartbeat{1, 2}, stream);
    encode_control(SessionClose{1, "bye"}, stream);
    StreamDumper dumper(Connection::control);
    std::string out;
    for (uint8_t b : stream) ASSERT_TRUE(dumper.feed(ByteView(&b, 1), out));
    EXPECT_EQ(out,
              "{\"type\":\"Heartbeat\",\"session_id\":1,\"timestamp_ms\":2}\n"
              "{\"type\":\"SessionClose\",\"session_id\":1,\"reason\":\"bye\"}\n");
    EXPECT_EQ(dumper.pending(), 0u);
    EXPECT_EQ(dumper.frames(), 2u);

    ASSERT_TRUE(dumper.feed(Bytes{0, 0}, out));
    EXPECT_EQ(dumper.pending(), 2u);
    EXPECT_FALSE(dumper.feed(Bytes{0, 0}, out));
    EXPECT_TRUE(dumper.invalid());
    EXPECT_EQ(dumper.invalid_length(), 0u);
}

}  // namespace
}  // namespace sorvane::viewer
