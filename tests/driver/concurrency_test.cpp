// Removals from clients, disconnects and the maintenance tick racing the OS's
// monitor events, and many threads writing one log. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "driver/core/control_plane.h"
#include "platform/sim/manual_clock.h"
#include "tests/support/temp_dir.h"

namespace sorvane::vdd {
namespace {

// A backend whose departures complete on a separate "OS" thread, as the
// display framework destroys monitor objects on its own threads.
class RacingBackend : public IDriverBackend {
public:
    void set_event_sink(MonitorEventSink* sink) override {
        std::lock_guard<std::mutex> g(sink_mutex_);
        sink_ = sink;
    }
    bool adapter_ready() override { return true; }
    uint32_t adapter_error() override { return 0; }
    OpResult add_monitor(const MonitorParams& p, Luid& os_luid, uint32_t& os_target) override {
        os_luid = {0, 7};
        os_target = p.slot;
        std::lock_guard<std::mutex> g(mutex_);
        if (p.id % 5 == 0) events_.push_back({true, p.id});  // some monitors go active at once
        return {};
    }
    OpResult depart_monitor(uint32_t id) override {
        std::lock_guard<std::mutex> g(mutex_);
        if (failing_ && ++departures_ % 3 == 0) return OpResult::failure(0xC0000001, "IddCxMonitorDeparture");
        events_.push_back({false, id});
        // Now and then the OS also destroys a monitor nobody departed.
        if (id % 7 == 0) events_.push_back({false, id + 1});
        return {};
    }
    bool is_valid_render_adapter(const Luid&) override { return true; }
    OpResult set_render_preference(const Luid&) override { return {}; }
    Luid actual_render_adapter() override { return {}; }
    std::string driver_version() override { return "SorvaneVDD-0.1.3"; }
    uint32_t iddcx_version() override { return 0; }
    void set_log_level(int) override {}
    void sweep() override {}

    // Delivers the queued events; false when there were none.
    bool deliver() {
        std::deque<std::pair<bool, uint32_t>> events;
        {
            std::lock_guard<std::mutex> g(mutex_);
            events.swap(events_);
        }
        std::lock_guard<std::mutex> g(sink_mutex_);
        for (const auto& [active, id] : events) {
            if (sink_ == nullptr) break;
            if (active) {
                sink_->on_monitor_active(id);
            } else {
                sink_->on_monitor_gone(id);
            }
        }
        return !events.empty();
    }
    void stop_failing() {
        std::lock_guard<std::mutex> g(mutex_);
        failing_ = false;
    }

private:
    std::mutex mutex_;
    std::deque<std::pair<bool, uint32_t>> events_;  // (active?, id)
    uint64_t departures_ = 0;
    bool failing_ = true;
    std::mutex sink_mutex_;  // held while calling the sink, as the real backend does
    MonitorEventSink* sink_ = nullptr;
};

bool present(const ControlPlane& plane, uint32_t id) {
    for (const auto& e : plane.entries()) {
        if (e.id == id) return true;
    }
    return false;
}

uint32_t id_of(const std::string& response) {
    const size_t at = response.find(" OK id=");
    return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(response.substr(at + 7)));
}

TEST(ControlPlaneRaces, RemovalsRacingMonitorGoneEvents) {
    sim::ManualClock clock;
    RacingBackend backend;
    ControlConfig config;
    config.rate_limit = 1'000'000;
    ControlPlane plane(backend, clock, config);

    std::atomic<bool> stop{false};
    std::atomic<int> bad_snapshots{0};
    std::atomic<int> added{0};
    std::thread os([&] {
        while (!stop) {
            if (!backend.deliver()) std::this_thread::yield();
        }
    });
    std::thread maintenance([&] {
        while (!stop) {
            plane.tick();
            clock.advance_ms(50);
            std::this_thread::yield();
        }
    });
    std::thread checker([&] {
        while (!stop) {
            std::set<uint32_t> slots;
            std::set<uint32_t> serials;
            const auto entries = plane.entries();
            for (const auto& e : entries) {
                if (!slots.insert(e.slot).second || !serials.insert(e.serial).second || e.slot >= 8) ++bad_snapshots;
            }
            std::this_thread::yield();
        }
    });

    std::vector<std::thread> clients;
    for (uint32_t conn = 1; conn <= 3; ++conn) {
        clients.emplace_back([&, conn] {
            for (int round = 0; round < 150; ++round) {
                const std::string key = " key=viewer-" + std::to_string(conn * 1000 + round % 4);
                const uint32_t id = id_of(plane.handle_request(conn, "SVC/1 1 MONITOR_ADD 1920 1080 60" + key));
                if (id != 0) ++added;
                plane.handle_request(conn, "SVC/1 2 GET_STATE");
                // Most monitors are removed by their client, which retries a
                // failed departure as the host does; the rest wait for the
                // disconnect clean-up.
                bool removed = false;
                for (int attempt = 0; id != 0 && round % 10 != 9 && attempt < 3 && !removed; ++attempt) {
                    const std::string r = plane.handle_request(conn, "SVC/1 3 MONITOR_REMOVE " + std::to_string(id));
                    removed = r.find(" ERR 9 ") == std::string::npos;
                }
                // Give the OS thread a moment to destroy it, so the next add
                // usually finds a free slot.
                for (int spin = 0; removed && spin < 20000 && present(plane, id); ++spin) std::this_thread::yield();
                if (round % 10 == 9) plane.on_disconnect(conn);
            }
            plane.on_disconnect(conn);
        });
    }
    for (auto& t : clients) t.join();
    stop = true;
    os.join();
    maintenance.join();
    checker.join();

    // Every monitor's owner is gone: maintenance and the OS's events must
    // empty the registry. Monitors that got stuck need a client's removal.
    backend.stop_failing();
    for (int i = 0; i < 400 && !plane.entries().empty(); ++i) {
        for (const auto& e : plane.entries()) {
            if (e.state == MonitorState::stuck) {
                EXPECT_EQ(plane.handle_request(9, "SVC/1 5 MONITOR_REMOVE " + std::to_string(e.id)),
                          "SVC/1 5 OK id=" + std::to_string(e.id));
            }
        }
        plane.tick();
        backend.deliver();
        clock.advance_ms(1000);
    }
    EXPECT_TRUE(plane.entries().empty());
    EXPECT_EQ(bad_snapshots.load(), 0);
    EXPECT_GT(added.load(), 200);
}

TEST(DriverLogRaces, ManyThreadsWriteWholeLines) {
    sorvane::test::TempDir dir;
    sim::ManualClock clock;
    DriverLog log(clock, dir.path());
    constexpr int kThreads = 4;
    constexpr int kLines = 250;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) {
                log.write(kLogInfo, "thread " + std::to_string(t) + " line " + std::to_string(i) +
                                        " with some padding to make the line longer");
                if (t == 0) clock.advance_ms(1);
            }
        });
    }
    for (auto& th : threads) th.join();

    const platform::CivilTime day = clock.local_time(clock.wall_ms());
    std::istringstream in(sorvane::test::read_all(dir.path() + "/" + log_file_name(day)));
    const std::regex line_re(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[I\] thread \d line \d+ with some padding to make the line longer\r)");
    int count = 0;
    std::string line;
    while (std::getline(in, line)) {
        EXPECT_TRUE(std::regex_match(line, line_re)) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace sorvane::vdd
