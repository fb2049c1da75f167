// Frames written by hand from the message tables, then a round trip of every
// message type through the encoder, the frame reader and the decoder.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "host/protocol/pairing_messages.h"
#include "tests/host/protocol/samples.h"
#include "tests/host/protocol/wire_test_util.h"

namespace sorvane::proto {
namespace {

using test::hex;
using test::split_frame;
using test::control_samples;
using test::full_handshake;
using test::input_samples;
using test::pairing_samples;

template <class M>
Bytes encoded(const M& m) {
    Bytes out;
    EXPECT_TRUE(encode_message(m, out));
    return out;
}

TEST(GoldenFrames, HandshakeWithAllTenTailFields) {
    const Bytes golden = hex(
        "00 00 00 48 01"              // L = 72, Handshake
        "01 00"                       // protocol 0x0100
        "00 04 64 65 76 31"           // client_id "dev1"
        "01 00 05 00 03 54 61 62"     // 1 client_name "Tab"
        "02 00 0b 00 02 00 04 48 32 36 34 00 01 58"  // 2 caps ["H264","X"]
        "03 00 02 09 60"              // 3 display_width 2400
        "04 00 02 04 38"              // 4 display_height 1080
        "05 00 03 00 01 74"           // 5 auth_token "t"
        "06 00 02 00 96"              // 6 width_mm 150
        "07 00 02 00 46"              // 7 height_mm 70
        "08 00 02 00 78"              // 8 max_hz 120
        "09 00 02 00 2d"              // 9 reconnect_wait_s 45
        "0a 00 02 01 00");            // 10 min_protocol 0x0100
    EXPECT_EQ(encoded(full_handshake()), golden);

    const auto f = split_frame(golden);
    const auto d = decode_control(f.type, f.payload);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(std::get<Handshake>(d.message), full_handshake());
}

TEST(GoldenFrames, HandshakeAck) {
    HandshakeAck ack;
    ack.protocol = 0x0100;
    ack.host_id = "H1";
    ack.accepted = true;
    ack.host_name = "PC";
    ack.session_id = 7;
    ack.min_protocol = 0x0100;
    const Bytes golden = hex(
        "00 00 00 1b 02"
        "01 00 00 02 48 31 01"
        "01 00 04 00 02 50 43"     // 1 host_name "PC"
        "03 00 04 00 00 00 07"     // 3 session_id 7 (no reason)
        "04 00 02 01 00");         // 4 min_protocol
    EXPECT_EQ(encoded(ack), golden);
    const auto f = split_frame(golden);
    const auto d = decode_control(f.type, f.payload);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(std::get<HandshakeAck>(d.message), ack);
    EXPECT_FALSE(std::get<HandshakeAck>(d.message).reason.has_value());
}

TEST(GoldenFrames, SessionOpenWithItsKey) {
    SessionOpen open;
    open.session_id = 1;
    open.video_port = 47001;
    open.input_port = 47002;
    open.codec = "H264";
    open.width = 1920;
    open.height = 1080;
    open.fps = 60;
    std::string key;
    for (int i = 0; i < 32; ++i) key.push_back(static_cast<char>(i));
    open.video_key = key;
    const Bytes golden = hex(
        "00 00 00 39 03"
        "00 00 00 01 b7 99 b7 9a 00 04 48 32 36 34 07 80 04 38 3c"
        "01 00 22 00 20"
        "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f"
        "10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f");
    EXPECT_EQ(encoded(open), golden);
    const auto f = split_frame(golden);
    const auto d = decode_control(f.type, f.payload);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(std::get<SessionOpen>(d.message), open);
}

TEST(GoldenFrames, TouchFrameWithTwoPoints) {
    TouchFrame t;
    t.session_id = 1;
    t.time = 1000;
    t.points = {TouchPoint{0, kTouchDown, 0.5f, 0.25f}, TouchPoint{1, kTouchMove, 1.0f, 0.0f}};
    const Bytes golden = hex(
        "00 00 00 22 06"
        "00 00 00 01 00 00 00 00 00 00 03 e8 02"
        "00 00 3f 00 00 00 3e 80 00 00"
        "01 01 3f 80 00 00 00 00 00 00");
    EXPECT_EQ(encoded(t), golden);
    const auto f = split_frame(golden);
    const auto d = decode_input(f.type, f.payload);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(std::get<TouchFrame>(d.message), t);
}

TEST(GoldenFrames, PairRequest) {
    const PairRequest req{"c1", "abcd", "Phone"};
    const Bytes golden = hex(
        "00 00 00 15 01"
        "00 02 63 31 00 04 61 62 63 64"
        "01 00 07 00 05 50 68 6f 6e 65");
    EXPECT_EQ(encoded(req), golden);
    const auto f = split_frame(golden);
    const auto d = decode_pairing(f.type, f.payload);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(std::get<PairRequest>(d.message), req);
}

template <class Variant, class Decode>
void expect_round_trip(const std::vector<Variant>& samples, Decode decode) {
    Bytes stream;
    for (const Variant& m : samples) {
        ASSERT_TRUE(std::visit([&](const auto& x) { return encode_message(x, stream); }, m));
    }
    FrameReader reader;
    reader.append(stream);
    for (const Variant& m : samples) {
        const auto r = reader.next();
        ASSERT_EQ(r.status, FrameReader::Status::frame);
        const auto d = decode(r.type, r.payload);
        ASSERT_TRUE(d.ok()) << "type " << int(r.type);
        EXPECT_TRUE(d.message == m) << "type " << int(r.type);
    }
    EXPECT_EQ(reader.next().status, FrameReader::Status::need_more);
}

TEST(RoundTrip, EveryControlMessage) {
    const auto samples = control_samples();
    std::set<uint8_t> types;
    for (const auto& m : samples) types.insert(message_type(m));
    EXPECT_EQ(types.size(), 13u);
    expect_round_trip(samples, decode_control);
    // The variant-level encoder agrees with the per-message one.
    for (const auto& m : samples) {
        Bytes a, b;
        ASSERT_TRUE(encode_control(m, a));
        std::visit([&](const auto& x) { encode_message(x, b); }, m);
        EXPECT_EQ(a, b);
        EXPECT_EQ(control_type_name(message_type(m)), message_name(m));
    }
}

TEST(RoundTrip, EveryInputMessage) {
    const auto samples = input_samples();
    std::set<uint8_t> types;
    for (const auto& m : samples) types.insert(message_type(m));
    EXPECT_EQ(types, (std::set<uint8_t>{1, 2, 3, 4, 6, 7, 8, 9}));
    expect_round_trip(samples, decode_input);
    for (const auto& m : samples) EXPECT_EQ(session_id_of(m), 5u);
}

TEST(RoundTrip, PairingMessages) {
    expect_round_trip(pairing_samples(), decode_pairing);
}

TEST(RoundTrip, UnknownTypes) {
    const Bytes empty;
    for (int t : {0, 14, 255}) EXPECT_EQ(decode_control(uint8_t(t), empty).status, DecodeStatus::unknown);
    for (int t : {0, 5, 10, 255}) EXPECT_EQ(decode_input(uint8_t(t), empty).status, DecodeStatus::unknown);
    for (int t : {0, 3}) EXPECT_EQ(decode_pairing(uint8_t(t), empty).status, DecodeStatus::unknown);
    EXPECT_EQ(control_type_name(14), "");
    EXPECT_EQ(input_type_name(5), "");
}

}  // namespace
}  // namespace sorvane::proto
