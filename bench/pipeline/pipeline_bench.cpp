// The whole host chain of a streaming session, frame by frame, on the real
// clock: the session video pipeline captures the simulated desktop (the test
// card with its full-motion region, at 60 Hz), copies the image, applies the
// vibrance pass (off, then on), draws the pointer, converts and encodes with
// x264, seals with the session cipher and sends every datagram over loopback
// to a receiver that drains them: one system call per datagram, or the
// datagrams of each access unit in batches through the socket port.
//
// Per configuration it prints the pipeline's own acquire-to-last-datagram
// time per frame (p50, p95, p99), the frame rate reached, the CPU share of
// the host's work (process CPU time from getrusage, less the simulated
// desktop's drawing of the card and the receiving thread, both measured on
// their threads) and the share of one core that sealing plus sending take
// (CPU time of the frame thread) at the datagram rate reached and at 60 fps.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "host/core/settings.h"
#include "host/media/color_vibrance.h"
#include "host/media/encoder.h"
#include "host/media/mf_encoder.h"
#include "host/media/pipeline_capture.h"
#include "host/media/video_pipeline.h"
#include "platform/sim/desktop.h"
#include "platform/socket.h"
#include "tests/host/media/real_path.h"

namespace {

using namespace sorvane;
using Clock = std::chrono::steady_clock;

double cpu_seconds(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double process_cpu_seconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The duplication capture, with the thread CPU time its acquire spends (the
// simulated desktop draws the card there; under Windows that is the GPU's).
class TimedCapture final : public IPipelineCapture {
public:
    explicit TimedCapture(std::unique_ptr<IPipelineCapture> inner) : inner_(std::move(inner)) {}
    double acquire_cpu_s = 0;

    CaptureStatus acquire(uint32_t timeout_ms, CaptureFrame& frame) override {
        const double t0 = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        const CaptureStatus s = inner_->acquire(timeout_ms, frame);
        acquire_cpu_s += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - t0;
        return s;
    }
    void release_frame() override { inner_->release_frame(); }
    bool reopen() override { return inner_->reopen(); }
    void close() override { inner_->close(); }
    int32_t last_hr() const override { return inner_->last_hr(); }
    int32_t release_hr() const override { return inner_->release_hr(); }
    const std::vector<uint8_t>& shape_buffer() const override { return inner_->shape_buffer(); }
    platform::PointerShapeInfo shape_info() const override { return inner_->shape_info(); }
    const platform::GpuDevice* device() const override { return inner_->device(); }
    bool snapshot_gdi(int32_t l, int32_t t, int32_t r, int32_t b, std::vector<uint8_t>& bgra) override {
        return inner_->snapshot_gdi(l, t, r, b, bgra);
    }
    void nudge(int32_t l, int32_t t, int32_t r, int32_t b) override { inner_->nudge(l, t, r, b); }

private:
    std::unique_ptr<IPipelineCapture> inner_;
};

// A 32 x 32 colour pointer with a soft edge (alpha blending on every pixel).
void set_pointer(sim::SimDesktop& desktop, int32_t x, int32_t y) {
    platform::PointerShapeInfo info;
    info.type = kPointerColor;
    info.width = info.height = 32;
    info.pitch = 32 * 4;
    std::vector<uint8_t> px(32 * 32 * 4);
    for (uint32_t i = 0; i < 32 * 32; ++i) {
        const uint32_t r = i / 32, c = i % 32;
        px[i * 4 + 0] = 240;
        px[i * 4 + 1] = 240;
        px[i * 4 + 2] = 240;
        px[i * 4 + 3] = c <= r ? static_cast<uint8_t>(255 - 4 * (r - c)) : 0;
    }
    desktop.set_pointer_shape(info, std::move(px));
    desktop.set_pointer_position(x, y);
}

void BM_HostChain(benchmark::State& state) {
    const uint32_t w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
    const bool vibrance = state.range(2) != 0;
    const bool batched = state.range(3) != 0;
    // The stream's own rate and bit rate, as a session configures the
    // encoder: the next send is due 0.9 frame periods after the previous one
    // was decided, so a chain shorter than a frame period keeps 60 frames a
    // second, and a longer one sets the rate itself.
    const uint32_t stream_fps = 60;
    const double seconds = 5.0;

    // Settings of their own, for the vibrance level.
    char dir_template[] = "/tmp/sorvane-pipeline-bench-XXXXXX";
    const char* dir = mkdtemp(dir_template);
    if (dir == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    // The folder goes whole at the end (the settings store leaves its lock file there).
    struct RemoveFolder {
        std::string path;
        ~RemoveFolder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } remove_folder{dir};
    const std::string settings = std::string(dir) + "/settings.txt";
    setenv(kSettingsPathVariable, settings.c_str(), 1);
    set_vibrance_level(vibrance ? 2 : 0);

    auto clock = platform::make_system_clock();
    sim::SimDesktop desktop(*clock);
    desktop.add_adapter({0, "Sim GPU", 0x10DE, 0x42, false});
    sim::SimDisplay display;
    display.target_id = 1;
    display.source_id = 1;
    display.gdi_name = "\\\\.\\DISPLAY2";
    display.device_id = "\\\\?\\DISPLAY#SVN0001#1";
    display.width = w;
    display.height = h;
    display.refresh_hz = 60;
    desktop.add_display(display);
    set_pointer(desktop, static_cast<int32_t>(w / 3), static_cast<int32_t>(h / 3));
    sim::SimDuplication dup(desktop);

    // The receiving end on loopback, drained by a thread of its own.
    platform::UdpSocket rx, tx;
    uint32_t granted = 0;
    if (!rx.open("127.0.0.1", 0).ok() || !tx.open("127.0.0.1", 0).ok()) {
        state.SkipWithError("no sockets");
        return;
    }
    tx.set_send_buffer(4 * 1024 * 1024, granted);
    rx.set_receive_buffer(4 * 1024 * 1024, granted);
    std::atomic<bool> draining{true};
    std::atomic<uint64_t> received{0};
    std::atomic<double> drain_cpu_s{0};  // the receiver thread's CPU time so far
    std::thread drain([&] {
        std::vector<uint8_t> b(2048);
        while (draining.load()) {
            if (rx.receive_from(b.data(), b.size(), nullptr, 20).ok()) received.fetch_add(1);
            drain_cpu_s.store(cpu_seconds(CLOCK_THREAD_CPUTIME_ID));
        }
    });
    const platform::Endpoint to{platform::kLoopbackAddress, rx.port()};

    auto mft = platform::make_mft_port();
    TimedCapture* timed = nullptr;
    const CaptureOpener dxgi = make_dxgi_capture_opener(dup);
    PipelineEnv env{*clock,
                    [&](const MonitorRef& monitor, OpenedCapture& out, std::string& error) {
                        if (!dxgi(monitor, out, error)) return false;
                        auto t = std::make_unique<TimedCapture>(std::move(out.capture));
                        timed = t.get();
                        out.capture = std::move(t);
                        return true;
                    },
                    test::software_encoder_factory(*mft, *clock)};
    VideoPipeline pipeline(env);
    PipelineConfig config;
    config.monitor.by_target = true;
    config.monitor.adapter_luid = 0x42;
    config.monitor.target_id = 1;
    config.fps = stream_fps;
    config.bitrate = 20'000'000;
    config.session_id = 1;
    std::string error;
    if (!pipeline.open(config, error)) {
        state.SkipWithError(error.c_str());
        draining.store(false);
        rx.shutdown();
        drain.join();
        return;
    }

    uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i * 13 + 1);
    const FragmentSealer seal = cipher_sealer(VideoCipher::create(key));
    // Sealing and sending are timed together on the frame thread's CPU
    // clock, from the first fragment's sealing to the last one's sending.
    double seal_send_s = 0, seal_start = 0;
    uint64_t datagrams = 0, send_failures = 0;
    bool last_fragment = false;
    pipeline.set_sealer([&](const FragmentFields& f, proto::ByteView piece, proto::Bytes& datagram) {
        if (f.fragment_index == 0) seal_start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
        last_fragment = f.fragment_index + 1 == f.fragment_count;
        return seal(f, piece, datagram);
    });
    if (batched) {
        pipeline.set_batch_sender([&](const proto::ByteView* d, size_t n, bool* sent) {
            platform::DatagramView views[platform::kUdpBatchMax];
            platform::SocketResult results[platform::kUdpBatchMax];
            for (size_t k = 0; k < n; ++k) views[k] = {d[k].data(), d[k].size()};
            tx.send_batch(to, views, n, results);
            for (size_t k = 0; k < n; ++k) {
                sent[k] = results[k].ok();
                send_failures += sent[k] ? 0 : 1;
            }
            if (last_fragment) seal_send_s += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - seal_start;
            datagrams += n;
        });
    }
    pipeline.begin_inline([&](proto::ByteView d) {
        const bool ok = tx.send_to(to, d.data(), d.size()).ok();
        if (last_fragment) seal_send_s += cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - seal_start;
        ++datagrams;
        send_failures += ok ? 0 : 1;
        return ok;
    });
    pipeline.start();

    // Warm up for half a second (encoder start, first IDR), then measure.
    const auto warm_end = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < warm_end && pipeline.pass()) {
    }
    const size_t frames_before = pipeline.frame_records().size();
    const uint64_t datagrams_before = datagrams;
    const double seal_send_before = seal_send_s;
    const double capture_cpu_before = timed ? timed->acquire_cpu_s : 0;
    const double drain_before = drain_cpu_s.load();
    const double cpu_before = process_cpu_seconds();
    const auto t0 = Clock::now();
    for (auto _ : state) {
        const auto end = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        while (Clock::now() < end && pipeline.pass()) {
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = process_cpu_seconds() - cpu_before;
    const double capture_cpu = (timed ? timed->acquire_cpu_s : 0) - capture_cpu_before;
    const double drain_cpu = drain_cpu_s.load() - drain_before;
    draining.store(false);
    rx.shutdown();
    drain.join();
    const double seal_send_cpu = seal_send_s - seal_send_before;
    const uint64_t sent_datagrams = datagrams - datagrams_before;
    pipeline.stop();

    std::vector<FrameRecord> records = pipeline.frame_records();
    records.erase(records.begin(), records.begin() + static_cast<ptrdiff_t>(std::min(frames_before, records.size())));
    if (records.empty()) {
        state.SkipWithError("no frame was sent");
        return;
    }
    std::vector<double> latency, encode;
    double kib = 0;
    for (const FrameRecord& r : records) {
        latency.push_back(r.acquire_to_sent_ms);
        encode.push_back(r.encode_ms);
        kib += static_cast<double>(r.bytes) / 1024.0;
    }
    std::sort(latency.begin(), latency.end());
    std::sort(encode.begin(), encode.end());
    const double fps = static_cast<double>(records.size()) / wall;
    const double rate = static_cast<double>(sent_datagrams) / wall;
    const double host_cpu = std::max(0.0, cpu - capture_cpu - drain_cpu);
    const double frames = static_cast<double>(records.size());
    const double per_datagram_us = sent_datagrams == 0 ? 0.0 : 1e6 * seal_send_cpu / static_cast<double>(sent_datagrams);
    // At the full 60 frames a second, with the datagrams per frame measured.
    const double rate_at_60 = rate * 60.0 / fps;
    state.counters["p50_ms"] = nearest_rank_percentile(latency, 0.50);
    state.counters["p95_ms"] = nearest_rank_percentile(latency, 0.95);
    state.counters["p99_ms"] = nearest_rank_percentile(latency, 0.99);
    state.counters["fps"] = fps;
    state.counters["host_cpu_pct"] = 100.0 * host_cpu / wall;
    state.counters["host_cpu_ms_per_frame"] = 1000.0 * host_cpu / frames;
    state.counters["seal_send_core_pct"] = 100.0 * seal_send_cpu / wall;
    state.counters["seal_send_core_pct_at_60"] = per_datagram_us * rate_at_60 / 1e4;
    state.counters["datagrams_per_s"] = rate;
    std::printf("host chain %ux%u@60 (stream rate %u), vibrance %s, %s: %zu frames in %s s (%s fps), %s KiB/frame\n"
                "  acquire->last datagram sent: p50 %s ms, p95 %s ms, p99 %s ms (encode p50 %s ms)\n"
                "  host CPU: %s%% of one core, %s ms per frame (process %s%%, less the desktop's drawing %s%% and the "
                "receiver %s%%)\n"
                "  seal+send: %s us CPU per datagram, %s%% of one core at %s datagrams/s; %s%% at 60 fps "
                "(%s datagrams/s); %llu send failures\n",
                w, h, stream_fps, vibrance ? "medium" : "off", batched ? "datagrams in batches" : "one call per datagram",
                records.size(), fixed_text(wall, 2).c_str(),
                fixed_text(fps, 1).c_str(), fixed_text(kib / frames, 1).c_str(),
                fixed_text(state.counters["p50_ms"], 2).c_str(), fixed_text(state.counters["p95_ms"], 2).c_str(),
                fixed_text(state.counters["p99_ms"], 2).c_str(),
                fixed_text(nearest_rank_percentile(encode, 0.50), 2).c_str(),
                fixed_text(100.0 * host_cpu / wall, 1).c_str(), fixed_text(1000.0 * host_cpu / frames, 2).c_str(),
                fixed_text(100.0 * cpu / wall, 1).c_str(), fixed_text(100.0 * capture_cpu / wall, 1).c_str(),
                fixed_text(100.0 * drain_cpu / wall, 1).c_str(), fixed_text(per_datagram_us, 2).c_str(),
                fixed_text(100.0 * seal_send_cpu / wall, 2).c_str(), fixed_text(rate, 0).c_str(),
                fixed_text(per_datagram_us * rate_at_60 / 1e4, 2).c_str(), fixed_text(rate_at_60, 0).c_str(),
                static_cast<unsigned long long>(send_failures));
    set_vibrance_level(0);
    unsetenv(kSettingsPathVariable);
}
BENCHMARK(BM_HostChain)
    ->ArgNames({"w", "h", "vibrance", "batch"})
    ->Args({1920, 1080, 0, 0})
    ->Args({1920, 1080, 0, 1})
    ->Args({1920, 1080, 1, 1})
    ->Args({2560, 1600, 0, 1})
    ->Args({2560, 1600, 1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
