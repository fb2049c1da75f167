// Fixed fields that break their encoding, and the encoder's limits.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/protocol/control_messages.h"
#include "host/protocol/input_messages.h"
#include "host/protocol/pairing_messages.h"
#include "host/protocol/wire_fields.h"
#include "viewer/protocol/raw_frame.h"

namespace sorvane::proto {
namespace {

using viewer::RawPayload;
using viewer::payload_of;

TEST(MalformedFixedFields, EveryPrefixOfAValidPayloadIsMalformed) {
    // Cutting anywhere inside the fixed fields (a string's count or body, a
    // number, a touch point) leaves too few bytes.
    const std::vector<std::pair<uint8_t, RawPayload>> control = {
        {Handshake::kType, payload_of(Handshake{0x0100, "client", {}, {}, {}, {}, {}, {}, {}, {}, {}, {}})},
        {SessionOpen::kType, payload_of(SessionOpen{1, 2, 3, "H264", 4, 5, 6, std::nullopt})},
        {OpenHostSettings::kType, payload_of(OpenHostSettings{1, "display"})},
    };
    for (const auto& [type, payload] : control) {
        ASSERT_TRUE(decode_control(type, payload.bytes()).ok());
        for (size_t n = 0; n < payload.size(); ++n) {
            const ByteView cut(payload.bytes().data(), n);
            EXPECT_EQ(decode_control(type, cut).status, DecodeStatus::malformed) << int(type) << " cut at " << n;
        }
    }
    TouchFrame touch{1, 2, {TouchPoint{1, 0, 0.5f, 0.5f}, TouchPoint{2, 1, 0.1f, 0.9f}}};
    const std::vector<std::pair<uint8_t, RawPayload>> input = {
        {TextInput::kType, payload_of(TextInput{1, "abc"})},
        {TouchFrame::kType, payload_of(touch)},
        {PointerMove::kType, payload_of(PointerMove{1, 0.5f, 0.5f, 3})},
    };
    for (const auto& [type, payload] : input) {
        ASSERT_TRUE(decode_input(type, payload.bytes()).ok());
        for (size_t n = 0; n < payload.size(); ++n) {
            const ByteView cut(payload.bytes().data(), n);
            EXPECT_EQ(decode_input(type, cut).status, DecodeStatus::malformed) << int(type) << " cut at " << n;
        }
    }
}

TEST(MalformedFixedFields, AnEmptyPayloadIsMalformedForEveryMessage) {
    const Bytes empty;
    for (uint8_t t = 1; t <= 13; ++t) EXPECT_EQ(decode_control(t, empty).status, DecodeStatus::malformed);
    for (uint8_t t : {1, 2, 3, 4, 6, 7, 8, 9}) EXPECT_EQ(decode_input(t, empty).status, DecodeStatus::malformed);
    for (uint8_t t : {1, 2}) EXPECT_EQ(decode_pairing(t, empty).status, DecodeStatus::malformed);
}

TEST(MalformedFixedFields, BoolsAcceptOnlyZeroAndOne) {
    const auto ack = [](uint8_t ready) {
        return decode_control(SessionOpenAck::kType, RawPayload().u32(1).u8(ready).bytes());
    };
    EXPECT_TRUE(ack(0).ok());
    EXPECT_TRUE(std::get<SessionOpenAck>(ack(1).message).ready);
    EXPECT_EQ(ack(2).status, DecodeStatus::malformed);
    EXPECT_EQ(ack(0xFF).status, DecodeStatus::malformed);

    EXPECT_EQ(decode_control(HandshakeAck::kType, RawPayload().u16(1).str("h").u8(2).bytes()).status,
              DecodeStatus::malformed);
    EXPECT_EQ(decode_input(ButtonEvent::kType, RawPayload().u32(1).u8(1).u8(7).f32(0).f32(0).bytes()).status,
              DecodeStatus::malformed);
    EXPECT_EQ(decode_input(KeyEvent::kType, RawPayload().u32(1).u32(4).u8(2).u8(0).bytes()).status,
              DecodeStatus::malformed);
    EXPECT_EQ(decode_input(MouseButton::kType, RawPayload().u32(1).u8(1).u8(0x80).bytes()).status,
              DecodeStatus::malformed);
    EXPECT_EQ(decode_pairing(PairResult::kType, RawPayload().u8(2).str("h").bytes()).status,
              DecodeStatus::malformed);
}

TEST(MalformedFixedFields, TouchCountsMustMatchThePointsPresent) {
    const auto frame = [](uint8_t count, int points) {
        RawPayload p = RawPayload().u32(1).u64(2).u8(count);
        for (int i = 0; i < points; ++i) p.u8(uint8_t(i)).u8(0).f32(0.5f).f32(0.5f);
        return decode_input(TouchFrame::kType, p.bytes());
    };
    EXPECT_EQ(frame(3, 2).status, DecodeStatus::malformed);
    EXPECT_EQ(frame(255, 0).status, DecodeStatus::malformed);
    const auto none = frame(0, 0);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(std::get<TouchFrame>(none.message).points.empty());
    // More points than counted: the rest is ignored, like any trailing bytes.
    const auto extra = frame(1, 2);
    ASSERT_TRUE(extra.ok());
    EXPECT_EQ(std::get<TouchFrame>(extra.message).points.size(), 1u);
}

TEST(MalformedFixedFields, StringCountsAreNeverTrusted) {
    EXPECT_EQ(decode_input(TextInput::kType, RawPayload().u32(1).str_claiming(0xFFFF, "abc").bytes()).status,
              DecodeStatus::malformed);
    EXPECT_EQ(decode_control(Handshake::kType, RawPayload().u16(1).str_claiming(4, "abc").bytes()).status,
              DecodeStatus::malformed);
}

TEST(MalformedFixedFields, ExtraBytesAfterFixedOnlyMessagesAreIgnored) {
    const auto d = decode_control(Heartbeat::kType, RawPayload().u32(4).u64(5).u32(0xFFFFFFFF).bytes());
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(std::get<Heartbeat>(d.message), (Heartbeat{4, 5}));
    EXPECT_TRUE(decode_input(RelativeMove::kType, RawPayload().u32(1).i16(-1).i16(1).raw("junk").bytes()).ok());
}

// A message that can outgrow a frame, to reach the frame limit.
struct Oversized {
    static constexpr uint8_t kType = 99;
    static constexpr std::string_view kName = "Oversized";
    std::vector<std::string> parts;
    template <class V, class M>
    static void fields(V& v, M& m) {
        v.field("parts", m.parts);
    }
};

TEST(EncoderLimits, AFailedEncodeLeavesTheBufferAsItWas) {
    const Bytes before = {1, 2, 3};
    const auto fails = [&](const auto& message) {
        Bytes out = before;
        const bool ok = encode_message(message, out);
        EXPECT_EQ(out, before);
        return !ok;
    };
    const std::string max(kMaxStringBytes, 'a');
    const std::string over(kMaxStringBytes + 1, 'a');

    EXPECT_TRUE(fails(TextInput{1, over}));
    EXPECT_TRUE(fails(InputNotice{1, over}));
    EXPECT_TRUE(fails(Handshake{1, "id", over, {}, {}, {}, {}, {}, {}, {}, {}, {}}));
    // A tail string of 65,534 bytes needs a 65,536-byte value.
    EXPECT_TRUE(fails(SessionClose{1, std::string(kMaxStringBytes - 1, 'r')}));
    // A list whose strings fit but whose value does not.
    EXPECT_TRUE(fails(Handshake{1, "id", {}, std::vector<std::string>(2, std::string(40'000, 'c')), {}, {}, {}, {},
                                {}, {}, {}, {}}));
    EXPECT_TRUE(fails(Oversized{std::vector<std::string>(17, std::string(65'000, 'x'))}));
    EXPECT_TRUE(fails(Oversized{std::vector<std::string>(65'536)}));

    // At the limits it works.
    Bytes out;
    EXPECT_TRUE(encode_message(TextInput{1, max}, out));
    EXPECT_TRUE(encode_message(SessionClose{1, std::string(kMaxStringBytes - 2, 'r')}, out));
    EXPECT_TRUE(encode_message(Oversized{std::vector<std::string>(16, std::string(65'000, 'x'))}, out));
}

TEST(EncoderLimits, AtTheFrameLimitExactly) {
    // L = type (1) + count (2) + 16 x (2 + n) = 1,048,576 when the strings sum to 1,048,541.
    std::vector<std::string> parts(16, std::string(kMaxStringBytes, 'x'));
    parts[15].resize(1'048'541 - 15 * kMaxStringBytes);
    Bytes out;
    ASSERT_TRUE(encode_message(Oversized{parts}, out));
    EXPECT_EQ(load_u32(out.data()), kMaxFrameLength);
    parts[15].push_back('x');
    out.clear();
    EXPECT_FALSE(encode_message(Oversized{parts}, out));
    EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace sorvane::proto
