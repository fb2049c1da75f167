// The encoder over the Linux transform, checked by an independent decoder:
// test-card frames go in, libavcodec decodes what comes out, one picture per
// access unit with no reordering delay, and the decoded colour bars and
// frame-time barcode match what the card drew.
#include <gtest/gtest.h>

#include <cstdlib>

#include "host/media/mf_encoder.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/test_card.h"
#include "tests/host/media/h264_decoder.h"
#include "tests/host/media/media_test_util.h"

namespace sorvane {
namespace {

using Decoder = test::H264Decoder;

struct Yuv {
    int y, u, v;
};

Yuv studio(sim::Rgb c) {
    return {((16 * c.b + 157 * c.g + 47 * c.r + 128) >> 8) + 16, ((112 * c.b - 87 * c.g - 26 * c.r + 128) >> 8) + 128,
            ((112 * c.r - 102 * c.g - 10 * c.b + 128) >> 8) + 128};
}

TEST(X264Encoder, DecodedTestCardMatchesBarsAndBarcode) {
    test::MediaLog log;
    sim::ManualClock clock;
    auto port = platform::make_mft_port();
    platform::GpuDevice device;
    device.adapter = {0, "Sim GPU", 0x10DE, 0x42, false};
    MfEncoder enc(*port, clock, {true, false, 0});
    const uint32_t w = 1280, h = 720;
    EncodeConfig cfg;
    cfg.width = w;
    cfg.height = h;
    cfg.fps = 60;
    cfg.device = &device;
    cfg.bitrate = 20'000'000;
    ASSERT_TRUE(enc.init(cfg)) << enc.last_error();
    EXPECT_TRUE(enc.cpu_convert());
    EXPECT_EQ(enc.info().name, "Media Foundation (Sorvane H.264 Encoder MFT (libx264))");
    EXPECT_TRUE(log.has("[encoder] MF GOP size read back: 2147483647"));

    Decoder dec;
    ASSERT_TRUE(dec.ok());
    platform::CpuTexture card;
    const std::vector<sim::Mark> marks = {{900, 300, sim::kMarkMagenta}};
    int keyframes = 0;
    for (int i = 0; i < 12; ++i) {
        const uint64_t t = 1'765'000'000'000ull + 16 * i + (i * 7919 % 13);
        sim::compose_test_card(w, h, t, marks, card);
        if (i == 7) enc.request_keyframe();
        ASSERT_TRUE(enc.copy_input(&card));
        EncodedFrame out;
        ASSERT_TRUE(enc.encode_frame(out)) << enc.last_error();
        ASSERT_GT(out.size, 0u) << i;
        EXPECT_EQ(out.keyframe, i == 0 || i == 7) << i;
        keyframes += out.keyframe ? 1 : 0;
        ASSERT_TRUE(dec.decode(out.data, out.size)) << "no picture at once for frame " << i;
        const AVFrame& f = dec.frame();
        ASSERT_EQ(f.width, static_cast<int>(w));
        ASSERT_EQ(f.height, static_cast<int>(h));
        uint64_t back = 0;
        ASSERT_TRUE(sim::read_test_card_barcode_luma(f.data[0], static_cast<size_t>(f.linesize[0]), w, h, back));
        EXPECT_EQ(back, t) << i;
        // Bars: the centre of each bar, halfway down the bar rows, within 6 levels.
        const uint32_t row = (48 + 2 * h / 3) / 2;
        for (uint32_t k = 0; k < 8; ++k) {
            uint32_t x = (k * w / 8 + (k + 1) * w / 8) / 2;
            Yuv want = studio(sim::kTestCardBars[k]);
            EXPECT_NEAR(f.data[0][row * f.linesize[0] + x], want.y, 6) << "bar " << k << " frame " << i;
            EXPECT_NEAR(f.data[1][row / 2 * f.linesize[1] + x / 2], want.u, 6) << "bar " << k;
            EXPECT_NEAR(f.data[2][row / 2 * f.linesize[2] + x / 2], want.v, 6) << "bar " << k;
        }
        // The mark: magenta in the middle of its square.
        Yuv mark = studio(sim::kMarkMagenta);
        EXPECT_NEAR(f.data[0][300 * f.linesize[0] + 900], mark.y, 10);
        // Colour description as rewritten: BT.709, limited range.
        EXPECT_EQ(f.colorspace, AVCOL_SPC_BT709);
        EXPECT_EQ(f.color_range, AVCOL_RANGE_MPEG);
    }
    EXPECT_EQ(keyframes, 2);
    EXPECT_NE(enc.stage_summary().find("mft avg"), std::string::npos);
}

}  // namespace
}  // namespace sorvane
