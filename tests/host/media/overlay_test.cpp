// The pointer overlay and the vibrance pass against pixels worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <random>

#include "host/core/settings.h"
#include "host/media/color_vibrance.h"
#include "host/media/cursor_overlay.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

using platform::CpuTexture;
using platform::PointerShapeInfo;
using Px = std::array<uint8_t, 4>;  // B, G, R, A

CpuTexture filled(uint32_t w, uint32_t h, Px px) {
    CpuTexture t;
    t.allocate(w, h, platform::kFormatBgra8);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) t.row(y)[x * 4 + c] = px[c];
    return t;
}

Px at(const CpuTexture& t, uint32_t x, uint32_t y) {
    const uint8_t* p = t.row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

CursorOverlay ready_overlay() {
    CursorOverlay o;
    o.init(platform::GpuDevice{});
    return o;
}

TEST(CursorOverlay, MonochromeColourAndInvert) {
    // 4 x 2 pointer: AND rows then XOR rows, MSB first. Row 0: AND 0011, XOR 0101
    // -> black, white, transparent, invert. Row 1: all AND 0 XOR 0 -> black.
    std::vector<uint8_t> mono = {0x30, 0x00, 0x50, 0x00};
    CursorOverlay o = ready_overlay();
    ASSERT_TRUE(o.set_shape(mono.data(), mono.size(), {1, 4, 4, 1, 0, 0}));
    EXPECT_EQ(o.shape_height(), 2u);
    CpuTexture t = filled(6, 4, {10, 100, 200, 77});
    EXPECT_FALSE(o.draw(t));  // no position yet: not visible
    o.set_position(1, 1, true);
    ASSERT_TRUE(o.draw(t));
    EXPECT_EQ(at(t, 1, 1), (Px{0, 0, 0, 77}));        // the target's alpha stays
    EXPECT_EQ(at(t, 2, 1), (Px{255, 255, 255, 77}));
    EXPECT_EQ(at(t, 3, 1), (Px{10, 100, 200, 77}));
    EXPECT_EQ(at(t, 4, 1), (Px{245, 155, 55, 77}));   // 1 - destination
    EXPECT_EQ(at(t, 4, 2), (Px{0, 0, 0, 77}));
    EXPECT_EQ(at(t, 0, 0), (Px{10, 100, 200, 77}));
    EXPECT_EQ(at(t, 5, 3), (Px{10, 100, 200, 77}));

    // Colour: source alpha over, rounded to nearest.
    std::vector<uint8_t> color = {200, 0, 100, 128, 9, 9, 9, 0};
    ASSERT_TRUE(o.set_shape(color.data(), color.size(), {2, 2, 1, 8, 0, 0}));
    CpuTexture c = filled(2, 1, {50, 50, 50, 255});
    o.set_position(0, 0, true);
    ASSERT_TRUE(o.draw(c));
    EXPECT_EQ(at(c, 0, 0), (Px{125, 25, 75, 255}));  // (200*128 + 50*127) / 255 = 125.3
    EXPECT_EQ(at(c, 1, 0), (Px{50, 50, 50, 255}));   // alpha 0 leaves it
    o.set_position(0, 0, false);
    EXPECT_FALSE(o.draw(c));
}

TEST(CursorOverlay, MaskedColourAtTheMonitorEdges) {
    // 3 x 2: alpha 0 -> opaque colour, alpha FF with colour -> invert, alpha FF black -> transparent.
    std::vector<uint8_t> masked = {1, 2, 3, 0,    0, 0, 0, 255, 9, 9, 9, 255,
                                   4, 5, 6, 0,    4, 5, 6, 0,   0, 0, 0, 255};
    CursorOverlay o = ready_overlay();
    ASSERT_TRUE(o.set_shape(masked.data(), masked.size(), {4, 3, 2, 12, 0, 0}));
    const Px bg{100, 110, 120, 255};
    struct Case {
        int32_t x, y;
        bool drawn;
    } cases[] = {{-2, -1, true}, {3, 3, true}, {-3, 0, false}, {0, -2, false}, {5, 0, false}, {0, 4, false}};
    for (const Case& k : cases) {
        // Drawn with the pixels under it saved, then put back: the image as before.
        CpuTexture t = filled(5, 4, bg), before = t;
        o.set_position(k.x, k.y, true);
        CursorOverlay::Saved saved;
        EXPECT_EQ(o.draw_saving(t, saved), k.drawn) << k.x << "," << k.y;
        CpuTexture drawn = t;
        CursorOverlay::restore(t, saved);
        EXPECT_EQ(t.data, before.data) << k.x << "," << k.y;
        t = drawn;
        for (uint32_t y = 0; y < 4; ++y) {
            for (uint32_t x = 0; x < 5; ++x) {
                const int sx = static_cast<int>(x) - k.x, sy = static_cast<int>(y) - k.y;
                Px want = bg;
                if (k.drawn && sx >= 0 && sx < 3 && sy >= 0 && sy < 2) {
                    const uint8_t* s = masked.data() + sy * 12 + sx * 4;
                    if (s[3] == 0) want = {s[0], s[1], s[2], 255};
                    else if (s[0] | s[1] | s[2]) want = {155, 145, 135, 255};
                }
                EXPECT_EQ(at(t, x, y), want) << "pointer at " << k.x << "," << k.y << " pixel " << x << "," << y;
            }
        }
    }
}

TEST(CursorOverlay, RefusesShapesThatDoNotFit) {
    std::vector<uint8_t> buf(64, 0);
    CursorOverlay o = ready_overlay();
    struct Case {
        PointerShapeInfo info;
    } cases[] = {
        {{1, 8, 3, 1, 0, 0}},                   // odd monochrome height
        {{1, 16, 4, 1, 0, 0}},                  // pitch below ceil(16/8)
        {{2, 4, 4, 15, 0, 0}},                  // colour pitch below 16
        {{2, 4, 5, 16, 0, 0}},                  // 80 bytes in a 64-byte buffer
        {{4, 0x40000000u, 0x10u, 0x0u, 0, 0}},  // pitch far below width x 4
        {{2, 0x40000000u, 0x40000000u, 0x00000010u, 0, 0}},  // height x pitch wraps in 32 bits
        {{1, 8, 0x80000000u, 0x80000002u, 0, 0}},            // wraps to 0 in 32 bits
        {{3, 4, 4, 16, 0, 0}},                               // unknown type
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(o.set_shape(buf.data(), buf.size(), c.info)) << c.info.type << " " << c.info.height;
        EXPECT_FALSE(o.shape_loaded());
    }
    CpuTexture t = filled(4, 4, {1, 2, 3, 4});
    o.set_position(0, 0, true);
    EXPECT_FALSE(o.draw(t));
}

TEST(Vibrance, HandComputedPixelsAndVectorEqualsScalar) {
    struct Case {
        Px in;
        float s;
        Px out;
    } cases[] = {
        {{90, 90, 90, 7}, 1.6f, {90, 90, 90, 7}},          // grey stays grey
        {{128, 128, 255, 255}, 1.6f, {112, 112, 255, 255}},  // red saturates, the others drop
        {{100, 150, 200, 1}, 1.2f, {89, 149, 209, 1}},
        {{255, 0, 0, 255}, 1.4f, {255, 0, 0, 255}},
        {{100, 150, 200, 1}, 1.0f, {100, 150, 200, 1}},
    };
    for (const Case& c : cases) {
        Px got{};
        vibrance_scalar(c.in.data(), 4, 1, 1, c.s, got.data(), 4);
        EXPECT_EQ(got, c.out);
        std::array<uint8_t, 20> five{}, five_out{};  // one SIMD group plus a scalar tail
        for (int i = 0; i < 5; ++i)
            for (int k = 0; k < 4; ++k) five[i * 4 + k] = c.in[k];
        vibrance(five.data(), 20, 5, 1, c.s, five_out.data(), 20);
        for (int i = 0; i < 5; ++i) EXPECT_EQ((Px{five_out[i * 4], five_out[i * 4 + 1], five_out[i * 4 + 2], five_out[i * 4 + 3]}), c.out);
    }

    // Runs of one colour (flat areas reuse a result) broken by single pixels.
    std::mt19937 rng(7);
    const uint32_t w = 37, h = 9;
    std::vector<uint8_t> src(w * 4 * h), a(src.size()), b(src.size());
    for (size_t i = 0; i < src.size(); i += 4) {
        if (i == 0 || rng() % 5 == 0) {
            for (int k = 0; k < 4; ++k) src[i + k] = static_cast<uint8_t>(rng());
        } else {
            std::copy_n(&src[i - 4], 4, &src[i]);
        }
    }
    for (float s : {1.0f, 1.2f, 1.4f, 1.6f}) {
        vibrance_scalar(src.data(), w * 4, w, h, s, a.data(), w * 4);
        vibrance(src.data(), w * 4, w, h, s, b.data(), w * 4);
        EXPECT_EQ(a, b) << s;
    }
}

// The fast pass reads v / 255 from a table: every colour there is comes out
// as the definition's division gives it.
TEST(Vibrance, EveryColourAsTheDefinitionGivesIt) {
    const uint32_t w = 4096, h = 4096;
    std::vector<uint8_t> src(static_cast<size_t>(w) * h * 4), a(src.size()), b(src.size());
    for (uint32_t c = 0; c < w * h; ++c) {
        src[c * 4ull] = static_cast<uint8_t>(c);
        src[c * 4ull + 1] = static_cast<uint8_t>(c >> 8);
        src[c * 4ull + 2] = static_cast<uint8_t>(c >> 16);
        src[c * 4ull + 3] = static_cast<uint8_t>(c * 7);
    }
    vibrance_scalar(src.data(), w * 4, w, h, 1.4f, a.data(), w * 4);
    vibrance(src.data(), w * 4, w, h, 1.4f, b.data(), w * 4);
    EXPECT_TRUE(a == b);
}

TEST(Vibrance, LevelComesFromAndGoesToTheSettings) {
    test::TempDir dir;
    const std::string path = dir.file("settings.txt");
    setenv(kSettingsPathVariable, path.c_str(), 1);
    test::write_all(path, "color_vibrance=high\n");
    EXPECT_EQ(current_vibrance_level(), VibranceLevel::high);
    set_vibrance_level(1);
    EXPECT_EQ(test::read_all(path), "color_vibrance=light\n");
    EXPECT_EQ(current_vibrance_level(), VibranceLevel::light);
    set_vibrance_level(9);  // above 3: off, and the key goes
    EXPECT_EQ(current_vibrance_level(), VibranceLevel::off);
    EXPECT_EQ(test::read_all(path), "");
    EXPECT_FALSE(parse_vibrance_level("hgih"));
    EXPECT_FALSE(parse_vibrance_level("High"));
    EXPECT_EQ(parse_vibrance_level("medium"), VibranceLevel::medium);
    EXPECT_FLOAT_EQ(vibrance_level_factor(VibranceLevel::medium), 1.4f);
    unsetenv(kSettingsPathVariable);

    VibrancePass pass;
    ASSERT_TRUE(pass.init(platform::GpuDevice{}, 2, 1));
    CpuTexture src = filled(2, 1, {128, 128, 255, 255});
    ASSERT_TRUE(pass.apply(src, 1.6f));
    EXPECT_EQ(at(pass.output(), 1, 0), (Px{112, 112, 255, 255}));
    EXPECT_FALSE(pass.apply(filled(3, 1, {0, 0, 0, 0}), 1.6f));
}

}  // namespace
}  // namespace sorvane
