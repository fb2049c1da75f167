// The control pipe end to end through the machine's real socket: round trips
// of PING and of MONITOR_ADD (with its MONITOR_REMOVE) as the host's client
// sees them, p50 and p99, and the time from a MONITOR_ADD request until
// another reader of the machine sees the monitor in the display topology.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <chrono>
#include <filesystem>
#include <vector>

#include "driver/core/control_plane.h"
#include "driver/runtime/driver_backend.h"
#include "driver/runtime/pipe_server.h"
#include "host/monitors/driver_control_client.h"
#include "platform/sim/iddcx_sim.h"

namespace sorvane::vdd {
namespace {

struct Driver {
    Driver() {
        root = std::filesystem::temp_directory_path() / ("sorvane-bench-" + std::to_string(::getpid()));
        std::filesystem::remove_all(root);
        setenv("SORVANE_SIM_ROOT", root.c_str(), 1);
        machine = std::make_shared<sim::Machine>(root.string());
        machine->initialize({});
        iddcx = std::make_unique<sim::SimIddCx>(machine);
        backend = std::make_unique<DriverBackend>(*iddcx, *clock);
        ControlConfig config;
        config.rate_limit = 1u << 30;  // the benchmark's own pace, not the limit, is measured
        config.logger = LineLogger();
        control = std::make_unique<ControlPlane>(*backend, *clock, config);
        backend->device_add();
        backend->d0_entry();
        PipeServerOptions o;
        o.sddl = build_security_descriptor(platform::process_user_sid(), {}).sddl;
        ControlPlane* c = control.get();
        server = std::make_unique<PipeServer>(
            o, PipeHandlers{[c](uint32_t id, std::string_view r) { return c->handle_request(id, r); },
                            [c](uint32_t id) { c->on_disconnect(id); }});
        std::string error;
        server->start(error);
        while (!backend->adapter_ready()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        client = std::make_unique<DriverControlClient>(*clock);
        client->connect(3000, error);
    }
    ~Driver() {
        client.reset();
        server.reset();
        control.reset();
        backend.reset();
        iddcx.reset();
        std::filesystem::remove_all(root);
        unsetenv("SORVANE_SIM_ROOT");
    }
    std::filesystem::path root;
    std::unique_ptr<platform::IClock> clock = platform::make_system_clock();
    std::shared_ptr<sim::Machine> machine;
    std::unique_ptr<sim::SimIddCx> iddcx;
    std::unique_ptr<DriverBackend> backend;
    std::unique_ptr<ControlPlane> control;
    std::unique_ptr<PipeServer> server;
    std::unique_ptr<DriverControlClient> client;
};

void report(benchmark::State& state, std::vector<double>& us) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    // Nearest position: the value at ceil(p * n) - 1.
    const auto at = [&](double p) { return us[static_cast<size_t>(std::max(1.0, std::ceil(p * us.size()))) - 1]; };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

double since_us(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t).count();
}

void BM_PipePing(benchmark::State& state) {
    Driver d;
    std::vector<double> us;
    for (auto _ : state) {
        const auto t = std::chrono::steady_clock::now();
        ControlReply r;
        d.client->request("PING", r);
        us.push_back(since_us(t));
        if (!r.ok) state.SkipWithError("PING failed");
    }
    report(state, us);
}
BENCHMARK(BM_PipePing)->UseRealTime();

void BM_PipeMonitorAddRemove(benchmark::State& state) {
    Driver d;
    std::vector<double> add_us;
    std::vector<double> arrival_us;
    sim::Machine reader(d.root.string());  // another view of the machine, as the host has
    for (auto _ : state) {
        const auto t = std::chrono::steady_clock::now();
        ControlReply r;
        MonitorAddReply added;
        if (!d.client->monitor_add(2560, 1600, 60, "", 0, 0, r, added)) {
            state.SkipWithError(("MONITOR_ADD failed: " + DriverControlClient::describe(r)).c_str());
            break;
        }
        add_us.push_back(since_us(t));
        bool seen = false;
        while (!seen) {
            reader.read([&](const sim::MachineState& s) {
                seen = s.display.find_target({added.os_luid.high, added.os_luid.low}, added.os_target) != nullptr;
            });
        }
        arrival_us.push_back(since_us(t));
        state.PauseTiming();
        d.client->monitor_remove(added.id, r);
        // The next add waits for the slot to be free again.
        DriverState ds;
        while (d.client->get_state(r, ds) && !ds.monitors.empty()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        state.ResumeTiming();
    }
    report(state, add_us);
    if (!arrival_us.empty()) {
        std::sort(arrival_us.begin(), arrival_us.end());
        state.counters["arrival_p50_us"] = arrival_us[arrival_us.size() / 2];
    }
}
BENCHMARK(BM_PipeMonitorAddRemove)->UseRealTime()->Iterations(200);

}  // namespace
}  // namespace sorvane::vdd
