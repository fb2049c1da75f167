// The pieces of sorvane-viewer stream that need no host: the frame time read
// off a test card, the PNG writer checked by an independent decoder, the
// percentiles, and the order in which a paired host's addresses are tried.
#include <gtest/gtest.h>

#include <vector>

#include "platform/sim/test_card.h"
#include "tests/support/temp_dir.h"
#include "tests/viewer/png_check.h"
#include "viewer/media/picture.h"
#include "viewer/media/png_writer.h"
#include "viewer/pairing/pairing_session.h"

namespace sorvane {
namespace {

// The card's luma as a decoder would give it: limited range, with a little noise.
std::vector<uint8_t> card_luma(uint32_t w, uint32_t h, uint64_t t) {
    std::vector<uint8_t> bgra(size_t{w} * h * 4);
    sim::compose_test_card(w, h, t, {}, bgra.data(), size_t{w} * 4);
    std::vector<uint8_t> y(size_t{w} * h);
    for (size_t i = 0; i < y.size(); ++i) {
        const int v = ((16 * bgra[4 * i] + 157 * bgra[4 * i + 1] + 47 * bgra[4 * i + 2] + 128) >> 8) + 16;
        y[i] = static_cast<uint8_t>(v + static_cast<int>(i * 7919 % 9) - 4);
    }
    return y;
}

TEST(StreamParts, FrameTimeComesBackFromTheBarcode) {
    for (const uint64_t t : {uint64_t{0}, uint64_t{1}, uint64_t{123'456'789}, (uint64_t{1} << 48) - 1,
                             uint64_t{0xA5A5'5A5A'A5A5}}) {
        const std::vector<uint8_t> y = card_luma(800, 64, t);
        EXPECT_EQ(viewer::read_frame_time(y.data(), 800, 800, 64), t) << t;
    }
    // Too narrow or too short for the 48 cells: no frame time rather than a wrong one.
    const std::vector<uint8_t> y = card_luma(800, 64, 5);
    EXPECT_FALSE(viewer::read_frame_time(y.data(), 800, 783, 64));
    EXPECT_FALSE(viewer::read_frame_time(y.data(), 800, 800, 31));
}

TEST(StreamParts, PngReadsBackPixelForPixel) {
    // 300 x 100 RGB spans several stored blocks of 65,535 bytes.
    viewer::RgbImage img;
    img.width = 300;
    img.height = 100;
    for (uint32_t i = 0; i < img.width * img.height * 3; ++i) img.pixels.push_back(static_cast<uint8_t>(i * 31 + i / 900));
    test::TempDir dir;
    const std::string path = dir.file("x.png");
    viewer::RgbImage back;
    ASSERT_TRUE(test::decode_png(viewer::encode_png(img), back));
    EXPECT_EQ(back.width, img.width);
    EXPECT_EQ(back.height, img.height);
    EXPECT_TRUE(back.pixels == img.pixels);
    // A one-pixel picture and an empty one.
    viewer::RgbImage one{1, 1, {1, 2, 3}};
    ASSERT_TRUE(test::decode_png(viewer::encode_png(one), back));
    EXPECT_EQ(back.pixels, one.pixels);
    std::string error;
    EXPECT_FALSE(viewer::write_png(path, viewer::RgbImage{}, error));
}

TEST(StreamParts, LimitedRangeColoursAndPercentiles) {
    struct Case {
        uint8_t y, u, v, r, g, b;
    } cases[] = {{235, 128, 128, 255, 255, 255}, {16, 128, 128, 0, 0, 0}, {63, 102, 240, 255, 0, 0},
                 {173, 42, 26, 0, 255, 0},       {32, 240, 118, 0, 0, 255}};
    for (const Case& c : cases) {
        uint8_t y[4] = {c.y, c.y, c.y, c.y};
        const viewer::RgbImage img = viewer::yuv420_to_rgb(y, 2, &c.u, 1, &c.v, 1, 2, 2);
        EXPECT_NEAR(img.pixels[9], c.r, 4) << int(c.y);
        EXPECT_NEAR(img.pixels[10], c.g, 4) << int(c.y);
        EXPECT_NEAR(img.pixels[11], c.b, 4) << int(c.y);
    }
    std::vector<int64_t> v;
    for (int64_t i = 100; i >= 1; --i) v.push_back(i);
    EXPECT_EQ(viewer::percentile(v, 50), 50);
    EXPECT_EQ(viewer::percentile(v, 95), 95);
    EXPECT_EQ(viewer::percentile(v, 99), 99);
    std::vector<int64_t> one = {7}, none;
    EXPECT_EQ(viewer::percentile(one, 99), 7);
    EXPECT_EQ(viewer::percentile(none, 50), 0);
    // A long run's samples are kept in bounded memory, spread over the whole run:
    // samples that grow with the time keep their percentiles.
    viewer::KeptSamples kept(1000);
    for (int64_t i = 0; i < 100'000; ++i) kept.add(i);
    EXPECT_EQ(kept.count(), 100'000u);
    EXPECT_LE(kept.kept().size(), 1000u);
    std::vector<int64_t> spread = kept.kept();
    EXPECT_NEAR(static_cast<double>(viewer::percentile(spread, 50)), 50'000.0, 1'000.0);
    EXPECT_NEAR(static_cast<double>(viewer::percentile(spread, 99)), 99'000.0, 1'000.0);
}

TEST(StreamParts, TheAddressThatWorkedIsTriedFirst) {
    test::TempDir dir;
    viewer::KnownHost h;
    h.host_id = "0123abcd-0000-4000-8000-0000000000cc";
    h.addresses = {"10.0.0.5", "192.168.1.20", "10.0.0.5"};
    h.last_address = "192.168.1.20";
    h.control_port = 47000;
    std::string error;
    ASSERT_TRUE(viewer::save_known_host(dir.path(), h, error)) << error;
    viewer::KnownHost back;
    ASSERT_TRUE(viewer::load_known_host(dir.path(), h.host_id, back, error)) << error;
    EXPECT_EQ(viewer::connect_order(back), (std::vector<std::string>{"192.168.1.20", "10.0.0.5"}));
    back.last_address.clear();  // a host file from before: the offered order
    EXPECT_EQ(viewer::connect_order(back), (std::vector<std::string>{"10.0.0.5", "192.168.1.20"}));
}

}  // namespace
}  // namespace sorvane
