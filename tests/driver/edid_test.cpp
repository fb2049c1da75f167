#include "driver/core/edid.h"

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

namespace sorvane::vdd {
namespace {

EdidInput input(uint32_t w, uint32_t h, uint32_t r, uint32_t serial = 0x12345678, uint32_t wmm = 0,
                uint32_t hmm = 0) {
    return EdidInput{"SVN", 1, serial, "Sorvane", w, h, r, wmm, hmm};
}

std::vector<uint8_t> edid_of(const EdidInput& in) {
    std::string detail;
    auto e = build_edid(in, detail);
    EXPECT_EQ(detail, "");
    EXPECT_EQ(e.size(), kEdidSize);
    return e;
}

unsigned block_sum(const std::vector<uint8_t>& e, size_t start) {
    return std::accumulate(e.begin() + static_cast<long>(start), e.begin() + static_cast<long>(start + 128), 0u) %
           256;
}

TEST(Timing, ReducedBlankingOfCommonModes) {
    Timing t;
    ASSERT_TRUE(compute_timing(1920, 1080, 60, t));
    EXPECT_EQ(t.v_blank, 31u);
    EXPECT_EQ(t.v_sync, 5u);
    EXPECT_EQ(t.pixel_clock_khz, 138500u);
    EXPECT_EQ(t.h_blank, 160u);
    EXPECT_EQ(t.h_front_porch, 48u);
    EXPECT_EQ(t.h_sync, 32u);
    EXPECT_EQ(t.v_front_porch, 3u);

    ASSERT_TRUE(compute_timing(2560, 1600, 60, t));
    EXPECT_EQ(t.v_sync, 6u);   // 16:10
    EXPECT_EQ(t.v_blank, 46u);  // floor(460 / 10.129) + 1
    EXPECT_EQ(t.pixel_clock_khz, 268500u);

    ASSERT_TRUE(compute_timing(3840, 2160, 60, t));
    EXPECT_EQ(t.v_blank, 62u);
    EXPECT_EQ(t.pixel_clock_khz, 533250u);
    EXPECT_FALSE(compute_timing(3840, 2160, 120, t));  // clock of 2622 * 250 kHz or more

    ASSERT_TRUE(compute_timing(1024, 768, 60, t));
    EXPECT_EQ(t.v_sync, 4u);
    ASSERT_TRUE(compute_timing(1280, 1024, 60, t));
    EXPECT_EQ(t.v_sync, 7u);
    ASSERT_TRUE(compute_timing(2000, 1000, 60, t));
    EXPECT_EQ(t.v_sync, 10u);
    ASSERT_TRUE(compute_timing(320, 320, 60, t));
    EXPECT_EQ(t.v_sync, 10u);
    EXPECT_EQ(t.v_blank, 19u);  // the vertical sync + 9 floor wins over floor(460 / line) + 1 = 10
}

TEST(Timing, RejectsModesWithoutTiming) {
    Timing t;
    EXPECT_FALSE(compute_timing(0, 1080, 60, t));
    EXPECT_FALSE(compute_timing(1920, 0, 60, t));
    EXPECT_FALSE(compute_timing(1920, 1080, 0, t));
    EXPECT_FALSE(compute_timing(4096, 1080, 60, t));
    EXPECT_FALSE(compute_timing(1920, 4096, 60, t));
    EXPECT_FALSE(compute_timing(1920, 1080, 2174, t));  // 1 s / refresh shorter than the 460 us blank
    EXPECT_FALSE(compute_timing(4095, 4095, 240, t));   // the clock's product needs 64 bits
    EXPECT_FALSE(compute_timing(1, 1, 1, t));           // clock rounds down to 0
}

TEST(ModeList, ScalesAndHalvedRates) {
    EXPECT_EQ(build_mode_list(1920, 1080, 60), (ModeList{{1920, 1080, 60},
                                                         {1920, 1080, 30},
                                                         {1440, 810, 60},
                                                         {1440, 810, 30},
                                                         {960, 540, 60},
                                                         {960, 540, 30}}));
    // Only the unscaled modes: 0.75 of 320 is below the smallest side.
    EXPECT_EQ(build_mode_list(320, 320, 60), (ModeList{{320, 320, 60}, {320, 320, 30}}));
    // A halved rate is dropped only below 12 Hz.
    EXPECT_EQ(build_mode_list(320, 320, 24), (ModeList{{320, 320, 24}, {320, 320, 12}}));
    EXPECT_EQ(build_mode_list(320, 320, 23), (ModeList{{320, 320, 23}}));
}

TEST(ModeList, HalvesRoundAwayFromZero) {
    // 2000 * 0.75 / 8 = 187.5 rounds to 188 (1504 wide, not 1496); 1504 * 1000 / 2000 / 2 = 376.
    EXPECT_EQ(build_mode_list(2000, 1000, 60), (ModeList{{2000, 1000, 60},
                                                         {2000, 1000, 30},
                                                         {1504, 752, 60},
                                                         {1504, 752, 30},
                                                         {1000, 500, 60},
                                                         {1000, 500, 30}}));
    // 480 * 484 / 640 / 2 = 181.5 rounds to 182: 364 high, not 362.
    EXPECT_EQ(build_mode_list(640, 484, 60),
              (ModeList{{640, 484, 60}, {640, 484, 30}, {480, 364, 60}, {480, 364, 30}}));
}

TEST(Edid, GoldenBaseBlockOf1080p) {
    const std::vector<uint8_t> expected = {
        0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,  // header
        0x4E, 0xCE, 0x01, 0x00, 0x78, 0x56, 0x34, 0x12,  // maker "SVN", product 1, serial
        0x01, 0x24, 0x01, 0x03, 0x80, 0x2C, 0x19, 0x78,  // week, year, 1.3, digital, 44 x 25 cm, gamma
        0x07, 0xEE, 0x95, 0xA3, 0x54, 0x4C, 0x99, 0x26, 0x0F, 0x50, 0x54,  // features, chromaticity
        0x00, 0x00, 0x00,                                                  // established timings
        0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01,
        // detailed timing
        0x1A, 0x36, 0x80, 0xA0, 0x70, 0x38, 0x1F, 0x40, 0x30, 0x20, 0x35, 0x00, 0xBB, 0xF9, 0x10, 0x00, 0x00, 0x1A,
        // range limits
        0x00, 0x00, 0x00, 0xFD, 0x00, 0x0A, 0x3C, 0x0F, 0x44, 0x0E, 0x01, 0x0A, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
        // serial text "SV12345678"
        0x00, 0x00, 0x00, 0xFF, 0x00, 'S', 'V', '1', '2', '3', '4', '5', '6', '7', '8', 0x0A, 0x20, 0x20,
        // name "Sorvane"
        0x00, 0x00, 0x00, 0xFC, 0x00, 'S', 'o', 'r', 'v', 'a', 'n', 'e', 0x0A, 0x20, 0x20, 0x20, 0x20, 0x20,
        0x01, 0xBC};
    ASSERT_EQ(expected.size(), 128u);
    const auto e = edid_of(input(1920, 1080, 60));
    for (size_t i = 0; i < 128; ++i) EXPECT_EQ(e[i], expected[i]) << "byte " << i;
    EXPECT_EQ(block_sum(e, 0), 0u);
}

TEST(Edid, FixedExtensionBlock) {
    const auto e = edid_of(input(1920, 1080, 60));
    const std::vector<uint8_t> head = {0x02, 0x03, 0x20, 0x40, 0xE6, 0x06, 0x0D, 0x01, 0xA2, 0xA2, 0x10, 0xE3,
                                       0x05, 0xD8, 0x00, 0x67, 0xD8, 0x5D, 0xC4, 0x01, 0x6E, 0x80, 0x00, 0x68,
                                       0x03, 0x0C, 0x00, 0x00, 0x00, 0x30, 0x00, 0x0B};
    for (size_t i = 0; i < head.size(); ++i) EXPECT_EQ(e[128 + i], head[i]) << "byte " << 128 + i;
    for (size_t i = 160; i < 255; ++i) EXPECT_EQ(e[i], 0) << "byte " << i;
    EXPECT_EQ(e[255], 0x8C);
    // The extension is the same for every monitor.
    const auto other = edid_of(input(3840, 2160, 60, 0xDE0003, 600, 340));
    EXPECT_TRUE(std::equal(e.begin() + 128, e.end(), other.begin() + 128));
}

TEST(Edid, TimingFieldsOfLargerModes) {
    // 2560 x 1600 at 60: clock 268500 kHz, vertical blank 46, sync 6; 110 ppi gives 591 x 369 mm.
    auto e = edid_of(input(2560, 1600, 60, 7));
    EXPECT_EQ(e[54] | e[55] << 8, 26850);
    EXPECT_EQ(e[56], 0x00);
    EXPECT_EQ(e[57], 0xA0);
    EXPECT_EQ(e[58], 0xA0);  // 0xA00 active, 0x0A0 blank
    EXPECT_EQ(e[59], 0x40);
    EXPECT_EQ(e[60], 46);
    EXPECT_EQ(e[61], 0x60);
    EXPECT_EQ(e[64], 0x36);
    EXPECT_EQ(e[65], 0x00);
    EXPECT_EQ(e[66] | (e[68] >> 4) << 8, 591);
    EXPECT_EQ(e[67] | (e[68] & 0x0F) << 8, 369);
    EXPECT_EQ(e[21], 59);
    EXPECT_EQ(e[22], 37);
    EXPECT_EQ(e[78], 60);
    EXPECT_EQ(e[80], 100);  // ceil(1646 * 60 / 1000) + 1
    EXPECT_EQ(e[81], 27);   // ceil(268500 / 10000)
    EXPECT_EQ(block_sum(e, 0), 0u);
    EXPECT_EQ(block_sum(e, 128), 0u);

    // 3840 x 2160 at 60 with a given size of 600 x 340 mm.
    e = edid_of(input(3840, 2160, 60, 0xDE0001, 600, 340));
    EXPECT_EQ(e[54] | e[55] << 8, 53325);
    EXPECT_EQ(e[56], 0x00);
    EXPECT_EQ(e[58], 0xF0);  // 0xF00 active
    EXPECT_EQ(e[59], 0x70);
    EXPECT_EQ(e[60], 62);
    EXPECT_EQ(e[61], 0x80);  // 0x870 active
    EXPECT_EQ(e[64], 0x35);
    EXPECT_EQ(e[66], 600 & 0xFF);
    EXPECT_EQ(e[67], 340 & 0xFF);
    EXPECT_EQ(e[68], 0x21);
    EXPECT_EQ(e[21], 60);  // (600 + 5) / 10
    EXPECT_EQ(e[22], 34);
    EXPECT_EQ(e[80], 135);  // ceil(2222 * 60 / 1000) + 1
    EXPECT_EQ(e[81], 54);
    EXPECT_EQ(std::string(e.begin() + 95, e.begin() + 105), "SV00DE0001");
    EXPECT_EQ(block_sum(e, 0), 0u);

    // 3840 x 2160 at 120 has no timing.
    std::string detail;
    EXPECT_TRUE(build_edid(input(3840, 2160, 120), detail).empty());
    EXPECT_EQ(detail, "timing");
}

TEST(Edid, RefusesBadInputWithItsDetailWord) {
    const auto detail_of = [](EdidInput in) {
        std::string detail;
        EXPECT_TRUE(build_edid(in, detail).empty());
        return detail;
    };
    auto in = input(1920, 1080, 60);
    in.maker = "SvN";
    EXPECT_EQ(detail_of(in), "mfr");
    in.maker = "SVNX";
    EXPECT_EQ(detail_of(in), "mfr");
    in = input(1920, 1080, 60);
    in.name = "";
    EXPECT_EQ(detail_of(in), "name");
    in.name = "Fourteen chars";
    EXPECT_EQ(detail_of(in), "name");
    in.name = "tab\there";
    EXPECT_EQ(detail_of(in), "name");
    EXPECT_EQ(detail_of(input(1920, 1080, 60, 1, 300, 0)), "size_mm");
    EXPECT_EQ(detail_of(input(1920, 1080, 60, 1, 2551, 300)), "size_mm");
    // A 13-character name fills its field without a line feed.
    in = input(1920, 1080, 60);
    in.name = "Thirteen char";
    std::string detail;
    const auto e = build_edid(in, detail);
    ASSERT_EQ(e.size(), kEdidSize);
    EXPECT_EQ(std::string(e.begin() + 113, e.begin() + 126), "Thirteen char");
}

TEST(ModesFromDescription, RegisteredSerialGivesItsList) {
    const auto e = edid_of(input(1920, 1080, 60, 0xCAFE));
    uint32_t asked = 0;
    const ModeLookup lookup = [&](uint32_t serial, ModeList& out) {
        asked = serial;
        out = build_mode_list(1920, 1080, 60);
        return true;
    };
    std::vector<std::string> lines;
    const LineLogger logger([&](std::string_view t) { lines.emplace_back(t); });
    EXPECT_EQ(modes_from_description(e.data(), e.size(), lookup, logger).size(), 6u);
    EXPECT_EQ(asked, 0xCAFEu);
    EXPECT_TRUE(lines.empty());
}

TEST(ModesFromDescription, UnknownSerialFallsBackToDetailedTiming) {
    const auto e = edid_of(input(1920, 1080, 60, 0xCAFE));
    const ModeLookup none = [](uint32_t, ModeList&) { return false; };
    std::vector<std::string> lines;
    const LineLogger logger([&](std::string_view t) { lines.emplace_back(t); });
    EXPECT_EQ(modes_from_description(e.data(), e.size(), none, logger), (ModeList{{1920, 1080, 60}}));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0],
              "ParseMonitorDescription: no registered monitor for EDID serial 0xcafe; using the EDID's detailed "
              "timing");
    // A 128-byte base block alone is enough.
    EXPECT_EQ(modes_from_description(e.data(), 128, none, logger).size(), 1u);
    EXPECT_TRUE(modes_from_description(e.data(), 127, none, logger).empty());
    EXPECT_TRUE(modes_from_description(nullptr, 256, none, logger).empty());
}

TEST(ModesFromDescription, UnusableTimingsGiveNoModes) {
    const ModeLookup none = [](uint32_t, ModeList&) { return false; };
    const LineLogger quiet;
    auto e = edid_of(input(1920, 1080, 60));
    auto zero_clock = e;
    zero_clock[54] = zero_clock[55] = 0;
    EXPECT_TRUE(modes_from_description(zero_clock.data(), 256, none, quiet).empty());
    auto zero_width = e;
    zero_width[56] = 0;
    zero_width[58] = 0x00;  // no active pixels, no blank
    EXPECT_TRUE(modes_from_description(zero_width.data(), 256, none, quiet).empty());
    // 10 kHz over a 4095 x 4095 active area with maximal blanks rounds to 0 Hz.
    auto slow = e;
    slow[54] = 1;
    slow[55] = 0;
    slow[56] = slow[57] = slow[59] = slow[60] = 0xFF;
    slow[58] = slow[61] = 0xFF;
    EXPECT_TRUE(modes_from_description(slow.data(), 256, none, quiet).empty());
    // The fastest clock over a 1 x 1 frame: a rate no signal description can carry.
    auto fast = e;
    fast[54] = fast[55] = 0xFF;
    fast[56] = 1;
    fast[57] = 0;
    fast[58] = 0;
    fast[59] = 1;
    fast[60] = 0;
    fast[61] = 0;
    EXPECT_TRUE(modes_from_description(fast.data(), 256, none, quiet).empty());
}

TEST(SignalInfo, MonitorAndTargetDescriptions) {
    const VideoSignalInfo m = monitor_signal_info(1920, 1080, 60);
    const uint32_t n = 1084u * 1084u * 60u + 1000u;
    EXPECT_EQ(m.pixel_rate, n);
    EXPECT_EQ(m.h_sync_freq, (Rational{n, 1084}));
    EXPECT_EQ(m.v_sync_freq, (Rational{n, 1084u * 1084u}));
    EXPECT_EQ(m.active_width, 1920u);
    EXPECT_EQ(m.active_height, 1080u);
    EXPECT_EQ(m.total_width, 1924u);
    EXPECT_EQ(m.total_height, 1084u);
    EXPECT_EQ(m.video_standard, 255u);
    EXPECT_EQ(m.vsync_freq_divider, 0u);
    EXPECT_EQ(m.scanline_ordering, kScanlineProgressive);
    // The largest allowed mode still fits the 32-bit rationals.
    EXPECT_TRUE(monitor_signal_fits(kMaxSide, kMaxRefresh));

    const VideoSignalInfo t = target_signal_info(3840, 2160, 240);
    EXPECT_EQ(t.pixel_rate, 3840ull * 2160ull * 240ull);  // beyond 32 bits
    EXPECT_EQ(t.h_sync_freq, (Rational{240u * 2160u, 1}));
    EXPECT_EQ(t.v_sync_freq, (Rational{240, 1}));
    EXPECT_EQ(t.total_width, 3840u);
    EXPECT_EQ(t.total_height, 2160u);
    EXPECT_EQ(t.vsync_freq_divider, 1u);
}

}  // namespace
}  // namespace sorvane::vdd
