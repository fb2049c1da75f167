// The injectors' own cost per message, against ports that accept everything:
// a key message (down and up in turn, with a modifier), a relative move, a
// short text, and a touch frame of 1 or 10 moving contacts. "allocs" counts
// heap allocations per message; the sampled log lines are all there is.

#include <benchmark/benchmark.h>

#include "host/input/input_injector.h"
#include "host/input/touch_injector.h"
#include "platform/sim/manual_clock.h"
#include "tests/host/input/null_ports.h"
#include "tests/support/allocation_counter.h"

namespace sorvane {
namespace {

void count_allocations(benchmark::State& state, uint64_t before) {
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs"] =
        benchmark::Counter(double(test::allocation_count() - before) / double(state.iterations()));
}

template <class Step>
void injector_bench(benchmark::State& state, Step step) {
    sim::ManualClock clock;
    test::NullInputPorts ports;
    InputInjector injector("session 1", {}, InputPorts{ports, ports, clock});
    uint64_t n = 0;
    const uint64_t before = test::allocation_count();
    for (auto _ : state) {
        benchmark::DoNotOptimize(step(injector, n++));
        if (n % 64 == 0) clock.advance_ms(20);  // the foreground check comes due now and then
    }
    count_allocations(state, before);
}

void BM_KeyMessage(benchmark::State& state) {
    injector_bench(state, [](InputInjector& in, uint64_t n) { return in.key(0x04, n % 2 == 0, kModShift); });
}
BENCHMARK(BM_KeyMessage);

void BM_RelativeMove(benchmark::State& state) {
    injector_bench(state, [](InputInjector& in, uint64_t n) { return in.relative_move(n % 2 == 0 ? 3 : -3, 1); });
}
BENCHMARK(BM_RelativeMove);

void BM_TextMessage32Units(benchmark::State& state) {
    injector_bench(state, [](InputInjector& in, uint64_t) {
        return in.text("The quick brown fox jumps over \xF0\x9F\x98\x80");
    });
}
BENCHMARK(BM_TextMessage32Units);

void BM_TouchFrame(benchmark::State& state) {
    sim::ManualClock clock;
    test::NullInputPorts ports;
    TouchInjector touch(1, MonitorRef{true, 1, 1, ""}, TouchPorts{ports, ports, ports, clock});
    if (!touch.setup()) state.SkipWithError("setup");
    proto::TouchFrame frame{1, 0, {}};
    const auto contacts = static_cast<uint8_t>(state.range(0));
    for (uint8_t id = 0; id < contacts; ++id) frame.points.push_back({id, proto::kTouchDown, 0.05f * id, 0.5f});
    touch.inject(frame);
    for (auto& p : frame.points) p.phase = proto::kTouchMove;
    uint64_t n = 0;
    const uint64_t before = test::allocation_count();
    for (auto _ : state) {
        frame.points[0].x = 0.001f * static_cast<float>(n % 1000);
        benchmark::DoNotOptimize(touch.inject(frame));
        if (++n % 64 == 0) clock.advance_ms(20);  // the monitor lookup comes due every 2 s
    }
    count_allocations(state, before);
}
BENCHMARK(BM_TouchFrame)->Arg(1)->Arg(10);

}  // namespace
}  // namespace sorvane
