// The driver process killed under a stream, whole processes on loopback: its
// monitor leaves the machine at once, the session ends with its reason within
// the watchdog's time, and once the driver runs again the next session gets
// a monitor and streams.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <regex>
#include <string>

#include "tests/system/system_fixture.h"

namespace sorvane {
namespace {

using namespace std::chrono_literals;

struct SystemDriverDeath : test::SystemFixture {
    SystemDriverDeath() { with_setup = false; }
    // The displays table alone (the driver's adapter comes and goes with it).
    std::string screens() { return sim({"topology", "displays"}).out; }
};

TEST_F(SystemDriverDeath, AKilledDriverEndsTheSessionAndARestartedOneServesTheNext) {
    start_host();
    const std::string state = dir.file("viewer");
    pair(state, "Test Phone");
    auto viewer = stream(state, {"--seconds", "60", "--mode", "1280x720@30"});
    const std::string alone = screens();
    ASSERT_TRUE(host->wait_for_output("[session 1] video started")) << host->out();
    ASSERT_NE(screens(), alone);

    driver->signal(SIGKILL);
    driver->wait();
    // The adapter and its monitor went with the driver's process.
    EXPECT_EQ(screens(), alone);
    // Capture lost its output; the watchdog's rebuild finds no monitor and ends the session.
    ASSERT_TRUE(host->wait_for_output("[session 1] WATCHDOG: the monitor is gone", 20s)) << host->out();
    EXPECT_NE(viewer->wait(20s), -1) << viewer->out() << viewer->err();
    EXPECT_NE(viewer->out().find("the host ended the session: monitor_lost"), std::string::npos) << viewer->out();

    start_driver();
    auto again = stream(state, {"--seconds", "2", "--mode", "1280x720@30"});
    EXPECT_EQ(again->wait(30s), 0) << again->out() << again->err() << host->out();
    std::smatch m;
    const std::string summary = again->out();
    ASSERT_TRUE(std::regex_search(summary, m, std::regex("decoded (\\d+), lost"))) << summary;
    EXPECT_GT(std::stoul(m[1]), 10u) << summary;
    EXPECT_NE(host->out().find("[monitor] driver control connection lost"), std::string::npos) << host->out();
    stop_host();
    EXPECT_EQ(screens(), alone);
}

}  // namespace
}  // namespace sorvane
