// The host's driver client against a scripted driver on a real pipe: reply
// parsing and describe, the BUSY retries, a broken exchange reported once,
// the keep-alive, and the monitor key.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <deque>
#include <mutex>

#include "driver/runtime/pipe_server.h"
#include "host/monitors/driver_control_client.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

TEST(DriverReplies, ParseAndDescribe) {
    struct Case {
        const char* text;
        bool parses;
        const char* described;
    };
    const Case cases[] = {
        {"SVC/1 4 ERR 9 IDDCX status=0xc00000a3", true, "ERR 9 IDDCX status=0xc00000a3"},
        {"SVC/1 4 ERR 2 BAD_ARGS msg=size", true, "ERR 2 BAD_ARGS (size)"},
        {"SVC/1 4 OK proto=1.1 junk driver=SorvaneVDD-0.1.3", true, "OK"},
        {"SVC/7 4 OK", true, "OK"},
        {"SVC/1 4 ERR 6", false, ""},
        {"SVC/1 04 OK", false, ""},
        {"SVC/1 4  OK", false, ""},
        {"SVC/1 4 MAYBE", false, ""},
        {"SVC/1 4 OK \x01", false, ""},
    };
    for (const Case& c : cases) {
        ControlReply r;
        EXPECT_EQ(parse_control_reply(c.text, r), c.parses) << c.text;
        if (c.parses) {
            EXPECT_EQ(DriverControlClient::describe(r), c.described) << c.text;
        }
    }
    ControlReply transport;
    transport.error = "write failed";
    EXPECT_EQ(DriverControlClient::describe(transport), "transport: write failed");

    DriverMonitorState m;
    ASSERT_TRUE(parse_monitor_summary(
        "id:3,slot:1,serial:0x1a47e90b,mode:2560x1600@60,os:00000000:0003f000/257,state:active,owner:2,lease_ms:9500", m));
    EXPECT_EQ(m.id, 3u);
    EXPECT_EQ(m.serial, 0x1a47e90bu);
    EXPECT_EQ(m.width, 2560u);
    EXPECT_EQ(m.os_luid, (DriverLuid{0, 0x3f000}));
    EXPECT_EQ(m.os_target, 257u);
    EXPECT_EQ(m.state, "active");
    EXPECT_EQ(m.lease_ms, 9500u);
    EXPECT_FALSE(parse_monitor_summary("id:x", m));

    EXPECT_EQ(DriverControlClient::monitor_key("abc"), "46ccbef744812c32ab3d99f2b01bfc46");
}

// A driver whose answers the test scripts; "{seq}" is replaced by the request's seq.
class ScriptedDriver {
public:
    explicit ScriptedDriver(const std::string& root) {
        setenv("SORVANE_SIM_ROOT", root.c_str(), 1);
        vdd::PipeServerOptions o;
        o.sddl = vdd::build_security_descriptor(platform::process_user_sid(), {}).sddl;
        server_ = std::make_unique<vdd::PipeServer>(
            o, vdd::PipeHandlers{[this](uint32_t, std::string_view r) { return answer(r); }, {}});
        std::string error;
        EXPECT_TRUE(server_->start(error)) << error;
    }
    ~ScriptedDriver() {
        server_.reset();
        unsetenv("SORVANE_SIM_ROOT");
    }
    void script(std::string reply) {
        std::lock_guard<std::mutex> g(mutex_);
        replies_.push_back(std::move(reply));
    }
    int requests() const { return requests_.load(); }
    void stop() { server_->stop(); }

private:
    std::string answer(std::string_view request) {
        ++requests_;
        const size_t a = request.find(' ') + 1;
        const std::string seq(request.substr(a, request.find(' ', a) - a));
        std::string reply = "SVC/1 {seq} OK";
        {
            std::lock_guard<std::mutex> g(mutex_);
            if (!replies_.empty()) {
                reply = replies_.front();
                replies_.pop_front();
            }
        }
        const size_t at = reply.find("{seq}");
        if (at != std::string::npos) reply.replace(at, 5, seq);
        return reply;
    }

    std::unique_ptr<vdd::PipeServer> server_;
    std::mutex mutex_;
    std::deque<std::string> replies_;
    std::atomic<int> requests_{0};
};

TEST(DriverClient, BusyIsRetriedFiveTimesThenTheSixthAnswerCounts) {
    test::TempDir dir;
    ScriptedDriver driver(dir.path());
    sim::ManualClock clock;
    DriverControlClient client(clock);
    std::string error;
    ASSERT_TRUE(client.connect(3000, error)) << error;
    for (int i = 0; i < 5; ++i) driver.script("SVC/1 {seq} ERR 6 BUSY msg=rate");
    driver.script("SVC/1 {seq} OK id=4 serial=0x00de0000 slot=0 os_luid=00000000:0003f000 os_target=256 mode=1920x1080@60");
    ControlReply reply;
    MonitorAddReply added;
    const uint64_t start = clock.now_ms();
    ASSERT_TRUE(client.monitor_add_retrying(1920, 1080, 60, "k", 300, 200, reply, added));
    EXPECT_EQ(clock.now_ms() - start, 1500u);
    EXPECT_EQ(added.id, 4u);
    EXPECT_EQ(added.serial, 0xde0000u);
    EXPECT_EQ(added.os_target, 256u);
    // Six BUSY answers: the sixth is what the caller gets.
    for (int i = 0; i < 6; ++i) driver.script("SVC/1 {seq} ERR 6 BUSY msg=rate");
    EXPECT_FALSE(client.monitor_remove_retrying(4, reply));
    EXPECT_EQ(DriverControlClient::describe(reply), "ERR 6 BUSY (rate)");
    EXPECT_EQ(driver.requests(), 12);
}

TEST(DriverClient, ABrokenExchangeClosesTheConnectionAndIsReportedOncePerConnection) {
    test::TempDir dir;
    ScriptedDriver driver(dir.path());
    sim::ManualClock clock;
    DriverControlClient client(clock);
    std::string error;
    ASSERT_TRUE(client.connect(3000, error)) << error;
    std::atomic<int> losses{0};
    client.start_keepalive(3000, [&] { ++losses; });
    // The keep-alive pings on the clock.
    for (int i = 1; i <= 3; ++i) {
        while (clock.waiters() == 0) std::this_thread::yield();
        clock.advance_ms(3000);
        while (client.pings_sent() < static_cast<uint64_t>(i)) std::this_thread::yield();
    }
    client.stop_keepalive();
    driver.script("SVC/1 999 OK");
    ControlReply reply;
    client.request("PING", reply);
    EXPECT_EQ(reply.error, "malformed reply");
    EXPECT_EQ(losses.load(), 1);
    EXPECT_FALSE(client.connected());
    client.request("PING", reply);
    EXPECT_EQ(reply.error, "not connected");
    EXPECT_EQ(losses.load(), 1);
    // A new connection can be lost again.
    ASSERT_TRUE(client.connect(3000, error)) << error;
    driver.stop();
    client.request("PING", reply);
    EXPECT_FALSE(reply.error.empty());
    EXPECT_EQ(losses.load(), 2);
}

}  // namespace
}  // namespace sorvane
