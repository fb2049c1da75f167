// Cost of one control request end to end (parse, dispatch, format), as the
// pipe server pays it per message: the keep-alive PING every 3 s of each
// host, and GET_STATE with a full registry.
#include <benchmark/benchmark.h>

#include "driver/core/control_plane.h"
#include "driver/core/edid.h"
#include "platform/sim/manual_clock.h"

namespace sorvane::vdd {
namespace {

class QuietBackend : public IDriverBackend {
public:
    void set_event_sink(MonitorEventSink*) override {}
    bool adapter_ready() override { return true; }
    uint32_t adapter_error() override { return 0; }
    OpResult add_monitor(const MonitorParams& p, Luid& os_luid, uint32_t& os_target) override {
        os_luid = {0, 0x1a2b3};
        os_target = 100 + p.slot;
        return {};
    }
    OpResult depart_monitor(uint32_t) override { return {}; }
    bool is_valid_render_adapter(const Luid&) override { return true; }
    OpResult set_render_preference(const Luid&) override { return {}; }
    Luid actual_render_adapter() override { return {0, 0x1a2b3}; }
    std::string driver_version() override { return "SorvaneVDD-0.1.3"; }
    uint32_t iddcx_version() override { return 0x1a00; }
    void set_log_level(int) override {}
    void sweep() override {}
};

struct Fixture {
    // Eight 1920x1080@60 monitors fit the pixel budget (eight 2560x1600@60 would not).
    explicit Fixture(int monitors) : plane(backend, clock) {
        for (int i = 0; i < monitors; ++i) {
            clock.advance_ms(300);
            const std::string r = plane.handle_request(
                1, "SVC/1 1 MONITOR_ADD 1920 1080 60 key=viewer" + std::to_string(i) + " mmw=340 mmh=212");
            if (r.rfind("SVC/1 1 OK ", 0) != 0) failed = r;
            plane.on_monitor_active(static_cast<uint32_t>(i + 1));
        }
    }
    std::string failed;
    sim::ManualClock clock;
    QuietBackend backend;
    ControlPlane plane;
};

void BM_Ping(benchmark::State& state) {
    Fixture f(0);
    for (auto _ : state) benchmark::DoNotOptimize(f.plane.handle_request(1, "SVC/1 12345 PING"));
}
BENCHMARK(BM_Ping);

void BM_GetStateEightMonitors(benchmark::State& state) {
    Fixture f(8);
    if (!f.failed.empty()) {
        state.SkipWithError(("MONITOR_ADD failed: " + f.failed).c_str());
        return;
    }
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string r = f.plane.handle_request(2, "SVC/1 12345 GET_STATE");
        bytes = r.size();
        benchmark::DoNotOptimize(r.data());
    }
    state.counters["response_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_GetStateEightMonitors);

void BM_ParseMonitorAdd(benchmark::State& state) {
    const std::string text = "SVC/1 17 MONITOR_ADD 2560 1600 60 key=3f9a0123456789abcdef0123456789ab mmw=340 mmh=212";
    for (auto _ : state) {
        ControlRequest req;
        ParseFailure failure;
        benchmark::DoNotOptimize(parse_request(text, req, failure));
    }
}
BENCHMARK(BM_ParseMonitorAdd);

void BM_BuildEdid(benchmark::State& state) {
    const EdidInput in{"SVN", 1, 0x12345678, "Sorvane", 3840, 2160, 60, 600, 340};
    std::string detail;
    for (auto _ : state) benchmark::DoNotOptimize(build_edid(in, detail));
}
BENCHMARK(BM_BuildEdid);

}  // namespace
}  // namespace sorvane::vdd
