// The test card, pixel by pixel at the region edges, and the simulated
// desktop's duplication: frames at the refresh rate, the pointer reported
// apart from the image, time-outs and fault points.
#include <gtest/gtest.h>

#include "platform/sim/desktop.h"
#include "platform/sim/manual_clock.h"

namespace sorvane::sim {
namespace {

Rgb at(const platform::CpuTexture& t, uint32_t x, uint32_t y) {
    const uint8_t* p = t.row(y) + x * 4;
    EXPECT_EQ(p[3], 255);
    return Rgb{p[2], p[1], p[0]};
}

bool same(Rgb a, Rgb b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

TEST(TestCard, RegionsBarcodeLineAndMarks) {
    const uint32_t w = 1000, h = 600;
    const uint64_t t = 0x0000'8123'4567'89ABull;
    std::vector<Mark> marks = {{500, 300, kMarkMagenta}, {0, 599, kMarkCyan}};
    platform::CpuTexture card;
    compose_test_card(w, h, t, marks, card);
    ASSERT_EQ(card.format, platform::kFormatBgra8);
    // The band and the barcode (bit 47 - i in cell i).
    EXPECT_TRUE(same(at(card, 5, 5), Rgb{0, 0, 0}));
    EXPECT_TRUE(same(at(card, 16, 16), Rgb{255, 255, 255}));  // bit 47 of 0x8000... is 1
    EXPECT_TRUE(same(at(card, 32, 20), Rgb{0, 0, 0}));        // bit 46 is 0
    EXPECT_TRUE(same(at(card, 16, 15), Rgb{0, 0, 0}));
    EXPECT_TRUE(same(at(card, 16, 32), Rgb{0, 0, 0}));
    uint64_t back = 0;
    ASSERT_TRUE(read_test_card_barcode(card.data.data(), card.pitch, w, h, back));
    EXPECT_EQ(back, t);
    // Bars: bar k spans floor(kW/8) .. floor((k+1)W/8) - 1, rows 48 .. 399.
    for (uint32_t k = 0; k < 8; ++k) {
        EXPECT_TRUE(same(at(card, k * w / 8, 48), kTestCardBars[k])) << k;
        EXPECT_TRUE(same(at(card, (k + 1) * w / 8 - 1, 2 * h / 3 - 1), kTestCardBars[k])) << k;
    }
    // Lower left: grey with the 8-pixel line at floor(t/2) mod (W/2 - 8).
    uint32_t line = static_cast<uint32_t>((t / 2) % (w / 2 - 8));
    EXPECT_EQ(test_card_line_x(w, t), line);
    EXPECT_TRUE(same(at(card, line, 400), Rgb{255, 255, 255}));
    EXPECT_TRUE(same(at(card, line + 7, 550), Rgb{255, 255, 255}));
    EXPECT_TRUE(same(at(card, (line + 8) % (w / 2), 450), Rgb{64, 64, 64}));
    // Lower right: 8 x 8 noise blocks from the region's corner, new each frame.
    EXPECT_TRUE(same(at(card, 500 + 8 + 7, 400 + 16), test_card_noise(1, 2, t)));
    EXPECT_FALSE(same(test_card_noise(1, 2, t), test_card_noise(1, 2, t + 1)) &&
                 same(test_card_noise(2, 2, t), test_card_noise(2, 2, t + 1)));
    // Marks: 32 x 32 centred, clipped at the edges, over everything.
    EXPECT_TRUE(same(at(card, 484, 284), kMarkMagenta));
    EXPECT_TRUE(same(at(card, 515, 315), kMarkMagenta));
    EXPECT_FALSE(same(at(card, 516, 300), kMarkMagenta));
    EXPECT_TRUE(same(at(card, 0, 599), kMarkCyan));
    EXPECT_TRUE(same(at(card, 15, 583), kMarkCyan));
}

TEST(TestCard, NarrowDisplaysHaveNoBarcode) {
    platform::CpuTexture card;
    compose_test_card(798, 100, ~0ull, {}, card);
    for (uint32_t x = 0; x < 798; ++x) EXPECT_TRUE(same(at(card, x, 20), Rgb{0, 0, 0}));
    uint64_t t;
    EXPECT_FALSE(read_test_card_barcode(card.data.data(), card.pitch, 798, 100, t));
    compose_test_card(10, 3, 5, {}, card);  // smaller than the band: no crash, all black
    EXPECT_TRUE(same(at(card, 9, 2), Rgb{0, 0, 0}));
}

// Drawing only what changed gives the whole card's pixels, frame after frame:
// marks come, overlap, sit on the line and the noise and at the edges, and go;
// the line moves (and wraps); the size changes under it.
TEST(TestCard, RedrawingWhatChangedGivesTheWholeCard) {
    struct Step {
        uint32_t w, h;
        uint64_t t;
        std::vector<Mark> marks;
    };
    const std::vector<Step> steps = {
        {1000, 600, 1000, {}},
        {1000, 600, 1017, {{500, 300, kMarkMagenta}}},
        {1000, 600, 1033, {{500, 300, kMarkMagenta}, {40, 420, kMarkCyan}, {990, 599, kMarkMagenta}}},
        {1000, 600, 1050, {{40, 420, kMarkCyan}, {990, 599, kMarkMagenta}, {700, 10, kMarkCyan}}},
        {1000, 600, 1050 + 2 * 492, {{0, 0, kMarkMagenta}}},  // the line wraps to 0
        {1000, 600, 2067, {}},
        {640, 480, 2083, {{320, 470, kMarkCyan}}},
        {640, 480, 2100, {{320, 470, kMarkCyan}}},
    };
    platform::CpuTexture redrawn, whole;
    TestCardDrawn drawn;
    for (size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        compose_test_card(s.w, s.h, s.t, s.marks, redrawn, drawn);
        compose_test_card(s.w, s.h, s.t, s.marks, whole);
        ASSERT_EQ(redrawn.width, s.w);
        EXPECT_TRUE(redrawn.data == whole.data) << "step " << i;
    }
}

struct DesktopFixture : ::testing::Test {
    ManualClock clock{1'000'000};
    SimDesktop desktop{clock};
    SimDuplication dup{desktop};
    std::shared_ptr<platform::GpuDevice> device;

    void SetUp() override {
        desktop.add_adapter({0, "Sim GPU", 0x10DE, 0x0000000100000042ull, false});
        SimDisplay d;
        d.target_id = 7;
        d.gdi_name = "\\\\.\\DISPLAY2";
        d.device_id = "\\\\?\\DISPLAY#SVN0001#1&2&3#{e6f07b5f}";
        d.left = 1920;
        d.width = 1280;
        d.height = 800;
        desktop.add_display(d);
        ASSERT_EQ(dup.create_device(0, device), 0);
    }
};

TEST_F(DesktopFixture, DuplicationDeliversOneImagePerRefreshAndThePointerApart) {
    std::unique_ptr<platform::IOutputDuplication> out;
    ASSERT_EQ(dup.duplicate_output(0, 0, *device, out), 0);
    platform::DuplicationFrameInfo info;
    const platform::CpuTexture* tex = nullptr;
    ASSERT_EQ(out->acquire_next_frame(0, info, tex), 0);
    ASSERT_NE(tex, nullptr);
    uint64_t t = 0;
    ASSERT_TRUE(read_test_card_barcode(tex->data.data(), tex->pitch, tex->width, tex->height, t));
    EXPECT_EQ(t, 1'000'000u);  // tick 60000 of a 60 Hz display begins at 1,000,000 ms
    EXPECT_EQ(info.last_present_time, static_cast<int64_t>(t) * 10000);
    EXPECT_NE(info.last_mouse_update_time, 0);  // a new duplication reports the pointer
    EXPECT_EQ(out->acquire_next_frame(0, info, tex), platform::kDxgiErrorInvalidCall);  // one frame held at a time
    ASSERT_EQ(out->release_frame(), 0);
    // Same tick, nothing new: the wait runs on the clock up to the next refresh.
    ASSERT_EQ(out->acquire_next_frame(100, info, tex), 0);
    ASSERT_TRUE(read_test_card_barcode(tex->data.data(), tex->pitch, tex->width, tex->height, t));
    EXPECT_EQ(t, 1'000'017u);
    EXPECT_EQ(info.last_mouse_update_time, 0);
    out->release_frame();
    EXPECT_EQ(out->acquire_next_frame(5, info, tex), platform::kDxgiErrorWaitTimeout);
    // A pointer move alone: no image, position relative to the output, shape on request.
    desktop.set_pointer_position(2000, 50);
    desktop.set_pointer_shape({2, 32, 32, 128, 1, 1}, std::vector<uint8_t>(32 * 128, 9));
    ASSERT_EQ(out->acquire_next_frame(0, info, tex), 0);
    EXPECT_EQ(info.last_present_time, 0);
    EXPECT_EQ(info.pointer_x, 80);
    EXPECT_EQ(info.pointer_y, 50);
    ASSERT_EQ(info.pointer_shape_buffer_size, 32u * 128);
    std::vector<uint8_t> shape(info.pointer_shape_buffer_size);
    platform::PointerShapeInfo si;
    EXPECT_EQ(out->get_frame_pointer_shape(shape, si), 0);
    EXPECT_EQ(si.width, 32u);
    out->release_frame();
    // Marks from input show in the next image; losing access ends the duplication.
    EXPECT_TRUE(desktop.add_mark(7, 100, 100, MarkKind::right_click));
    EXPECT_FALSE(desktop.add_mark(99, 1, 1, MarkKind::touch_down));
    clock.advance_ms(20);
    ASSERT_EQ(out->acquire_next_frame(0, info, tex), 0);
    EXPECT_TRUE(same(at(*tex, 100, 100), kMarkCyan));
    out->release_frame();
    dup.lose_access();
    EXPECT_EQ(out->acquire_next_frame(0, info, tex), platform::kDxgiErrorAccessLost);
}

TEST_F(DesktopFixture, FaultPointsTopologyQueriesAndGdi) {
    dup.fail(DuplicationOp::query_config, platform::kErrorInsufficientBuffer, 1, 1);
    std::vector<platform::DisplayPath> paths;
    EXPECT_EQ(dup.query_display_config(1, paths), 0);
    EXPECT_EQ(dup.query_display_config(1, paths), platform::kErrorInsufficientBuffer);
    EXPECT_EQ(dup.query_display_config(0, paths), platform::kErrorInsufficientBuffer);
    ASSERT_EQ(dup.query_display_config(1, paths), 0);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].target_id, 7u);
    std::string name;
    EXPECT_EQ(dup.source_gdi_name(paths[0].source_adapter_luid, paths[0].source_id, name), 0);
    EXPECT_EQ(name, "\\\\.\\DISPLAY2");
    platform::DisplayDevice dd;
    ASSERT_TRUE(dup.enum_display_devices(nullptr, 0, dd));
    ASSERT_TRUE(dup.enum_display_devices(&dd.name, 0, dd));
    EXPECT_NE(dd.id.find("SVN0001"), std::string::npos);
    std::vector<uint8_t> px;
    ASSERT_TRUE(dup.snapshot_gdi(1920, 0, 1280, 800, px));
    uint64_t t = 0;
    ASSERT_TRUE(read_test_card_barcode(px.data(), 1280 * 4, 1280, 800, t));
    EXPECT_EQ(t, 1'000'000u);
    // A display that never presents times out until it is nudged enough.
    desktop.set_presents(7, false, 2);
    std::unique_ptr<platform::IOutputDuplication> out;
    ASSERT_EQ(dup.duplicate_output(0, 0, *device, out), 0);
    platform::DuplicationFrameInfo info;
    const platform::CpuTexture* tex = nullptr;
    ASSERT_EQ(out->acquire_next_frame(0, info, tex), 0);  // the pointer only
    EXPECT_EQ(info.last_present_time, 0);
    out->release_frame();
    EXPECT_EQ(out->acquire_next_frame(50, info, tex), platform::kDxgiErrorWaitTimeout);
    dup.nudge(1920, 0, 3200, 800);
    EXPECT_EQ(out->acquire_next_frame(50, info, tex), platform::kDxgiErrorWaitTimeout);
    dup.nudge(1920, 0, 3200, 800);
    EXPECT_EQ(out->acquire_next_frame(50, info, tex), 0);
    EXPECT_NE(info.last_present_time, 0);
}

}  // namespace
}  // namespace sorvane::sim
