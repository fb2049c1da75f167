// Sealing and fragmenting access units into video datagrams, and sealing plus
// sending them over loopback, the frame thread's whole share of the stream.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "host/net/video_datagram.h"
#include "platform/socket.h"
#include "tests/support/allocation_counter.h"

namespace {

using namespace sorvane;

std::unique_ptr<VideoCipher> make_cipher() {
    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 7);
    return VideoCipher::create(key);
}

// Seal and fragment one access unit of state.range(0) bytes; the sender
// only counts. Reports allocations per frame after the first.
void BM_SealFrame(benchmark::State& state) {
    auto cipher = make_cipher();
    const proto::Bytes frame(static_cast<size_t>(state.range(0)), 0x5A);
    FrameSealer sealer;
    uint64_t datagrams = 0;
    const VideoSender count = [&datagrams](proto::ByteView) {
        ++datagrams;
        return true;
    };
    uint32_t seq = 0;
    uint32_t sent = 0;
    sealer.send_frame(*cipher, 1, ++seq, 0, true, frame, count, sent);  // warms the buffer
    const uint64_t before = test::allocation_count();
    for (auto _ : state) {
        if (sealer.send_frame(*cipher, 1, ++seq, 0, true, frame, count, sent) != FrameSealer::Result::sent)
            state.SkipWithError("seal failed");
    }
    state.counters["allocs_per_frame"] =
        static_cast<double>(test::allocation_count() - before) / static_cast<double>(state.iterations());
    state.counters["datagrams"] = benchmark::Counter(static_cast<double>(datagrams), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SealFrame)->Arg(40 * 1024)->Arg(300 * 1024)->Unit(benchmark::kMicrosecond);

// Seal and send full datagrams over loopback, one system call each, as the
// transport's send_video does. The receiver drains in a thread of its own.
void BM_SealAndSendLoopback(benchmark::State& state) {
    auto cipher = make_cipher();
    platform::UdpSocket rx, tx;
    if (!rx.open("127.0.0.1", 0).ok() || !tx.open("127.0.0.1", 0).ok()) {
        state.SkipWithError("no sockets");
        return;
    }
    uint32_t granted = 0;
    tx.set_send_buffer(4 * 1024 * 1024, granted);
    rx.set_receive_buffer(4 * 1024 * 1024, granted);
    std::atomic<bool> run{true};
    std::thread drain([&] {
        std::vector<uint8_t> b(2048);
        while (run.load()) rx.receive_from(b.data(), b.size(), nullptr, 20);
    });
    const platform::Endpoint to{platform::kLoopbackAddress, rx.port()};
    const VideoSender send = [&](proto::ByteView d) { return tx.send_to(to, d.data(), d.size()).ok(); };
    const proto::Bytes frame(kMaxFragmentPayload * 30, 0x33);  // 30 full datagrams
    FrameSealer sealer;
    uint32_t seq = 0;
    uint32_t sent = 0;
    uint64_t datagrams = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (sealer.send_frame(*cipher, 1, ++seq, 0, false, frame, send, sent) != FrameSealer::Result::sent)
            state.SkipWithError("send failed");
        datagrams += sent;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.store(false);
    rx.shutdown();
    drain.join();
    state.counters["datagrams"] = benchmark::Counter(static_cast<double>(datagrams), benchmark::Counter::kIsRate);
    // The share of one core that 1,900 datagrams a second (20 Mbit/s at 60 fps) take.
    state.counters["core_pct_at_1900_per_s"] = datagrams > 0 ? 1900.0 * 100.0 * seconds / static_cast<double>(datagrams) : 0;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_SealAndSendLoopback)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
