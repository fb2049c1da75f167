// BGRA to NV12: the integer formula on known colours, and the vector path
// against the scalar one on random pictures of awkward sizes and pitches.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "platform/texture.h"

namespace sorvane::platform {
namespace {

struct Yuv {
    int y, u, v;
};

Yuv convert_solid(uint8_t r, uint8_t g, uint8_t b) {
    CpuTexture src;
    src.allocate(32, 4, kFormatBgra8);
    for (size_t i = 0; i < src.data.size(); i += 4) {
        src.data[i] = b;
        src.data[i + 1] = g;
        src.data[i + 2] = r;
        src.data[i + 3] = 255;
    }
    CpuTexture dst;
    EXPECT_TRUE(convert_texture_to_nv12(src, dst));
    const uint8_t* uv = dst.data.data() + 32 * 4;
    // Every sample of a solid picture is the same, on the vector and the tail path.
    for (size_t i = 0; i < 32 * 4; ++i) EXPECT_EQ(dst.data[i], dst.data[0]);
    for (size_t i = 0; i < 32 * 2; i += 2) {
        EXPECT_EQ(uv[i], uv[0]);
        EXPECT_EQ(uv[i + 1], uv[1]);
    }
    return {dst.data[0], uv[0], uv[1]};
}

TEST(Nv12, KnownColoursFollowTheStudioRangeFormula) {
    struct Case {
        uint8_t r, g, b;
        int y, u, v;
    } cases[] = {
        {255, 255, 255, 235, 127, 128},  // white: the formula's rounding gives U 127
        {0, 0, 0, 16, 128, 128},
        {255, 0, 0, 63, 102, 240},
        {0, 255, 0, 172, 41, 26},
        {0, 0, 255, 32, 240, 118},
        {191, 191, 0, 168, 44, 135},
    };
    for (const Case& c : cases) {
        Yuv got = convert_solid(c.r, c.g, c.b);
        EXPECT_EQ(got.y, c.y) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_EQ(got.u, c.u) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_EQ(got.v, c.v) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
}

TEST(Nv12, VectorPathEqualsScalarOnRandomPicturesOfEverySize) {
    std::mt19937 rng(1234);
    struct Size {
        uint32_t w, h, pad;
    } sizes[] = {{1, 1, 0}, {2, 2, 0}, {15, 3, 4}, {16, 2, 0}, {17, 5, 12}, {31, 7, 0},
                 {33, 9, 8}, {64, 64, 0}, {127, 33, 20}, {1366, 767, 0}, {1920, 1080, 64}};
    for (const Size& s : sizes) {
        size_t pitch = s.w * 4 + s.pad;
        std::vector<uint8_t> src(pitch * s.h);
        for (auto& b : src) b = static_cast<uint8_t>(rng());
        uint32_t cw = (s.w + 1) / 2, ch = (s.h + 1) / 2;
        std::vector<uint8_t> y1(s.w * s.h, 0xAA), y2(s.w * s.h, 0x55), uv1(cw * 2 * ch, 0xAA), uv2(cw * 2 * ch, 0x55);
        bgra_to_nv12_scalar(src.data(), pitch, s.w, s.h, y1.data(), s.w, uv1.data(), cw * 2);
        bgra_to_nv12(src.data(), pitch, s.w, s.h, y2.data(), s.w, uv2.data(), cw * 2);
        EXPECT_EQ(y1, y2) << s.w << "x" << s.h;
        EXPECT_EQ(uv1, uv2) << s.w << "x" << s.h;
    }
    // Extremes that stress the 16-bit lanes: saturated channels in every mix.
    std::vector<uint8_t> src(64 * 2 * 4);
    for (size_t i = 0; i < src.size(); ++i) src[i] = (i * 7919 % 5 == 0) ? 0 : 255;
    std::vector<uint8_t> y1(128), y2(128), uv1(64), uv2(64);
    bgra_to_nv12_scalar(src.data(), 256, 64, 2, y1.data(), 64, uv1.data(), 64);
    bgra_to_nv12(src.data(), 256, 64, 2, y2.data(), 64, uv2.data(), 64);
    EXPECT_EQ(y1, y2);
    EXPECT_EQ(uv1, uv2);
}

TEST(Nv12, TextureSizesAndFormats) {
    CpuTexture t;
    EXPECT_FALSE(t.allocate(3, 2, kFormatNv12));
    EXPECT_FALSE(t.allocate(4, 4, 28));
    ASSERT_TRUE(t.allocate(4, 2, kFormatNv12));
    EXPECT_EQ(t.data.size(), 12u);
    ASSERT_TRUE(t.allocate(5, 3, kFormatR8));
    EXPECT_EQ(t.pitch, 5u);
    CpuTexture odd, out;
    odd.allocate(5, 4, kFormatBgra8);
    EXPECT_FALSE(convert_texture_to_nv12(odd, out));
}

}  // namespace
}  // namespace sorvane::platform
