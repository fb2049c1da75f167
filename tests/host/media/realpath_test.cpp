// The session video pipeline on the real path: the simulated desktop shows
// the test card through duplication, x264 encodes, the host's video cipher
// seals, and the reference viewer's own code opens and reassembles the
// datagrams before libavcodec decodes them. What the viewer sees must be
// the card of the frame time the header names, with the pointer on it.
#include <gtest/gtest.h>

#include <cstring>

#include "host/media/pipeline_capture.h"
#include "platform/sim/desktop.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/test_card.h"
#include "tests/host/media/h264_decoder.h"
#include "tests/host/media/media_test_util.h"
#include "tests/host/media/real_path.h"
#include "viewer/net/frame_assembler.h"

namespace sorvane {
namespace {

constexpr uint32_t kW = 960, kH = 540;  // wide enough for the barcode
constexpr uint32_t kSession = 9;
constexpr int32_t kPointerSize = 16;

// A white, opaque colour pointer of 16 x 16 pixels.
void set_white_pointer(sim::SimDesktop& desktop) {
    platform::PointerShapeInfo info;
    info.type = kPointerColor;
    info.width = info.height = kPointerSize;
    info.pitch = kPointerSize * 4;
    desktop.set_pointer_shape(info, std::vector<uint8_t>(kPointerSize * kPointerSize * 4, 0xFF));
}

// Luma of an RGB colour in studio range (BT.709, as the encoder signals).
int studio_luma(sim::Rgb c) { return ((16 * c.b + 157 * c.g + 47 * c.r + 128) >> 8) + 16; }

// The luma of a bar at its centre column, halfway down the bar rows.
int bar_luma_at_centre(const test::H264Decoder& dec, uint32_t k) {
    return dec.luma((k * kW / 8 + (k + 1) * kW / 8) / 2, (48 + 2 * kH / 3) / 2);
}

TEST(PipelineRealPath, ViewerDecodesTheCardItsHeaderNamesWithThePointerDrawn) {
    test::MediaLog log;
    sim::ManualClock clock;
    sim::SimDesktop desktop{clock};
    sim::SimDuplication dup{desktop};
    desktop.add_adapter({0, "Sim GPU", 0x10DE, 0x42, false});
    sim::SimDisplay display;
    display.target_id = 4;
    display.source_id = 1;
    display.gdi_name = "\\\\.\\DISPLAY2";
    display.device_id = "\\\\?\\DISPLAY#SVN0001#4";
    display.left = 1920;
    display.width = kW;
    display.height = kH;
    desktop.add_display(display);
    set_white_pointer(desktop);
    // In bar 5 (red), away from the barcode.
    desktop.set_pointer_position(display.left + 630, 150);

    auto mft = platform::make_mft_port();
    PipelineEnv env{clock, make_dxgi_capture_opener(dup), test::software_encoder_factory(*mft, clock)};
    VideoPipeline pipeline(env);
    PipelineConfig config;
    config.monitor.by_target = true;
    config.monitor.adapter_luid = 0x42;
    config.monitor.target_id = 4;
    config.fps = 60;
    config.bitrate = 4'000'000;
    config.session_id = kSession;
    std::string error;
    ASSERT_TRUE(pipeline.open(config, error)) << error;

    viewer::VideoKey key{};
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(0x31 * i + 5);
    std::shared_ptr<VideoCipher> cipher = VideoCipher::create(key.data());
    ASSERT_TRUE(cipher);
    pipeline.set_sealer(cipher_sealer(cipher));

    std::unique_ptr<viewer::VideoCrypto> crypto = viewer::VideoCrypto::create(key, error);
    ASSERT_TRUE(crypto) << error;
    viewer::AssemblerOptions options;
    options.session_id = kSession;
    viewer::FrameAssembler assembler(*crypto, options);
    std::vector<viewer::ReceivedFrame> frames;
    size_t datagrams = 0;
    pipeline.begin_inline([&](proto::ByteView d) {
        ++datagrams;
        EXPECT_LE(d.size(), 1400u);
        return assembler.feed(d.data(), d.size(), clock.now_ms(), frames);
    });

    auto run_ms = [&](uint64_t ms) {
        const uint64_t end = clock.now_ms() + ms;
        while (clock.now_ms() < end && pipeline.pass()) {
        }
    };
    pipeline.start();
    run_ms(250);
    const size_t before_move = frames.size();
    desktop.set_pointer_position(display.left + 400, 150);  // bar 3 (green)
    pipeline.request_keyframe();
    run_ms(250);
    // A still desktop: the pointer alone moves, down into bar 1 (yellow); the
    // image is encoded again without its old place.
    const size_t before_still = frames.size();
    desktop.set_presents(4, false, 1000);
    run_ms(50);
    desktop.set_pointer_position(display.left + 200, 300);
    run_ms(100);
    pipeline.stop();

    // Every datagram authentic and every frame whole, in order from 0.
    const viewer::ReceiverStats rs = assembler.stats();
    EXPECT_EQ(rs.datagrams, datagrams);
    EXPECT_EQ(rs.tag_failures + rs.malformed + rs.frames_incomplete + rs.frames_missing, 0u);
    ASSERT_NEAR(static_cast<double>(before_still), 30.0, 2.0);  // 60 Hz for half a second
    ASSERT_GT(frames.size(), before_still);
    EXPECT_EQ(pipeline.stats().sent, frames.size());
    EXPECT_EQ(pipeline.stats().send_fail, 0u);

    test::H264Decoder dec;
    ASSERT_TRUE(dec.ok());
    const int white = studio_luma({255, 255, 255});
    const int red = studio_luma(sim::kTestCardBars[5]), green = studio_luma(sim::kTestCardBars[3]);
    size_t keyframes = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        const viewer::ReceivedFrame& f = frames[i];
        EXPECT_EQ(f.frame_seq, i);
        keyframes += f.keyframe ? 1 : 0;
        ASSERT_TRUE(dec.decode(f.data.data(), f.data.size())) << "no picture for frame " << i;
        ASSERT_EQ(dec.frame().width, static_cast<int>(kW));
        ASSERT_EQ(dec.frame().height, static_cast<int>(kH));
        if (i >= before_still) {  // the still desktop; at last with the pointer moved down
            if (i + 1 == frames.size()) {
                EXPECT_NEAR(dec.luma(208, 308), white, 10) << "pointer, last frame";
                EXPECT_NEAR(dec.luma(408, 158), green, 10) << "old pointer gone, last frame";
            }
            continue;
        }
        uint64_t shown = 0;
        ASSERT_TRUE(sim::read_test_card_barcode_luma(dec.frame().data[0], static_cast<size_t>(dec.frame().linesize[0]),
                                                     kW, kH, shown))
            << i;
        EXPECT_EQ(shown, f.capture_ms) << "frame " << i;
        for (uint32_t k : {0u, 2u, 7u}) EXPECT_NEAR(bar_luma_at_centre(dec, k), studio_luma(sim::kTestCardBars[k]), 8);
        // The pointer where the desktop had it when the frame was captured.
        const bool moved = i >= before_move + 1;  // the move reaches the next frame at the latest
        if (i < before_move || moved) {
            EXPECT_NEAR(dec.luma(moved ? 408 : 638, 158), white, 10) << "pointer, frame " << i;
            EXPECT_NEAR(dec.luma(moved ? 638 : 408, 158), moved ? red : green, 10) << "no pointer, frame " << i;
        }
    }
    EXPECT_EQ(keyframes, 2u);  // the start and the viewer's request
    EXPECT_TRUE(frames[0].keyframe);
    EXPECT_TRUE(log.has("[session 9] IDR frame_seq=0 reason=start"));
    EXPECT_TRUE(log.has("reason=request"));
    EXPECT_TRUE(log.has("[session 9] summary: " + std::to_string(frames.size()) +
                        " frames sent, IDR start=1 request=1 coalesced=0, send failures=0, pointer updates=3, "
                        "shape changes=1"))
        << log.text();
}

}  // namespace
}  // namespace sorvane
