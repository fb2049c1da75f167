// The rules for tail fields, on Handshake (the message with the most of them)
// unless a rule concerns another kind of value.

#include <gtest/gtest.h>

#include "host/protocol/control_messages.h"
#include "host/protocol/pairing_messages.h"
#include "viewer/protocol/raw_frame.h"

namespace sorvane::proto {
namespace {

using viewer::RawPayload;

RawPayload handshake_fixed() { return RawPayload().u16(0x0100).str("dev"); }

Decoded<ControlMessage> decode_handshake(const RawPayload& p) { return decode_control(Handshake::kType, p.bytes()); }

const Handshake& as_handshake(const Decoded<ControlMessage>& d) { return std::get<Handshake>(d.message); }

TEST(TailRules, FirstOccurrenceOfATagWins) {
    const auto d = decode_handshake(handshake_fixed().tail_str(1, "first").tail_str(1, "second"));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(as_handshake(d).client_name, "first");

    // Even when the later duplicate would be malformed on its own.
    const auto d2 = decode_handshake(handshake_fixed().tail_u16(3, 800).tail_u32(3, 1));
    ASSERT_TRUE(d2.ok());
    EXPECT_EQ(as_handshake(d2).display_width, 800);
}

TEST(TailRules, WrongSizeForAFixedSizeTagMakesTheMessageMalformed) {
    EXPECT_EQ(decode_handshake(handshake_fixed().tail_u32(3, 800)).status, DecodeStatus::malformed);
    EXPECT_EQ(decode_handshake(handshake_fixed().tail_u8(10, 1)).status, DecodeStatus::malformed);
    EXPECT_EQ(decode_handshake(handshake_fixed().tail(6, RawPayload())).status, DecodeStatus::malformed);
    // uint8, uint32 and uint64 tails of other messages.
    EXPECT_EQ(decode_control(ResolutionChange::kType, RawPayload().u32(1).u16(2).u16(3).tail_u16(1, 30).bytes())
                  .status,
              DecodeStatus::malformed);
    EXPECT_EQ(decode_control(HandshakeAck::kType,
                             RawPayload().u16(1).str("h").u8(1).tail_u16(3, 7).bytes())
                  .status,
              DecodeStatus::malformed);
    EXPECT_EQ(decode_control(HeartbeatAck::kType, RawPayload().u32(1).u64(2).tail_u32(1, 3).bytes()).status,
              DecodeStatus::malformed);
    // The right sizes decode.
    const auto ok = decode_control(HeartbeatAck::kType, RawPayload().u32(1).u64(2).tail_u64(1, 3).bytes());
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(std::get<HeartbeatAck>(ok.message).echo_ms, 3u);
}

TEST(TailRules, UnknownTagsAreSkipped) {
    const auto d = decode_handshake(handshake_fixed()
                                        .tail(42, RawPayload().raw("any size at all"))
                                        .tail(0, RawPayload().u8(9))
                                        .tail(11, RawPayload())
                                        .tail(255, RawPayload().u32(1))
                                        .tail_u16(3, 1280));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(as_handshake(d).display_width, 1280);
    // Tails of messages that have none are never looked at.
    const auto beat = decode_control(Heartbeat::kType, RawPayload().u32(1).u64(2).tail_u32(1, 1).bytes());
    EXPECT_TRUE(beat.ok());
}

TEST(TailRules, ATailLengthRunningPastTheEndStopsTheScanButKeepsEarlierFields) {
    // Tag 4 and a duplicate tag 1 follow inside the overlong entry's claimed value.
    const RawPayload inner = RawPayload().tail_u16(4, 600).tail_str(1, "late");
    const auto d = decode_handshake(
        handshake_fixed().tail_str(1, "early").tail_u16(3, 800).tail_claiming(5, 200, inner));
    ASSERT_TRUE(d.ok());
    const Handshake& h = as_handshake(d);
    EXPECT_EQ(h.client_name, "early");
    EXPECT_EQ(h.display_width, 800);
    EXPECT_FALSE(h.auth_token.has_value());
    EXPECT_FALSE(h.display_height.has_value());
}

TEST(TailRules, StrayTrailingBytesAreIgnored) {
    for (const RawPayload& junk : {RawPayload().u8(3), RawPayload().u8(3).u8(0)}) {
        const auto d = decode_handshake(handshake_fixed().tail_u16(3, 640).raw(junk.bytes()));
        ASSERT_TRUE(d.ok());
        EXPECT_EQ(as_handshake(d).display_width, 640);
    }
    // A fixed-only payload with one or two extra bytes: too short to be an entry.
    EXPECT_TRUE(decode_handshake(handshake_fixed().raw({0x01, 0x00})).ok());
}

TEST(TailRules, StringValuesMustUseExactlyTheirBytes) {
    // Entry size one more than the string needs.
    EXPECT_EQ(decode_handshake(handshake_fixed().tail(1, RawPayload().str("ab").u8(0))).status,
              DecodeStatus::malformed);
    // Count larger than the entry.
    EXPECT_EQ(decode_handshake(handshake_fixed().tail(1, RawPayload().str_claiming(5, "ab"))).status,
              DecodeStatus::malformed);
    // Entry too small to hold the count.
    EXPECT_EQ(decode_handshake(handshake_fixed().tail(1, RawPayload().u8(0))).status, DecodeStatus::malformed);
    // An empty string is two bytes.
    const auto empty = decode_handshake(handshake_fixed().tail_str(1, ""));
    ASSERT_TRUE(empty.ok());
    EXPECT_EQ(as_handshake(empty).client_name, "");
}

TEST(TailRules, StringListsMustUseExactlyTheirBytes) {
    const auto ok = decode_handshake(handshake_fixed().tail(2, RawPayload().str_list({"H264", "", "VP9"})));
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(as_handshake(ok).caps, (std::vector<std::string>{"H264", "", "VP9"}));

    const auto empty = decode_handshake(handshake_fixed().tail(2, RawPayload().u16(0)));
    ASSERT_TRUE(empty.ok());
    ASSERT_TRUE(as_handshake(empty).caps.has_value());
    EXPECT_TRUE(as_handshake(empty).caps->empty());

    // Leftover bytes after the last string.
    EXPECT_EQ(decode_handshake(handshake_fixed().tail(2, RawPayload().str_list({"H264"}).u8(0))).status,
              DecodeStatus::malformed);
    // A count of strings larger than those present.
    EXPECT_EQ(decode_handshake(handshake_fixed().tail(2, RawPayload().u16(3).str("H264"))).status,
              DecodeStatus::malformed);
    // A string running past the entry, though the payload goes on.
    EXPECT_EQ(decode_handshake(handshake_fixed()
                                   .tail(2, RawPayload().u16(1).str_claiming(6, "H264"))
                                   .tail_u16(3, 0x4141))
                  .status,
              DecodeStatus::malformed);
}

TEST(TailRules, PairingMessagesFollowTheSameRules) {
    const auto d = decode_pairing(PairResult::kType, RawPayload()
                                                         .u8(1)
                                                         .str("host")
                                                         .tail_str(2, "PC")
                                                         .tail_str(2, "other")
                                                         .tail(9, RawPayload().u8(1))
                                                         .raw({0xFF})
                                                         .bytes());
    ASSERT_TRUE(d.ok());
    const auto& r = std::get<PairResult>(d.message);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.host_name, "PC");
    EXPECT_FALSE(r.reason.has_value());
    EXPECT_EQ(decode_pairing(PairRequest::kType, RawPayload().str("c").str("t").tail_u16(1, 5).bytes()).status,
              DecodeStatus::malformed);
}

}  // namespace
}  // namespace sorvane::proto
