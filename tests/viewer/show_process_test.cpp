// sorvane-viewer show as a whole process in an X server of the test's own,
// against the whole system on a fresh simulated machine: the window shows the
// monitor's test card, a click and keys in the window reach the machine, and
// closing the window leaves the monitor to the host's grace period.
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "platform/sim/test_card.h"
#include "tests/system/system_fixture.h"
#include "tests/viewer/png_check.h"
#include "tests/viewer/x_display.h"

namespace sorvane {
namespace {

using namespace std::chrono_literals;

uint64_t monotonic_ms() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

struct ShowProcess : test::SystemFixture {
    ShowProcess() { with_setup = false; }

    // sorvane-viewer show in the test's X server, asking for a 1280x720 monitor.
    std::unique_ptr<test::Process> show(const std::string& state, const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"show", "127.0.0.1:" + control_port(), "--state", state, "--mode", "1280x720@30"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::map<std::string, std::string> vars = env();
        vars["DISPLAY"] = x.name();
        vars["SDL_RENDER_DRIVER"] = "software";
        return std::make_unique<test::Process>(test::bin_path("sorvane-viewer"), args, vars, work);
    }

    static viewer::RgbImage read_png(const std::string& path) {
        const std::string bytes = test::read_all(path);
        viewer::RgbImage pic;
        EXPECT_TRUE(test::decode_png(std::vector<uint8_t>(bytes.begin(), bytes.end()), pic)) << path;
        return pic;
    }
    static bool near(const viewer::RgbImage& pic, uint32_t x, uint32_t y, sim::Rgb c, int tolerance = 40) {
        const uint8_t* p = &pic.pixels[(static_cast<size_t>(y) * pic.width + x) * 3];
        return std::abs(p[0] - c.r) <= tolerance && std::abs(p[1] - c.g) <= tolerance && std::abs(p[2] - c.b) <= tolerance;
    }

    test::XvfbDisplay x;
};

TEST_F(ShowProcess, TheWindowShowsTheCardAndItsClickAndKeysReachTheMachine) {
    ASSERT_FALSE(x.name().empty()) << x.error();
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, "Laptop");
    const std::string first = dir.file("first.png"), later = dir.file("later.png");
    const uint64_t before = monotonic_ms();
    auto viewer = show(state, {"--seconds", "4", "--screenshot", first + "@1", "--screenshot", later + "@3.5"});
    ASSERT_TRUE(viewer->wait_for_output("session 1: 1280x720@")) << viewer->out() << viewer->err() << host->out();
    const test::RunResult found = x.xdotool({"search", "--sync", "--name", "^Sorvane: "});
    ASSERT_EQ(found.code, 0) << found.err;
    const std::string window = found.out.substr(0, found.out.find('\n'));
    EXPECT_EQ(x.xdotool({"mousemove", "--window", window, "960", "360", "click", "1"}).code, 0);
    EXPECT_EQ(x.xdotool({"key", "Return", "a"}).code, 0);
    ASSERT_EQ(viewer->wait(30s), 0) << viewer->out() << viewer->err() << host->out();
    const uint64_t after = monotonic_ms();
    const std::string out = viewer->out();
    std::fputs(out.c_str(), stdout);

    // The first screenshot: the card's bars, and a barcode time taken from
    // the machine's clock a moment before the window showed it.
    const viewer::RgbImage pic = read_png(first);
    ASSERT_EQ(pic.width, 1280u);
    ASSERT_EQ(pic.height, 720u);
    for (uint32_t k = 0; k < 8; ++k)
        EXPECT_TRUE(near(pic, (2 * k + 1) * 1280 / 16, 200, sim::kTestCardBars[k])) << "bar " << k;
    std::vector<uint8_t> bgra(size_t{pic.width} * pic.height * 4, 255);
    for (size_t i = 0; i < size_t{pic.width} * pic.height; ++i)
        for (int c = 0; c < 3; ++c) bgra[4 * i + 2 - c] = pic.pixels[3 * i + c];
    uint64_t frame_time = 0;
    ASSERT_TRUE(sim::read_test_card_barcode(bgra.data(), size_t{pic.width} * 4, pic.width, pic.height, frame_time));
    std::smatch m;
    const std::regex shot_line("screenshot: \\S+first\\.png \\(1280x720, frame time (\\d+) ms, taken at (\\d+) ms\\)");
    ASSERT_TRUE(std::regex_search(out, m, shot_line)) << out;
    EXPECT_EQ(std::stoull(m[1]), frame_time);
    const uint64_t taken = std::stoull(m[2]);
    EXPECT_GE(frame_time, before);
    EXPECT_LE(frame_time, taken);
    EXPECT_LT(taken - frame_time, 1'500u);
    EXPECT_LE(taken, after);

    // The click's mark in the later screenshot, where the window was clicked
    // (the pointer may cover part of it).
    const viewer::RgbImage pic2 = read_png(later);
    int magenta = 0;
    for (const auto& [dx, dy] : std::vector<std::pair<int, int>>{{0, 0}, {-10, -10}, {10, -10}, {-10, 10}, {10, 10}})
        magenta += near(pic2, 960 + dx, 360 + dy, sim::kMarkMagenta) ? 1 : 0;
    EXPECT_GE(magenta, 3) << "the click's mark is not in the picture";

    // The machine's input: the click on the monitor right of the 1920-wide
    // display, Enter as a key, the letter as typed text.
    const std::string journal = input_journal();
    EXPECT_NE(journal.find("button left down at (2880,360)"), std::string::npos) << journal;
    EXPECT_NE(journal.find("key RETURN down"), std::string::npos) << journal;
    EXPECT_NE(journal.find("type U+0061 'a'"), std::string::npos) << journal;
    EXPECT_NE(out.find("summary: 1 session(s), closed by the viewer"), std::string::npos) << out;
    stop_host();
}

TEST_F(ShowProcess, ClosingTheWindowLeavesTheMonitorForTheGracePeriod) {
    ASSERT_FALSE(x.name().empty()) << x.error();
    start_host({"--grace-seconds", "3"});
    const std::string state = dir.file("viewer");
    pair(state, "Laptop");
    auto viewer = show(state, {});
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out() << viewer->out() << viewer->err();
    const std::string with_monitor = displays();
    ASSERT_NE(with_monitor, displays_before);

    std::string error;
    ASSERT_TRUE(x.request_close("Sorvane: ", error)) << error;
    EXPECT_EQ(viewer->wait(30s), 0) << viewer->out() << viewer->err();
    EXPECT_NE(viewer->out().find("summary: 1 session(s), closed by the viewer"), std::string::npos) << viewer->out();
    ASSERT_TRUE(host->wait_for_output("[session 1] SessionSuspend from viewer (reason=window_closed)")) << host->out();
    ASSERT_TRUE(host->wait_for_output("session 1 lost: monitor id=1 stays for 3 s")) << host->out();
    EXPECT_EQ(displays(), with_monitor);
    ASSERT_TRUE(host->wait_for_output("[monitor] K10 remove OK")) << host->out();
    EXPECT_EQ(displays(), displays_before);
    stop_host();
}

}  // namespace
}  // namespace sorvane
