// What the host refuses and what it survives, whole processes on loopback:
// one device at a time (the same device reconnecting replaces its own older
// session) and two at once when the limit is raised, the driver going away
// mid-stream, sleep and resume, and --allow-ip.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "tests/system/system_fixture.h"
#include "tests/viewer/png_check.h"

namespace sorvane {
namespace {

using namespace std::chrono_literals;

struct SystemLimits : test::SystemFixture {
    SystemLimits() { with_setup = false; }
};

TEST_F(SystemLimits, SecondDeviceIsRefusedWhileOneStreamsAndTheSameDeviceSupersedesItself) {
    // Two devices paired, one per pairing window (a token pairs once).
    const std::string phone = dir.file("phone"), tablet = dir.file("tablet");
    start_host();
    pair(phone, "Test Phone");
    stop_host();
    start_host();
    pair(tablet, "Test Tablet");

    auto first = stream(phone, {"--seconds", "60", "--mode", "1280x720@30"});
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();

    auto other = stream(tablet, {"--seconds", "2"});
    EXPECT_EQ(other->wait(30s), 1);
    EXPECT_NE((other->out() + other->err())
                  .find("refused by the host: device_limit: Another device is connected to this computer; one device "
                        "can connect at a time."),
              std::string::npos)
        << other->out() << other->err() << host->out();

    // The phone again while its first session still streams: admitted, and
    // the first session is ended in its favour.
    auto again = stream(phone, {"--seconds", "2", "--mode", "1280x720@30"});
    EXPECT_EQ(again->wait(30s), 0) << again->out() << again->err() << host->out();
    EXPECT_NE(host->out().find("ending the older session 1"), std::string::npos) << host->out();
    EXPECT_NE(host->out().find("[session 1] superseded by a new connection from the same viewer"), std::string::npos)
        << host->out();
    first->wait(30s);
    EXPECT_NE(first->out().find("  end: ended by the host"), std::string::npos) << first->out() << first->err();

    stop_host();
    EXPECT_EQ(displays(), displays_before);
}

TEST_F(SystemLimits, WithTheLimitRaisedTwoDevicesStreamAtOnceEachOnItsOwnMonitor) {
    const std::string phone = dir.file("phone"), tablet = dir.file("tablet");
    start_host();
    pair(phone, "Test Phone");
    stop_host();
    host_env["SORVANE_MAX_DEVICES"] = "2";
    start_host();
    pair(tablet, "Test Tablet");

    const std::string phone_png = dir.file("phone.png"), tablet_png = dir.file("tablet.png");
    auto a = stream(phone, {"--seconds", "4", "--mode", "1280x720@30", "--snapshot", phone_png});
    auto b = stream(tablet, {"--seconds", "4", "--mode", "1280x800@30", "--snapshot", tablet_png});
    ASSERT_TRUE(host->wait_for_output("[session 2] video started")) << host->out();
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();
    const std::string during = displays();
    EXPECT_EQ(a->wait(30s), 0) << a->out() << a->err() << host->out();
    EXPECT_EQ(b->wait(30s), 0) << b->out() << b->err() << host->out();
    for (const auto& [png, width, height] :
         std::vector<std::tuple<std::string, uint32_t, uint32_t>>{{phone_png, 1280, 720}, {tablet_png, 1280, 800}}) {
        const std::string bytes = test::read_all(png);
        viewer::RgbImage pic;
        ASSERT_TRUE(test::decode_png(std::vector<uint8_t>(bytes.begin(), bytes.end()), pic)) << png;
        EXPECT_EQ(pic.width, width);
        EXPECT_EQ(pic.height, height);
    }
    // Two monitors of their own, side by side on the machine while both streamed.
    EXPECT_NE(during.find("1280x720"), std::string::npos) << during;
    EXPECT_NE(during.find("1280x800"), std::string::npos) << during;
    stop_host();
    const std::string log = host->out();
    EXPECT_NE(log.find("MONITOR_REMOVE id=1 (client "), std::string::npos) << log;
    EXPECT_NE(log.find("MONITOR_REMOVE id=2 (client "), std::string::npos) << log;
    EXPECT_EQ(log.find("device_limit"), std::string::npos) << log;
    EXPECT_EQ(displays(), displays_before);
}

TEST_F(SystemLimits, DriverStoppedMidStreamEndsTheSessionAndTheHostCarriesOn) {
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, "Test Phone");
    auto viewer = stream(state, {"--seconds", "60", "--mode", "1280x720@30"});
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();

    driver->signal(SIGTERM);
    driver->wait();
    ASSERT_TRUE(host->wait_for_output("Closing the session with reason monitor_lost")) << host->out();
    EXPECT_EQ(viewer->wait(30s), 0) << viewer->out() << viewer->err();
    EXPECT_NE(viewer->out().find("  end: ended by the host"), std::string::npos) << viewer->out() << viewer->err();

    // Still serving: a stranger gets its refusal.
    const std::string stranger = stranger_of(state);
    auto refused = stream(stranger, {"--seconds", "2"});
    EXPECT_EQ(refused->wait(30s), 1);
    EXPECT_NE((refused->out() + refused->err()).find("refused by the host: not_paired"), std::string::npos)
        << refused->out() << refused->err();
    ASSERT_TRUE(host->running()) << host->out();
    stop_host();
}

TEST_F(SystemLimits, SleepAndAutomaticResumeRebuildTheStreamOnce) {
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, "Test Phone");
    auto viewer = stream(state, {"--seconds", "6", "--mode", "1280x720@30"});
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();

    EXPECT_EQ(sim({"power", "suspend"}).code, 0);
    EXPECT_EQ(sim({"power", "resume-auto"}).code, 0);
    ASSERT_TRUE(host->wait_for_output("[power] the PC resumed (epoch 1)")) << host->out();
    ASSERT_TRUE(host->wait_for_output("rebuilding capture and encode from scratch")) << host->out();

    // The stream goes on after the rebuild and ends as the viewer asked.
    EXPECT_EQ(viewer->wait(30s), 0) << viewer->out() << viewer->err() << host->out();
    EXPECT_NE(viewer->out().find("  end: closed by the viewer"), std::string::npos) << viewer->out();
    stop_host();
    const std::string log = host->out();
    EXPECT_NE(log.find("[power] the PC is going to sleep/hibernate"), std::string::npos) << log;
    size_t rebuilds = 0;
    for (size_t at = log.find("rebuilding capture and encode"); at != std::string::npos;
         at = log.find("rebuilding capture and encode", at + 1))
        ++rebuilds;
    EXPECT_EQ(rebuilds, 1u) << log;
}

TEST_F(SystemLimits, AllowIpRefusesAPairedViewerFromAnotherAddress) {
    const std::string state = dir.file("viewer");
    start_host();
    pair(state, "Test Phone");
    stop_host();
    start_host({"--allow-ip", "192.0.2.7"});
    auto viewer = stream(state, {"--seconds", "2"});
    EXPECT_NE(viewer->wait(30s), 0) << viewer->out() << viewer->err();
    stop_host();
    const std::string log = host->out();
    EXPECT_TRUE(std::regex_search(log, std::regex("control connection from 127\\.0\\.0\\.1:\\d+ refused \\(--allow-ip\\)")))
        << log;
    EXPECT_EQ(log.find("[session "), std::string::npos) << log;
    EXPECT_EQ(log.find("MONITOR_ADD"), std::string::npos) << log;
    EXPECT_EQ(displays(), displays_before);
}

}  // namespace
}  // namespace sorvane
