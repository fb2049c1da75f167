// The system's main job, whole processes on loopback: a paired viewer gets a
// monitor of its own, watches it and controls it; a lost viewer's monitor is
// kept for the grace period and then removed; a stranger gets nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/system/system_fixture.h"
#include "tests/viewer/png_check.h"

namespace sorvane {
namespace {

using namespace std::chrono_literals;

struct SystemStream : test::SystemFixture {
    // The pixel of a decoded picture; channel tolerance for the encoder's loss.
    static bool near(const viewer::RgbImage& pic, uint32_t x, uint32_t y, int r, int g, int b, int tolerance = 48) {
        const uint8_t* p = &pic.pixels[(static_cast<size_t>(y) * pic.width + x) * 3];
        return std::abs(p[0] - r) <= tolerance && std::abs(p[1] - g) <= tolerance && std::abs(p[2] - b) <= tolerance;
    }
};

// The driver's device node without the installer, for the stories that are not about installing.
struct SystemStreamInstalled : SystemStream {
    SystemStreamInstalled() { with_setup = false; }
};

TEST_F(SystemStream, PairedViewerWatchesItsOwnMonitorAndControlsIt) {
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, "Test Phone");
    const std::string png = dir.file("last.png"), h264 = dir.file("out.h264");
    auto viewer = stream(state, {"--seconds", "3", "--mode", "1280x720@30", "--out", h264, "--snapshot", png, "--tap",
                                 "0.75,0.5@1", "--key", "A@1"});
    ASSERT_EQ(viewer->wait(30s), 0) << viewer->out() << viewer->err() << host->out();
    const std::string summary = viewer->out();
    std::fputs(summary.c_str(), stdout);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(summary, m, std::regex("decoded (\\d+), lost"))) << summary;
    EXPECT_GT(std::stoul(m[1]), 10u) << summary;
    EXPECT_TRUE(std::regex_search(summary, std::regex("latency \\(frame time to decoded\\): p50 \\d+ ms, p95 \\d+ ms, "
                                                      "p99 \\d+ ms over \\d+ frames")))
        << summary;
    EXPECT_NE(summary.find("  end: closed by the viewer"), std::string::npos) << summary;

    // The last picture is the new monitor's test card with the tap's mark.
    const std::string bytes = test::read_all(png);
    viewer::RgbImage pic;
    ASSERT_TRUE(test::decode_png(std::vector<uint8_t>(bytes.begin(), bytes.end()), pic));
    ASSERT_EQ(pic.width, 1280u);
    ASSERT_EQ(pic.height, 720u);
    const int bars[8][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                            {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {16, 16, 16}};
    for (uint32_t k = 0; k < 8; ++k)
        EXPECT_TRUE(near(pic, (2 * k + 1) * 1280 / 16, 200, bars[k][0], bars[k][1], bars[k][2])) << "bar " << k;
    // The mark is 32 x 32 around (960, 360); the pointer may cover part of it.
    int magenta = 0;
    for (const auto& [dx, dy] : std::vector<std::pair<int, int>>{{0, 0}, {-10, -10}, {10, -10}, {-10, 10}, {10, 10}})
        magenta += near(pic, 960 + dx, 360 + dy, 255, 0, 255) ? 1 : 0;
    EXPECT_GE(magenta, 3) << "the tap's mark is not in the picture";

    // The tap and the key went through the system's input.
    const std::string journal = input_journal();
    EXPECT_NE(journal.find("key A down"), std::string::npos) << journal;
    EXPECT_NE(journal.find("touch down id=0"), std::string::npos) << journal;

    stop_host();
    const std::string log = host->out();
    EXPECT_NE(log.find("[session 1] monitor ready: target "), std::string::npos) << log;
    EXPECT_NE(log.find("MONITOR_REMOVE id=1 (client "), std::string::npos) << log;
    EXPECT_EQ(displays(), displays_before);
}

TEST_F(SystemStreamInstalled, LostViewerGetsItsMonitorBackWithinTheGraceAndLosesItAfter) {
    start_host({"--grace-seconds", "3"});
    const std::string state = dir.file("viewer");
    pair(state, "Test Phone");

    // Killed outright: the connection drops and the monitor stays for the
    // grace; the viewer coming back within it takes the same monitor.
    auto killed = stream(state, {"--seconds", "60", "--mode", "1280x720@30"});
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();
    killed->signal(SIGKILL);
    killed->wait();
    ASSERT_TRUE(host->wait_for_output("session 1 lost: monitor id=1 stays for 3 s")) << host->out();
    auto back = stream(state, {"--seconds", "60", "--mode", "1280x720@30"});
    ASSERT_TRUE(host->wait_for_output("[session 2] video started")) << host->out();
    EXPECT_NE(host->out().find("monitor id=1 taken back"), std::string::npos) << host->out();
    EXPECT_NE(host->out().find("(same monitor as before)"), std::string::npos) << host->out();
    EXPECT_EQ(host->out().find("MONITOR_REMOVE"), std::string::npos) << host->out();

    // Frozen (a device that fell off the network): heartbeats stop, the
    // session times out, and the monitor goes once the grace has passed.
    back->signal(SIGSTOP);
    ASSERT_TRUE(host->wait_for_output("[session 2] no reply for 6 s: SessionClose(timeout)", 20s)) << host->out();
    ASSERT_TRUE(host->wait_for_output("session 2 lost: monitor id=1 stays for 3 s")) << host->out();
    ASSERT_TRUE(host->wait_for_output("[monitor] K10 remove OK")) << host->out();
    EXPECT_EQ(displays(), displays_before);
    back->signal(SIGKILL);
    back->wait();
    stop_host();
}

TEST_F(SystemStreamInstalled, KilledHostsMonitorsAreRemovedByTheDriverAndTheNextHostStreams) {
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, "Test Phone");
    auto viewer = stream(state, {"--seconds", "60", "--mode", "1280x720@30"});
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();
    ASSERT_NE(displays(), displays_before);
    host->signal(SIGKILL);
    host->wait();
    // The driver notices its client is gone and removes the monitor itself.
    bool restored = false;
    for (int i = 0; i < 100 && !restored; ++i) {
        restored = displays() == displays_before;
        if (!restored) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(restored) << displays();
    viewer->signal(SIGKILL);
    viewer->wait();

    start_host();
    auto again = stream(state, {"--seconds", "2", "--mode", "1280x720@30"});
    EXPECT_EQ(again->wait(30s), 0) << again->out() << again->err() << host->out();
    stop_host();
    EXPECT_EQ(displays(), displays_before);
}

TEST_F(SystemStreamInstalled, UnpairedViewerIsRefusedAndAWrongVideoKeyGetsNoVideo) {
    start_host();
    const std::string paired = dir.file("viewer");
    pair(paired, "Test Phone");
    // Knows the host as the paired viewer does, but with a certificate of its own.
    const std::string stranger = stranger_of(paired);
    auto viewer = stream(stranger, {"--seconds", "2"});
    EXPECT_EQ(viewer->wait(30s), 1);
    EXPECT_NE((viewer->out() + viewer->err()).find("refused by the host: not_paired"), std::string::npos)
        << viewer->out() << viewer->err();
    EXPECT_EQ(host->out().find("MONITOR_ADD"), std::string::npos) << host->out();

    // The paired viewer sealing its VideoHello with a key that is not its
    // session's: the hello fails its tag check and no video is sent to it.
    auto wrong = stream(paired, {"--seconds", "3", "--mode", "1280x720@30", "--wrong-video-key"});
    EXPECT_EQ(wrong->wait(30s), 1) << wrong->out() << wrong->err();
    EXPECT_NE(wrong->out().find("frames: received 0, decoded 0"), std::string::npos) << wrong->out();
    stop_host();
    const std::string log = host->out();
    EXPECT_TRUE(std::regex_search(log, std::regex("\\[session \\d+\\] VideoHello from 127\\.0\\.0\\.1:\\d+ rejected: "
                                                  "reason=gmac")))
        << log;
    EXPECT_EQ(log.find("streaming starts"), std::string::npos) << log;
    EXPECT_EQ(displays(), displays_before);
}

}  // namespace
}  // namespace sorvane
