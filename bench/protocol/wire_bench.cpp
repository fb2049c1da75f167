// Encoding and decoding of the busiest messages, and the frame reader over a
// stream of small frames. "allocs" counts heap allocations per message.

#include <benchmark/benchmark.h>


#include "host/protocol/control_messages.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/input_messages.h"
#include "tests/support/allocation_counter.h"

namespace sorvane::proto {
namespace {

TouchFrame two_finger_touch() {
    return TouchFrame{7, 123'456, {TouchPoint{0, kTouchMove, 0.25f, 0.5f}, TouchPoint{1, kTouchMove, 0.75f, 0.5f}}};
}

Bytes payload_of(const Bytes& frame) { return Bytes(frame.begin() + kFrameHeaderSize, frame.end()); }

template <class M>
void encode_bench(benchmark::State& state, const M& message) {
    Bytes out;
    out.reserve(256);
    const uint64_t before = test::allocation_count();
    for (auto _ : state) {
        out.clear();
        benchmark::DoNotOptimize(encode_message(message, out));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs"] = benchmark::Counter(double(test::allocation_count() - before) / double(state.iterations()));
}

template <class Decode>
void decode_bench(benchmark::State& state, uint8_t type, const Bytes& payload, Decode decode) {
    const uint64_t before = test::allocation_count();
    for (auto _ : state) {
        auto d = decode(type, payload);
        benchmark::DoNotOptimize(d);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["allocs"] = benchmark::Counter(double(test::allocation_count() - before) / double(state.iterations()));
}

void BM_EncodeTouchFrame(benchmark::State& state) { encode_bench(state, two_finger_touch()); }
void BM_EncodePointerMove(benchmark::State& state) { encode_bench(state, PointerMove{7, 0.5f, 0.25f, 99}); }
void BM_EncodeHeartbeat(benchmark::State& state) { encode_bench(state, Heartbeat{7, 123'456'789}); }

void BM_DecodeTouchFrame(benchmark::State& state) {
    Bytes f;
    encode_message(two_finger_touch(), f);
    decode_bench(state, TouchFrame::kType, payload_of(f), decode_input);
}
void BM_DecodePointerMove(benchmark::State& state) {
    Bytes f;
    encode_message(PointerMove{7, 0.5f, 0.25f, 99}, f);
    decode_bench(state, PointerMove::kType, payload_of(f), decode_input);
}
void BM_DecodeHeartbeat(benchmark::State& state) {
    Bytes f;
    encode_message(Heartbeat{7, 123'456'789}, f);
    decode_bench(state, Heartbeat::kType, payload_of(f), decode_control);
}

// 16 KiB reads of a stream of pointer moves, touch frames and key events,
// each frame taken from the reader and decoded, as the input connection does.
void BM_FrameReaderSmallFrames(benchmark::State& state) {
    Bytes stream;
    size_t frames = 0;
    while (stream.size() < 1'000'000) {
        encode_message(PointerMove{7, 0.5f, 0.25f, frames}, stream);
        encode_message(two_finger_touch(), stream);
        encode_message(KeyEvent{7, 4, true, 0}, stream);
        frames += 3;
    }
    constexpr size_t kRead = 16'384;
    FrameReader reader;
    const auto pass = [&] {
        for (size_t at = 0; at < stream.size(); at += kRead) {
            reader.append(ByteView(stream.data() + at, std::min(kRead, stream.size() - at)));
            for (auto r = reader.next(); r.status == FrameReader::Status::frame; r = reader.next()) {
                auto d = decode_input(r.type, r.payload);
                benchmark::DoNotOptimize(d);
            }
        }
    };
    pass();  // the reader's buffer reaches its working size
    const uint64_t before = test::allocation_count();
    for (auto _ : state) pass();
    const double messages = double(state.iterations()) * double(frames);
    state.SetItemsProcessed(int64_t(messages));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(stream.size()));
    state.counters["allocs"] = benchmark::Counter(double(test::allocation_count() - before) / messages);
}

BENCHMARK(BM_EncodeTouchFrame);
BENCHMARK(BM_EncodePointerMove);
BENCHMARK(BM_EncodeHeartbeat);
BENCHMARK(BM_DecodeTouchFrame);
BENCHMARK(BM_DecodePointerMove);
BENCHMARK(BM_DecodeHeartbeat);
BENCHMARK(BM_FrameReaderSmallFrames);

}  // namespace
}  // namespace sorvane::proto
