#include "driver/core/control_plane.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>

#include "driver/core/edid.h"
#include "platform/sim/manual_clock.h"
#include "tests/driver/fake_backend.h"

namespace sorvane::vdd {
namespace {

class ControlPlaneTest : public ::testing::Test {
protected:
    void SetUp() override { make_plane({}); }

    void make_plane(ControlConfig config) {
        plane.reset();
        config.logger = LineLogger([this](std::string_view t) {
            std::lock_guard<std::mutex> g(lines_mutex);
            lines.emplace_back(t);
        });
        plane = std::make_unique<ControlPlane>(backend, clock, std::move(config));
    }

    std::string req(uint32_t conn, const std::string& text) { return plane->handle_request(conn, text); }

    // A MONITOR_ADD spaced 300 ms after the previous request, so a series of
    // adds stays inside the rate limit.
    std::string add(uint32_t conn, const std::string& args) {
        clock.advance_ms(300);
        return req(conn, "SVC/1 1 MONITOR_ADD " + args);
    }

    MonitorEntry entry(uint32_t id) {
        for (const auto& e : plane->entries()) {
            if (e.id == id) return e;
        }
        ADD_FAILURE() << "no entry " << id;
        return {};
    }

    std::vector<std::string> take_lines() {
        std::lock_guard<std::mutex> g(lines_mutex);
        return std::exchange(lines, {});
    }

    sim::ManualClock clock;
    test::FakeBackend backend;
    std::mutex lines_mutex;
    std::vector<std::string> lines;
    std::unique_ptr<ControlPlane> plane;  // destroyed first
};

TEST_F(ControlPlaneTest, RegistersAsTheBackendsSink) {
    EXPECT_EQ(backend.current_sink(), plane.get());
    plane.reset();
    EXPECT_EQ(backend.current_sink(), nullptr);
}

TEST_F(ControlPlaneTest, PingVersionAndUnknownVerbs) {
    EXPECT_EQ(req(1, "SVC/1 5 PING"), "SVC/1 5 OK proto=1.1 driver=SorvaneVDD-0.1.3");
    EXPECT_EQ(req(1, "SVC/1 5 PING x"), "SVC/1 5 ERR 1 BAD_REQUEST msg=arg_count");
    EXPECT_EQ(req(1, "SVC/1 5 PING a=b"), "SVC/1 5 OK proto=1.1 driver=SorvaneVDD-0.1.3");
    EXPECT_EQ(req(1, "SVC/2 9 PING"), "SVC/1 9 ERR 7 PROTO supported=1");
    EXPECT_EQ(req(1, "SVC/1 4 RESET"), "SVC/1 4 ERR 1 BAD_REQUEST msg=unknown_verb");
    EXPECT_EQ(req(1, "SVC/1 9 Ping"), "SVC/1 9 ERR 1 BAD_REQUEST msg=verb");
    EXPECT_EQ(req(1, "SVC/01 9 PING"), "SVC/1 0 ERR 1 BAD_REQUEST msg=header");
    EXPECT_EQ(req(1, "SVC/1 9 PING\t"), "SVC/1 0 ERR 1 BAD_REQUEST msg=charset");
}

TEST_F(ControlPlaneTest, MonitorAddCreatesTheMonitor) {
    EXPECT_EQ(req(1, "SVC/1 17 MONITOR_ADD 2560 1600 60 key=3f9a mmw=340 mmh=212"),
              "SVC/1 17 OK id=1 serial=0x39cc9aaa slot=0 os_luid=00000000:0001a2b3 os_target=100 "
              "mode=2560x1600@60");
    ASSERT_EQ(backend.added.size(), 1u);
    const MonitorParams& p = backend.added[0];
    EXPECT_EQ(p.id, 1u);
    EXPECT_EQ(p.serial, 0x39cc9aaau);
    EXPECT_EQ(p.modes, build_mode_list(2560, 1600, 60));
    std::string detail;
    EXPECT_EQ(p.edid, build_edid({"SVN", 1, 0x39cc9aaa, "Sorvane", 2560, 1600, 60, 340, 212}, detail));
    const MonitorEntry e = entry(1);
    EXPECT_EQ(e.state, MonitorState::arrived);
    EXPECT_EQ(e.owner, 1u);
    EXPECT_EQ(e.os_luid, (Luid{0, 0x1a2b3}));
    EXPECT_EQ(e.os_target, 100u);
}

TEST_F(ControlPlaneTest, MonitorAddChecksInOrderWithoutUsingRateSlots) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1920 1080", "1 BAD_REQUEST msg=arg_count"},
        {"1920 1080 60 30", "1 BAD_REQUEST msg=arg_count"},
        {"1920 1080 6O", "1 BAD_REQUEST msg=number"},
        {"1920 1080 060", "1 BAD_REQUEST msg=number"},
        {"1921 1080 300 key=a_b", "2 BAD_ARGS msg=size"},
        {"1920 4096 60", "2 BAD_ARGS msg=size"},
        {"1920 1080 300 key=a_b", "2 BAD_ARGS msg=fps"},
        {"1920 1080 23", "2 BAD_ARGS msg=fps"},
        {"4000 2400 60 key=a_b", "2 BAD_ARGS msg=area"},
        {"1920 1080 60 key=a_b", "2 BAD_ARGS msg=key"},
        {"3840 2160 120 key=a_b", "2 BAD_ARGS msg=key"},
        {"3840 2160 120 mmw=1", "2 BAD_ARGS msg=pixel_clock"},
        {"1920 1080 60 key=a mmw=1", "2 BAD_ARGS msg=size_mm"},
        {"1920 1080 60 mmh=1", "2 BAD_ARGS msg=size_mm"},
        {"1920 1080 60 mmw=0 mmh=10", "2 BAD_ARGS msg=size_mm"},
        {"1920 1080 60 mmw=10 mmh=2551", "2 BAD_ARGS msg=size_mm"},
        {"1920 1080 60 mmw=x mmh=10", "2 BAD_ARGS msg=size_mm"},
        {"1920 1080 60 mmw=300 1", "1 BAD_REQUEST msg=positional_after_key"},
        {"1920 1080 60 k=a=b", "1 BAD_REQUEST msg=value"},
        {"1920 1080 60 k=1 k=2", "1 BAD_REQUEST msg=duplicate_key"},
    };
    for (const auto& [args, answer] : cases) {
        EXPECT_EQ(req(1, "SVC/1 3 MONITOR_ADD " + args), "SVC/1 3 ERR " + answer) << args;
    }
    EXPECT_TRUE(backend.added.empty());
    // None of those used a rate slot: four adds in the same millisecond pass.
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(req(1, "SVC/1 4 MONITOR_ADD 1920 1080 60").substr(0, 12), "SVC/1 4 OK i");
    }
    EXPECT_EQ(req(1, "SVC/1 4 MONITOR_ADD 1920 1080 60"), "SVC/1 4 ERR 6 BUSY msg=rate");
}

TEST_F(ControlPlaneTest, RateIsCheckedBeforeTheAdapter) {
    backend.ready = false;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(req(1, "SVC/1 2 MONITOR_ADD 1920 1080 60"), "SVC/1 2 ERR 3 NOT_READY msg=adapter");
    }
    EXPECT_EQ(req(1, "SVC/1 2 MONITOR_ADD 1920 1080 60"), "SVC/1 2 ERR 6 BUSY msg=rate");
    // The limit is per connection.
    EXPECT_EQ(req(2, "SVC/1 2 MONITOR_ADD 1920 1080 60"), "SVC/1 2 ERR 3 NOT_READY msg=adapter");
}

TEST_F(ControlPlaneTest, RateLimitRollsOverOneSecond) {
    ASSERT_EQ(add(1, "1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    clock.advance_ms(1000);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(req(1, "SVC/1 6 MONITOR_REMOVE 99"), "SVC/1 6 ERR 5 NOT_FOUND msg=id");
        clock.advance_ms(100);
    }
    EXPECT_EQ(req(1, "SVC/1 7 MONITOR_REMOVE 99"), "SVC/1 7 ERR 6 BUSY msg=rate");
    EXPECT_EQ(req(1, "SVC/1 7 GPU_LUID 00000000:00000000"), "SVC/1 7 ERR 6 BUSY msg=rate");
    clock.advance_ms(600);  // the first of the four is now 1000 ms old
    EXPECT_EQ(req(1, "SVC/1 8 MONITOR_REMOVE 99"), "SVC/1 8 ERR 5 NOT_FOUND msg=id");
    EXPECT_EQ(req(1, "SVC/1 8 MONITOR_REMOVE 99"), "SVC/1 8 ERR 6 BUSY msg=rate");
    // PING, GET_STATE and LOG are not limited.
    EXPECT_EQ(req(1, "SVC/1 9 PING").substr(0, 10), "SVC/1 9 OK");
    EXPECT_EQ(req(1, "SVC/1 9 LOG info"), "SVC/1 9 OK level=info");
}

TEST_F(ControlPlaneTest, EightSlotsThenLimitAndSlotReuse) {
    for (uint32_t i = 0; i < 8; ++i) {
        EXPECT_EQ(add(1, "1920 1080 60"), "SVC/1 1 OK id=" + std::to_string(i + 1) + " serial=" +
                                              hex32(0xDE0000 + i) + " slot=" + std::to_string(i) +
                                              " os_luid=00000000:0001a2b3 os_target=" + std::to_string(100 + i) +
                                              " mode=1920x1080@60");
    }
    EXPECT_EQ(add(1, "1920 1080 60"), "SVC/1 1 ERR 4 LIMIT msg=monitors");
    plane->on_monitor_gone(3);
    EXPECT_EQ(add(1, "1920 1080 60").substr(0, 51), "SVC/1 1 OK id=9 serial=0x00de0002 slot=2 os_luid=00");
}

TEST_F(ControlPlaneTest, PixelBudget) {
    for (int i = 0; i < 3; ++i) EXPECT_EQ(add(1, "3840 2160 60").substr(0, 10), "SVC/1 1 OK");
    // 4 * 3840 * 2160 * 60 exceeds 1500000000; so would a 32-bit sum of them.
    EXPECT_EQ(add(1, "3840 2160 60"), "SVC/1 1 ERR 4 LIMIT msg=budget");
    EXPECT_EQ(add(1, "320 320 24").substr(0, 10), "SVC/1 1 OK");
    EXPECT_EQ(add(1, "1920 1080 60"), "SVC/1 1 ERR 4 LIMIT msg=budget");
}

TEST_F(ControlPlaneTest, BackendFailureRemovesTheEntry) {
    backend.add_results.push_back(OpResult::failure(0xC00000A3, "adapter not ready"));
    EXPECT_EQ(req(1, "SVC/1 4 MONITOR_ADD 1920 1080 60"), "SVC/1 4 ERR 9 IDDCX status=0xc00000a3");
    EXPECT_TRUE(plane->entries().empty());
}

TEST_F(ControlPlaneTest, ExceptionsAnswerWithTheRequestsSeq) {
    backend.on_add = [](const MonitorParams&) { throw std::runtime_error("boom"); };
    EXPECT_EQ(req(1, "SVC/1 5 MONITOR_ADD 1920 1080 60"), "SVC/1 5 ERR 10 INTERNAL msg=exception");
    EXPECT_TRUE(plane->entries().empty());
    backend.on_add = [](const MonitorParams&) { throw std::bad_alloc(); };
    EXPECT_EQ(req(1, "SVC/1 6 MONITOR_ADD 1920 1080 60"), "SVC/1 6 ERR 10 INTERNAL msg=out_of_memory");
    EXPECT_TRUE(plane->entries().empty());
    // The slot is free again.
    backend.on_add = nullptr;
    EXPECT_EQ(req(1, "SVC/1 7 MONITOR_ADD 1920 1080 60").substr(0, 34), "SVC/1 7 OK id=3 serial=0x00de0000 ");
}

TEST_F(ControlPlaneTest, MonitorGoneOrActiveDuringAdd) {
    backend.on_add = [this](const MonitorParams& p) { backend.current_sink()->on_monitor_gone(p.id); };
    EXPECT_EQ(req(1, "SVC/1 7 MONITOR_ADD 1920 1080 60"), "SVC/1 7 ERR 10 INTERNAL msg=monitor_vanished");
    EXPECT_TRUE(plane->entries().empty());

    backend.on_add = [this](const MonitorParams& p) { backend.current_sink()->on_monitor_active(p.id); };
    EXPECT_EQ(req(1, "SVC/1 8 MONITOR_ADD 1920 1080 60").substr(0, 10), "SVC/1 8 OK");
    EXPECT_EQ(entry(2).state, MonitorState::active);  // not moved back to arrived
}

TEST_F(ControlPlaneTest, RemovingACreatingMonitorIsBusy) {
    std::string during;
    backend.on_add = [&](const MonitorParams& p) {
        during = req(2, "SVC/1 3 MONITOR_REMOVE " + std::to_string(p.id));
    };
    EXPECT_EQ(req(1, "SVC/1 2 MONITOR_ADD 1920 1080 60").substr(0, 10), "SVC/1 2 OK");
    EXPECT_EQ(during, "SVC/1 3 ERR 6 BUSY msg=creating");
    EXPECT_TRUE(backend.departed.empty());
}

TEST_F(ControlPlaneTest, EdidFailureRemovesTheEntry) {
    ControlConfig config;
    config.edid_maker = "svn";
    make_plane(config);
    EXPECT_EQ(req(1, "SVC/1 2 MONITOR_ADD 1920 1080 60"), "SVC/1 2 ERR 10 INTERNAL msg=edid_mfr");
    EXPECT_TRUE(plane->entries().empty());
    EXPECT_TRUE(backend.added.empty());
}

TEST_F(ControlPlaneTest, GetStatePairsInOrder) {
    backend.actual_adapter = {0, 0xabcdef};
    EXPECT_EQ(req(1, "SVC/1 1 GPU_LUID 00000000:00005555"), "SVC/1 1 OK render_pref=00000000:00005555");
    ASSERT_EQ(add(1, "1920 1080 60 key=k1").substr(0, 10), "SVC/1 1 OK");
    ASSERT_EQ(add(2, "2560 1600 60").substr(0, 10), "SVC/1 1 OK");
    plane->on_monitor_active(2);
    clock.advance_ms(2500);
    EXPECT_EQ(req(3, "SVC/1 8 GET_STATE"),
              "SVC/1 8 OK proto=1.1 driver=SorvaneVDD-0.1.3 adapter=ready max=8 count=2 "
              "render_pref=00000000:00005555 render_actual=00000000:00abcdef iddcx=0x00001a00 "
              "m0=id:1,slot:0,serial:0x983d80c1,mode:1920x1080@60,os:00000000:0001a2b3/100,state:arrived,"
              "owner:1,lease_ms:7200 "
              "m1=id:2,slot:1,serial:0x00de0001,mode:2560x1600@60,os:00000000:0001a2b3/101,state:active,"
              "owner:2,lease_ms:7500");
    // A request of the owner restores its full lease; a silent owner's lease floors at 0.
    req(1, "SVC/1 9 PING");
    clock.advance_ms(8000);
    const std::string state = req(3, "SVC/1 10 GET_STATE");
    EXPECT_NE(state.find("owner:1,lease_ms:2000"), std::string::npos) << state;
    EXPECT_NE(state.find("owner:2,lease_ms:0"), std::string::npos) << state;
    EXPECT_EQ(req(3, "SVC/1 11 GET_STATE x"), "SVC/1 11 ERR 1 BAD_REQUEST msg=arg_count");
}

TEST_F(ControlPlaneTest, GetStateAdapterStates) {
    backend.ready = false;
    EXPECT_EQ(req(1, "SVC/1 1 GET_STATE"),
              "SVC/1 1 OK proto=1.1 driver=SorvaneVDD-0.1.3 adapter=starting max=8 count=0 render_pref=none "
              "render_actual=none iddcx=0x00001a00");
    backend.error = 0xC0000001;
    EXPECT_EQ(req(1, "SVC/1 2 GET_STATE"),
              "SVC/1 2 OK proto=1.1 driver=SorvaneVDD-0.1.3 adapter=failed adapter_error=0xc0000001 max=8 count=0 "
              "render_pref=none render_actual=none iddcx=0x00001a00");
}

TEST_F(ControlPlaneTest, GetStateTooLargeKeepsTheSeq) {
    ControlConfig config;
    config.max_monitors = 64;
    config.rate_limit = 1000;
    config.pixel_budget = UINT64_MAX;
    make_plane(config);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(req(1, "SVC/1 1 MONITOR_ADD 320 320 24").substr(0, 10), "SVC/1 1 OK");
    EXPECT_EQ(req(1, "SVC/1 77 GET_STATE"), "SVC/1 77 ERR 10 INTERNAL msg=response_too_large");
}

TEST_F(ControlPlaneTest, GpuLuid) {
    EXPECT_EQ(req(1, "SVC/1 1 GPU_LUID"), "SVC/1 1 ERR 1 BAD_REQUEST msg=arg_count");
    EXPECT_EQ(req(1, "SVC/1 1 GPU_LUID 5555"), "SVC/1 1 ERR 2 BAD_ARGS msg=luid");
    EXPECT_EQ(req(1, "SVC/1 2 GPU_LUID 00000000:00001234"), "SVC/1 2 ERR 8 GPU_INVALID msg=luid");
    backend.ready = false;
    EXPECT_EQ(req(1, "SVC/1 3 GPU_LUID 00000000:00005555"), "SVC/1 3 OK render_pref=00000000:00005555 pending=1");
    EXPECT_EQ(plane->render_preference(), (Luid{0, 0x5555}));
    clock.advance_ms(1000);
    backend.preference_result = OpResult::failure(0xC00000BB, "IddCxAdapterSetRenderAdapter unavailable");
    EXPECT_EQ(req(1, "SVC/1 4 GPU_LUID 00000000:00005555"), "SVC/1 4 ERR 9 IDDCX status=0xc00000bb");
    backend.preference_result = OpResult::success();
    backend.ready = true;
    EXPECT_EQ(req(1, "SVC/1 5 GPU_LUID 00000000:00000000"), "SVC/1 5 OK render_pref=none");
    EXPECT_EQ(plane->render_preference(), Luid{});
    ASSERT_EQ(req(1, "SVC/1 6 MONITOR_ADD 1920 1080 60").substr(0, 10), "SVC/1 6 OK");
    clock.advance_ms(1000);
    EXPECT_EQ(req(1, "SVC/1 7 GPU_LUID 00000000:00005555"), "SVC/1 7 ERR 6 BUSY msg=monitors_present");
}

TEST_F(ControlPlaneTest, LogLevel) {
    EXPECT_EQ(req(1, "SVC/1 1 LOG info"), "SVC/1 1 OK level=info");
    EXPECT_EQ(req(1, "SVC/1 2 LOG off"), "SVC/1 2 OK level=off");
    EXPECT_EQ(req(1, "SVC/1 3 LOG debug"), "SVC/1 3 OK level=debug");
    EXPECT_EQ(req(1, "SVC/1 4 LOG loud"), "SVC/1 4 ERR 2 BAD_ARGS msg=level");
    EXPECT_EQ(req(1, "SVC/1 5 LOG"), "SVC/1 5 ERR 1 BAD_REQUEST msg=arg_count");
    EXPECT_EQ(backend.log_levels, (std::vector<int>{1, 0, 2}));
}

TEST_F(ControlPlaneTest, MonitorRemoveOutcomes) {
    ASSERT_EQ(add(1, "1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    EXPECT_EQ(req(2, "SVC/1 2 MONITOR_REMOVE"), "SVC/1 2 ERR 1 BAD_REQUEST msg=arg_count");
    EXPECT_EQ(req(2, "SVC/1 2 MONITOR_REMOVE x"), "SVC/1 2 ERR 1 BAD_REQUEST msg=number");
    EXPECT_EQ(req(2, "SVC/1 3 MONITOR_REMOVE 77"), "SVC/1 3 ERR 5 NOT_FOUND msg=id");
    backend.depart_results.push_back(OpResult::failure(0xC0000001, "IddCxMonitorDeparture"));
    EXPECT_EQ(req(2, "SVC/1 4 MONITOR_REMOVE 1"), "SVC/1 4 ERR 9 IDDCX status=0xc0000001");
    EXPECT_EQ(entry(1).state, MonitorState::arrived);
    EXPECT_EQ(entry(1).failure_count, 1u);
    // Another connection may remove the monitor.
    EXPECT_EQ(req(2, "SVC/1 5 MONITOR_REMOVE 1"), "SVC/1 5 OK id=1");
    EXPECT_EQ(entry(1).state, MonitorState::departing);
    EXPECT_EQ(req(2, "SVC/1 6 MONITOR_REMOVE 1"), "SVC/1 6 OK id=1");
    EXPECT_EQ(backend.departed.size(), 2u);  // no second departure of a departing monitor
    plane->on_monitor_gone(1);
    EXPECT_TRUE(plane->entries().empty());
}

TEST_F(ControlPlaneTest, LeaseExpiresForTheSilentOwnerOnly) {
    ASSERT_EQ(add(1, "1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    ASSERT_EQ(add(2, "1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    // Connection 1 was last heard at t; connection 2 keeps pinging.
    for (int i = 0; i < 4; ++i) {
        clock.advance_ms(2000);
        req(2, "SVC/1 2 PING");
        plane->tick();
    }
    clock.advance_ms(1700);  // exactly 10000 ms after connection 1's add
    plane->tick();
    EXPECT_TRUE(backend.departed.empty());
    clock.advance_ms(500);
    req(2, "SVC/1 3 PING");
    plane->tick();
    EXPECT_EQ(backend.departed, (std::vector<uint32_t>{1}));
    EXPECT_EQ(take_lines(), (std::vector<std::string>{"lease expired: monitor 1 of connection 1"}));
    plane->tick();
    EXPECT_TRUE(take_lines().empty());
    // A late request does not bring the monitor back.
    req(1, "SVC/1 4 PING");
    plane->tick();
    EXPECT_EQ(entry(1).state, MonitorState::departing);
    EXPECT_EQ(entry(2).state, MonitorState::arrived);
    EXPECT_EQ(backend.sweep_count(), 8);
}

TEST_F(ControlPlaneTest, FailedRemovalsBackOffThenStick) {
    ASSERT_EQ(add(1, "1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    backend.depart_fails = true;
    plane->on_disconnect(1);
    EXPECT_EQ(backend.departures(), 1u);
    EXPECT_EQ(take_lines(), (std::vector<std::string>{"disconnect cleanup: remove 1 failed, will retry"}));
    size_t attempts = 1;
    for (const uint64_t delay : {2000, 4000, 8000, 16000}) {
        clock.advance_ms(delay - 1);
        plane->tick();
        EXPECT_EQ(backend.departures(), attempts) << "retried before " << delay << " ms";
        clock.advance_ms(1);
        plane->tick();
        EXPECT_EQ(backend.departures(), ++attempts) << "not retried after " << delay << " ms";
    }
    EXPECT_EQ(entry(1).state, MonitorState::stuck);
    EXPECT_EQ(take_lines(), (std::vector<std::string>{"monitor 1 stuck: removal failed 5 times"}));
    for (int i = 0; i < 200; ++i) {
        clock.advance_ms(500);
        plane->tick();
    }
    EXPECT_EQ(backend.departures(), 5u);

    // A client's removal tries again and starts the count afresh.
    EXPECT_EQ(req(2, "SVC/1 2 MONITOR_REMOVE 1"), "SVC/1 2 ERR 9 IDDCX status=0xc0000001");
    EXPECT_EQ(backend.departures(), 6u);
    EXPECT_EQ(entry(1).state, MonitorState::arrived);
    EXPECT_EQ(entry(1).failure_count, 1u);
    // The owner is still gone, so the automatic retries resume.
    backend.depart_fails = false;
    clock.advance_ms(2000);
    plane->tick();
    EXPECT_EQ(backend.departures(), 7u);
    EXPECT_EQ(entry(1).state, MonitorState::departing);
    plane->on_monitor_gone(1);
    EXPECT_TRUE(plane->entries().empty());
}

TEST_F(ControlPlaneTest, DepartingTimeOutFreesTheSlot) {
    ASSERT_EQ(add(1, "1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    EXPECT_EQ(req(1, "SVC/1 2 MONITOR_REMOVE 1"), "SVC/1 2 OK id=1");
    clock.advance_ms(30000);
    req(1, "SVC/1 3 PING");
    plane->tick();
    EXPECT_EQ(entry(1).state, MonitorState::departing);
    clock.advance_ms(1);
    plane->tick();
    EXPECT_TRUE(plane->entries().empty());
    EXPECT_EQ(take_lines(),
              (std::vector<std::string>{"monitor 1 still departing after 30000 ms; slot force-freed"}));
    EXPECT_EQ(add(1, "1920 1080 60").substr(0, 40), "SVC/1 1 OK id=2 serial=0x00de0000 slot=0");
}

TEST_F(ControlPlaneTest, DisconnectWhileCreating) {
    backend.on_add = [this](const MonitorParams&) { plane->on_disconnect(1); };
    ASSERT_EQ(req(1, "SVC/1 1 MONITOR_ADD 1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    EXPECT_TRUE(backend.departed.empty());
    EXPECT_TRUE(entry(1).owner_gone);
    EXPECT_EQ(entry(1).state, MonitorState::arrived);
    plane->tick();
    EXPECT_EQ(backend.departed, (std::vector<uint32_t>{1}));
}

TEST_F(ControlPlaneTest, DepartureThatThrowsIsAFailedAttempt) {
    ASSERT_EQ(add(1, "1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    backend.on_depart = [](uint32_t) { throw std::runtime_error("boom"); };
    EXPECT_EQ(req(1, "SVC/1 2 MONITOR_REMOVE 1"), "SVC/1 2 ERR 10 INTERNAL msg=exception");
    EXPECT_EQ(entry(1).state, MonitorState::arrived);
    EXPECT_EQ(entry(1).failure_count, 1u);
}

TEST(MonitorRegistry, SerialsFollowKeysAndStepPastCollisions) {
    MonitorRegistry reg(8);
    EXPECT_EQ(reg.add_entry(1, 1920, 1080, 60, "viewer-6864")->serial, 0x591d889au);
    // A different key with the same FNV-1a hash, then the same key again.
    EXPECT_EQ(reg.add_entry(1, 1920, 1080, 60, "viewer-569200")->serial, 0x591d889bu);
    EXPECT_EQ(reg.add_entry(1, 1920, 1080, 60, "viewer-6864")->serial, 0x591d889cu);
    EXPECT_EQ(reg.add_entry(1, 1920, 1080, 60, std::nullopt)->serial, 0x00DE0003u);
    // Freed serials and slots are handed out again.
    EXPECT_TRUE(reg.erase_entry(1));
    const MonitorEntry* e = reg.add_entry(2, 1920, 1080, 60, "viewer-6864");
    EXPECT_EQ(e->serial, 0x591d889au);
    EXPECT_EQ(e->slot, 0u);
    EXPECT_EQ(e->id, 5u);
    EXPECT_FALSE(reg.erase_entry(1));
    EXPECT_EQ(fnv1a32(""), 0x811C9DC5u);
    EXPECT_EQ(base_serial(std::nullopt, 2), 0x00DE0002u);
}

TEST_F(ControlPlaneTest, MaintenanceThreadTicksOnTheClock) {
    MaintenanceThread thread([this] { plane->tick(); }, clock);
    thread.start();
    const auto wait_for = [](const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    };
    ASSERT_TRUE(wait_for([&] { return clock.waiters() > 0; }));
    EXPECT_EQ(backend.sweep_count(), 0);
    clock.advance_ms(500);
    EXPECT_TRUE(wait_for([&] { return backend.sweep_count() == 1; }));
    thread.stop();
    thread.stop();
}

}  // namespace
}  // namespace sorvane::vdd

namespace sorvane::vdd {
namespace {

TEST_F(ControlPlaneTest, ForcedRemovalsPastTheLimitStickAndLinesAreWrittenOutsideTheLock) {
    // The logger reads the plane: a line written under its mutex would deadlock here.
    ControlConfig config;
    make_plane(config);
    ControlPlane* p = plane.get();
    ControlConfig reentrant;
    reentrant.logger = LineLogger([this, &p](std::string_view t) {
        p->entries();
        std::lock_guard<std::mutex> g(lines_mutex);
        lines.emplace_back(t);
    });
    plane = std::make_unique<ControlPlane>(backend, clock, reentrant);
    p = plane.get();
    ASSERT_EQ(add(1, "1920 1080 60").substr(0, 10), "SVC/1 1 OK");
    backend.depart_fails = true;
    for (int i = 1; i <= 5; ++i) {
        clock.advance_ms(300);
        EXPECT_EQ(req(1, "SVC/1 2 MONITOR_REMOVE 1"), "SVC/1 2 ERR 9 IDDCX status=0xc0000001");
    }
    EXPECT_EQ(entry(1).state, MonitorState::stuck);
    EXPECT_EQ(take_lines(), (std::vector<std::string>{"monitor 1 stuck: removal failed 5 times"}));
    clock.advance_ms(11'000);
    plane->tick();
    EXPECT_EQ(take_lines(), (std::vector<std::string>{"lease expired: monitor 1 of connection 1"}));
}

TEST_F(ControlPlaneTest, AConnectionThatEndedIsNeverBroughtBackAndItsLateMonitorIsRemoved) {
    plane->on_disconnect(5);
    ASSERT_EQ(req(5, "SVC/1 1 MONITOR_ADD 1920 1080 60").substr(0, 15), "SVC/1 1 OK id=1");
    EXPECT_TRUE(entry(1).owner_gone);
    EXPECT_NE(req(6, "SVC/1 2 GET_STATE").find(",owner:5,lease_ms:0"), std::string::npos);
    plane->tick();
    EXPECT_EQ(backend.departed, (std::vector<uint32_t>{1}));
}

}  // namespace
}  // namespace sorvane::vdd
