// Exp-Golomb codes, emulation prevention, NAL splitting and the SPS rewrite,
// on hand-made units and on the real SPS of the Linux encoder.
#include <gtest/gtest.h>

#include "host/media/h264_bits.h"
#include "host/media/h264_sps.h"
#include "host/media/mf_encoder.h"
#include "platform/mft.h"
#include "platform/sim/mft_scripted.h"
#include "platform/sim/manual_clock.h"

namespace sorvane::h264 {
namespace {

TEST(H264Bits, ExpGolombRoundTripAndKnownCodes) {
    struct Case {
        uint32_t value;
        const char* bits;
    } table[] = {{0, "1"}, {1, "010"}, {2, "011"}, {3, "00100"}, {7, "0001000"}, {254, "000000011111111"}};
    for (const Case& c : table) {
        BitWriter w;
        w.ue(c.value);
        std::string s;
        for (size_t i = 0; i < w.position(); ++i) s += ((w.bytes()[i / 8] >> (7 - i % 8)) & 1) ? '1' : '0';
        EXPECT_EQ(s, c.bits) << c.value;
    }
    BitWriter w;
    const int32_t signed_values[] = {0, 1, -1, 2, -2, 1000, -1000, 2147483647, -2147483647};
    for (int32_t v : signed_values) w.se(v);
    w.ue(0xFFFFFFFEu);
    w.bits(32, 0xDEADBEEF);
    w.trailing_bits();
    BitReader r(w.bytes());
    for (int32_t v : signed_values) EXPECT_EQ(r.se(), v);
    EXPECT_EQ(r.ue(), 0xFFFFFFFEu);
    EXPECT_EQ(r.bits(32), 0xDEADBEEFu);
    EXPECT_FALSE(r.failed());
    // A code longer than 32 bits or past the end fails instead of wrapping.
    const uint8_t zeros[5] = {0, 0, 0, 0, 0};
    BitReader bad(zeros);
    bad.ue();
    EXPECT_TRUE(bad.failed());
}

TEST(H264Bits, EmulationPreventionAndSplitting) {
    const std::vector<uint8_t> rbsp = {0x67, 0, 0, 0, 0, 0, 1, 0, 0, 2, 0, 0, 3, 0, 0, 4};
    const std::vector<uint8_t> escaped = {0x67, 0, 0, 3, 0, 0, 3, 0, 1, 0, 0, 3, 2, 0, 0, 3, 3, 0, 0, 4};
    EXPECT_EQ(escape(rbsp), escaped);
    EXPECT_EQ(unescape(escaped), rbsp);
    const std::vector<uint8_t> annexb = {0, 0, 0, 1, 0x67, 1, 0, 0, 1, 0x68, 2, 0, 0, 0, 0, 1, 0x65, 3};
    auto units = split_annexb(annexb);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].size(), 2u);
    EXPECT_EQ(units[1].size(), 2u);  // the zeros before a start code are not part of the unit
    EXPECT_EQ(units[2][0], 0x65);
    std::vector<std::span<const uint8_t>> out;
    const std::vector<uint8_t> prefixed = {0, 0, 0, 2, 0x67, 1, 0, 0, 0, 1, 0x68};
    ASSERT_TRUE(split_length_prefixed(prefixed, out));
    EXPECT_EQ(out.size(), 2u);
    const std::vector<uint8_t> overrun = {0, 0, 0, 9, 0x67, 1};
    EXPECT_FALSE(split_length_prefixed(overrun, out));
}

// The SPS the Linux encoder writes for a configuration.
std::vector<uint8_t> real_sps(uint32_t w, uint32_t h, uint32_t profile) {
    auto port = platform::make_mft_port();
    std::vector<platform::MftActivate> list = port->list_encoder_transforms(false, nullptr);
    std::unique_ptr<platform::IMftTransform> t;
    EXPECT_EQ(port->activate(list.at(0), t), 0);
    platform::MftVideoType out;
    out.h264 = true;
    out.width = w;
    out.height = h;
    out.fps_num = 60;
    out.avg_bitrate = 8'000'000;
    out.profile = profile;
    EXPECT_EQ(t->set_output_type(out), 0);
    platform::MftVideoType in = out;
    in.h264 = false;
    EXPECT_EQ(t->set_input_type(in), 0);
    EXPECT_EQ(t->process_message(platform::MftMessage::notify_begin_streaming), 0);
    std::vector<uint8_t> frame(w * h * 3 / 2, 128);
    platform::MftSample s{frame.data(), frame.size(), w, h, false, 0, 0};
    EXPECT_EQ(t->process_input(s), 0);
    std::vector<uint8_t> au;
    EXPECT_EQ(t->process_output(0, au), 0);
    std::vector<std::span<const uint8_t>> units;
    EXPECT_TRUE(split_length_prefixed(au, units));
    for (auto u : units) {
        if ((u[0] & 0x1F) == 7) return {u.begin(), u.end()};
    }
    ADD_FAILURE() << "no SPS in the first access unit";
    return {};
}

TEST(Sps, RealSpsParsesAndWritesBackByteForByte) {
    for (uint32_t profile : {66u, 77u, 100u}) {
        for (auto [w, h] : {std::pair{1920u, 1080u}, {1366u, 768u}, {64u, 48u}}) {
            std::vector<uint8_t> nal = real_sps(w, h, profile);
            Sps sps;
            ASSERT_TRUE(parse_sps(nal, sps)) << profile << " " << w;
            // The fastest preset writes constrained baseline unless High is asked for.
            EXPECT_EQ(sps.profile_idc, profile == 100 ? 100u : 66u);
            EXPECT_EQ(sps.width_mbs * 16 - (sps.crop_left + sps.crop_right) * 2, w);
            EXPECT_EQ(sps.height_map_units * 16 - (sps.crop_top + sps.crop_bottom) * 2, h);
            EXPECT_EQ(write_sps(sps), nal) << profile << " " << w << "x" << h;
        }
    }
}

TEST(Sps, RewriteAddsColourAndRestrictionAndKeepsWhatIsThere) {
    // Without a VUI: BT.709 limited range, no reordering, the restriction defaults.
    std::vector<uint8_t> plain = sim::make_test_sps(1280, 720, 3), out;
    ASSERT_TRUE(rewrite_sps(plain, out));
    Sps s;
    ASSERT_TRUE(parse_sps(out, s));
    EXPECT_TRUE(s.vui_present);
    EXPECT_TRUE(s.vui.video_signal_type_present);
    EXPECT_EQ(s.vui.video_format, 5u);
    EXPECT_FALSE(s.vui.video_full_range);
    EXPECT_EQ(s.vui.colour_primaries, 1u);
    EXPECT_EQ(s.vui.transfer_characteristics, 1u);
    EXPECT_EQ(s.vui.matrix_coefficients, 1u);
    EXPECT_TRUE(s.vui.bitstream_restriction);
    EXPECT_EQ(s.vui.max_num_reorder_frames, 0u);
    EXPECT_EQ(s.vui.max_dec_frame_buffering, 3u);
    EXPECT_EQ(s.vui.max_bytes_per_pic_denom, 2u);
    EXPECT_EQ(s.vui.log2_max_mv_length_vertical, 15u);
    EXPECT_EQ(s.width_mbs, 80u);
    // With a colour description and timing (the real encoder's SPS, given
    // full-range BT.601 here): those are kept, the restriction is forced.
    Sps real;
    ASSERT_TRUE(parse_sps(real_sps(1920, 1080, 100), real));
    real.vui_present = true;
    real.vui.video_signal_type_present = true;
    real.vui.video_full_range = true;
    real.vui.colour_description_present = true;
    real.vui.colour_primaries = 6;
    real.vui.transfer_characteristics = 6;
    real.vui.matrix_coefficients = 6;
    real.vui.bitstream_restriction = true;
    real.vui.max_num_reorder_frames = 2;
    real.vui.max_bytes_per_pic_denom = 0;
    std::vector<uint8_t> coloured = write_sps(real);
    ASSERT_TRUE(rewrite_sps(coloured, out));
    ASSERT_TRUE(parse_sps(out, s));
    EXPECT_TRUE(s.vui.video_full_range);
    EXPECT_EQ(s.vui.colour_primaries, 6u);
    EXPECT_EQ(s.vui.matrix_coefficients, 6u);
    EXPECT_EQ(s.vui.max_num_reorder_frames, 0u);
    EXPECT_EQ(s.vui.max_bytes_per_pic_denom, 0u);  // a present restriction keeps its other fields
    EXPECT_EQ(s.vui.timing_info_present, real.vui.timing_info_present);
    EXPECT_EQ(s.vui.time_scale, real.vui.time_scale);
    // Not an SPS, or cut short: no rewrite.
    EXPECT_FALSE(rewrite_sps(std::vector<uint8_t>{0x68, 1, 2, 3}, out));
    EXPECT_FALSE(rewrite_sps(std::span<const uint8_t>(plain.data(), 5), out));
}

}  // namespace
}  // namespace sorvane::h264
