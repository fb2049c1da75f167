// The control pipe over real sockets of the machine's pipe namespace: the
// security descriptor it is built with and enforces, message sizes, the
// client limit, the idle time-out, and many clients at once (also under
// ThreadSanitizer). The host's client is the peer.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "driver/runtime/pipe_server.h"
#include "host/monitors/driver_control_client.h"
#include "platform/sim/machine.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/ports.h"
#include "platform/sim/system_model.h"
#include "tests/support/temp_dir.h"

namespace sorvane::vdd {
namespace {

bool eventually(const std::function<bool()>& cond) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class PipeServerTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("SORVANE_SIM_ROOT", dir_.path().c_str(), 1); }
    void TearDown() override { unsetenv("SORVANE_SIM_ROOT"); }

    std::unique_ptr<PipeServer> serve(std::string sddl, uint32_t idle_ms = 30'000) {
        PipeServerOptions o;
        o.sddl = std::move(sddl);
        o.idle_timeout_ms = idle_ms;
        o.logger = LineLogger([this](std::string_view t) {
            std::lock_guard<std::mutex> g(mutex_);
            lines_.append(t).append("\n");
        });
        auto s = std::make_unique<PipeServer>(
            o, PipeHandlers{[this](uint32_t id, std::string_view r) {
                                ++requests_;
                                return "SVC/1 " + std::string(r.substr(6, r.find(' ', 6) - 6)) + " OK conn=" +
                                       std::to_string(id);
                            },
                            [this](uint32_t) { ++disconnects_; }});
        std::string error;
        EXPECT_TRUE(s->start(error)) << error;
        return s;
    }
    std::string own() { return build_security_descriptor(platform::process_user_sid(), {}).sddl; }
    std::string lines() {
        std::lock_guard<std::mutex> g(mutex_);
        return lines_;
    }

    test::TempDir dir_;
    std::unique_ptr<platform::IClock> clock_ = platform::make_system_clock();
    std::atomic<int> requests_{0};
    std::atomic<int> disconnects_{0};
    std::mutex mutex_;
    std::string lines_;
};

TEST(PipeSecurity, DescriptorTextForAllowLists) {
    const std::string head = "D:P(A;;0x120183;;;SY)(A;;0x120183;;;BA)(A;;0x12019f;;;S-1-22-1-0)";
    std::vector<std::string> ten;
    for (int i = 1; i <= 10; ++i) ten.push_back("S-1-22-1-" + std::to_string(1000 + i));
    struct Case {
        std::vector<std::string> list;
        std::string tail;
        size_t rejected;
    };
    std::string eight;
    for (int i = 1; i <= 8; ++i) eight += "(A;;0x120183;;;S-1-22-1-" + std::to_string(1000 + i) + ")";
    const Case cases[] = {
        {{}, "", 0},
        {{"S-1-5-32-544", "S-1-5-32-544"}, "(A;;0x120183;;;S-1-5-32-544)", 1},
        {{"X-1-5", "S-1-", "S-1-5-21-1-2-3-1001"}, "(A;;0x120183;;;S-1-5-21-1-2-3-1001)", 2},
        {ten, eight, 2},
    };
    for (const Case& c : cases) {
        const SecurityDescriptor d = build_security_descriptor("S-1-22-1-0", c.list);
        EXPECT_EQ(d.sddl, head + c.tail);
        EXPECT_EQ(d.rejected, c.rejected);
    }
    EXPECT_EQ(build_security_descriptor("", {}).rejected, 1u);

    // The allow list as the installer writes it.
    auto machine = std::make_shared<sim::Machine>();
    machine->initialize({});
    auto reg = sim::make_sim_registry(machine);
    EXPECT_TRUE(read_allow_list(*reg).empty());
    reg->set_value(platform::RegistryHive::local_machine, kVddRegistryKey, kAllowListValue,
                   platform::reg_multi_sz({"S-1-22-1-1000", "S-1-5-32-544"}));
    EXPECT_EQ(read_allow_list(*reg), (std::vector<std::string>{"S-1-22-1-1000", "S-1-5-32-544"}));
    reg->set_value(platform::RegistryHive::local_machine, kVddRegistryKey, kAllowListValue, platform::reg_dword(1));
    EXPECT_TRUE(read_allow_list(*reg).empty());
}

TEST_F(PipeServerTest, AnAccountOutsideTheDescriptorIsRefusedWithError5AndTheNameHasOneOwner) {
    auto server = serve(build_security_descriptor("S-1-22-1-4242", {"S-1-22-1-4343"}).sddl);
    DriverControlClient client(*clock_);
    std::string error;
    EXPECT_FALSE(client.connect(100, error));
    EXPECT_EQ(error,
              "cannot open the driver control pipe (error 5): this user is not in the pipe's allow list (ControlPipeSids)");
    // A second server cannot take the name while the first holds it.
    PipeServerOptions o;
    o.sddl = own();
    PipeServer second(o, {});
    EXPECT_FALSE(second.start(error));
    EXPECT_EQ(error, "CreateNamedPipe failed, error 5");
    server->stop();
    EXPECT_TRUE(second.start(error)) << error;
    EXPECT_TRUE(client.connect(100, error)) << error;
}

TEST_F(PipeServerTest, OversizedRequestsTheClientLimitAndTheIdleTimeOut) {
    auto server = serve(own(), 300);
    uint32_t code = 0;
    auto raw = platform::open_pipe(kControlPipeName, code);
    ASSERT_TRUE(raw) << code;
    char buf[8192];
    const std::string big(600, 'x');
    ASSERT_TRUE(raw->write_message(big.data(), big.size(), 1000).ok());
    auto r = raw->read_message(buf, sizeof buf, 2000);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::string(buf, r.bytes), "SVC/1 0 ERR 1 BAD_REQUEST msg=size");
    const std::string ping = "SVC/1 4 PING";
    ASSERT_TRUE(raw->write_message(ping.data(), ping.size(), 1000).ok());
    r = raw->read_message(buf, sizeof buf, 2000);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(std::string(buf, r.bytes), "SVC/1 4 OK conn=1");
    const std::string huge(70'000, 'y');
    if (raw->write_message(huge.data(), huge.size(), 1000).ok()) {
        EXPECT_EQ(raw->read_message(buf, sizeof buf, 2000).status, platform::PipeStatus::closed);
    }
    EXPECT_TRUE(eventually([&] { return disconnects_.load() == 1; }));

    // Four clients are served; a fifth is closed unanswered.
    std::vector<std::unique_ptr<platform::IPipeConnection>> four;
    for (int i = 0; i < 4; ++i) {
        four.push_back(platform::open_pipe(kControlPipeName, code));
        ASSERT_TRUE(four.back());
        ASSERT_TRUE(four.back()->write_message(ping.data(), ping.size(), 1000).ok());
        ASSERT_TRUE(four.back()->read_message(buf, sizeof buf, 2000).ok());
    }
    auto fifth = platform::open_pipe(kControlPipeName, code);
    ASSERT_TRUE(fifth);
    fifth->write_message(ping.data(), ping.size(), 1000);
    EXPECT_EQ(fifth->read_message(buf, sizeof buf, 2000).status, platform::PipeStatus::closed);
    EXPECT_NE(lines().find("connection refused: too many clients"), std::string::npos);

    // Silent clients are closed after the idle time-out.
    EXPECT_TRUE(eventually([&] { return server->active_connections() == 0; }));
    // Several clients time out together, so only each one's own order is fixed.
    const std::string log = lines();
    const auto timeout = log.find("connection 2 idle timeout\n");
    ASSERT_NE(timeout, std::string::npos) << log;
    EXPECT_NE(log.find("connection 2 closed", timeout), std::string::npos) << log;
}

TEST_F(PipeServerTest, ManyClientsAtOnceEachGetTheirOwnAnswers) {
    auto server = serve(own());
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            DriverControlClient client(*clock_);
            std::string error;
            if (!client.connect(1000, error)) return;
            for (int i = 0; i < 200; ++i) {
                ControlReply reply;
                client.request("PING", reply);
                if (reply.ok && reply.find("conn") != nullptr) ++good;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 800);
    server->stop();
    server->stop();
    EXPECT_EQ(disconnects_.load(), 4);
}

// A listener whose every accept fails (as with no descriptors left) until it is stopped.
class FailingListener final : public platform::IPipeListener {
public:
    explicit FailingListener(std::atomic<int>& calls) : calls_(calls) {}
    platform::PipeResult accept(std::unique_ptr<platform::IPipeConnection>&) override {
        ++calls_;
        if (stopped_) return {platform::PipeStatus::stopped, 0, 0, 0};
        return {platform::PipeStatus::error, 24, 0, 0};
    }
    void stop() override { stopped_ = true; }

private:
    std::atomic<int>& calls_;
    std::atomic<bool> stopped_{false};
};

TEST(PipeServerAccept, FailedAcceptsWaitOnTheClockAndTheirLinesKeepToABudget) {
    sim::ManualClock clock;
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::string lines;
    PipeServerOptions o;
    o.clock = &clock;
    o.listen = [&](const std::string&, const std::string&, uint32_t&) { return std::make_unique<FailingListener>(calls); };
    o.logger = LineLogger([&](std::string_view t) {
        std::lock_guard<std::mutex> g(mutex);
        lines.append(t).append("\n");
    });
    PipeServer server(o, {});
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    // After each failure the accept thread waits 200 ms of the clock: it
    // tries again only when the clock has moved.
    for (int i = 1; i <= 100; ++i) {
        ASSERT_TRUE(eventually([&] { return calls.load() == i && clock.waiters() == 1; })) << i;
        clock.advance_ms(200);
    }
    ASSERT_TRUE(eventually([&] { return calls.load() == 101 && clock.waiters() == 1; }));
    server.stop();  // also while it waits
    std::lock_guard<std::mutex> g(mutex);
    EXPECT_EQ(lines, "ConnectNamedPipe failed, error 24\n"
                     "ConnectNamedPipe failed, error 24 (49 more failure(s) not logged)\n"
                     "ConnectNamedPipe failed, error 24 (49 more failure(s) not logged)\n");
}

}  // namespace
}  // namespace sorvane::vdd
