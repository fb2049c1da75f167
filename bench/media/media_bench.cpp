// The capture-to-bitstream chain of one frame on the CPU, as the pipeline
// runs it: the one copy of the duplicated desktop image with the encoder's
// BGRA to NV12 conversion of each run of rows as it is copied, on two cores,
// then H.264 encoding of test-card frames (with their full-motion region), at
// 1920x1080 and 2560x1600. Prints per-frame p50/p95/p99 and the shares of
// copy with conversion and of encoding; the conversion alone, scalar and vectorised, gives their
// ratio; the vibrance pass, exact and vectorised, against its definition;
// and x264's two kinds of threads on this machine's cores.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "host/media/color_vibrance.h"
#include "host/media/mf_encoder.h"
#include "host/media/row_split.h"
#include "platform/sim/desktop.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/test_card.h"

namespace {

using namespace sorvane;

double ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void BM_ConvertNv12(benchmark::State& state) {
    const uint32_t w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
    const bool simd = state.range(2) != 0;
    platform::CpuTexture card, nv12;
    sim::compose_test_card(w, h, 123456, {}, card);
    nv12.allocate(w, h, platform::kFormatNv12);
    uint8_t* uv = nv12.data.data() + static_cast<size_t>(w) * h;
    for (auto _ : state) {
        if (simd) {
            platform::bgra_to_nv12(card.data.data(), card.pitch, w, h, nv12.data.data(), w, uv, w);
        } else {
            platform::bgra_to_nv12_scalar(card.data.data(), card.pitch, w, h, nv12.data.data(), w, uv, w);
        }
        benchmark::DoNotOptimize(nv12.data.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * w * h * 4);
}
BENCHMARK(BM_ConvertNv12)
    ->ArgNames({"w", "h", "simd"})
    ->Args({1920, 1080, 0})
    ->Args({1920, 1080, 1})
    ->Args({2560, 1600, 0})
    ->Args({2560, 1600, 1})
    ->Unit(benchmark::kMillisecond);

// One frame of the chain per iteration; the simulated desktop's drawing of
// the card (the GPU's work under Windows) is outside the measured time.
void BM_CaptureConvertEncode(benchmark::State& state) {
    const uint32_t w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
    sim::ManualClock desktop_clock;
    sim::SimDesktop desktop(desktop_clock);
    desktop.add_adapter({0, "Sim GPU", 0x10DE, 0x42, false});
    sim::SimDisplay d;
    d.target_id = 1;
    d.gdi_name = "\\\\.\\DISPLAY1";
    d.width = w;
    d.height = h;
    desktop.add_display(d);
    sim::SimDuplication dup(desktop);
    std::shared_ptr<platform::GpuDevice> device;
    std::unique_ptr<platform::IOutputDuplication> out;
    if (dup.create_device(0, device) != 0 || dup.duplicate_output(0, 0, *device, out) != 0) {
        state.SkipWithError("duplication");
        return;
    }
    auto port = platform::make_mft_port();
    auto clock = platform::make_system_clock();
    MfEncoder enc(*port, *clock, {true, false, 0});
    EncodeConfig cfg{w, h, 60, device.get(), 20'000'000, 0};
    if (!enc.init(cfg)) {
        state.SkipWithError(enc.last_error().c_str());
        return;
    }
    platform::CpuTexture copy;
    copy.allocate(w, h, platform::kFormatBgra8);
    RowSplit split;
    std::vector<double> frame_ms, copy_ms;
    size_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        desktop_clock.advance_ms(17);
        platform::DuplicationFrameInfo info;
        const platform::CpuTexture* tex = nullptr;
        if (out->acquire_next_frame(0, info, tex) != 0 || tex == nullptr) {
            state.SkipWithError("acquire");
            break;
        }
        state.ResumeTiming();
        auto t0 = std::chrono::steady_clock::now();
        // The pipeline's one copy, converted a run of rows at a time as it is copied, on two cores.
        bool converted = true;
        split.run(h, kSplitRows, [&](uint32_t first, uint32_t end) {
            std::memcpy(copy.row(first), tex->row(first), static_cast<size_t>(end - first) * copy.pitch);
            if (!enc.convert_rows(copy, first, end)) converted = false;
        });
        copy_ms.push_back(ms_since(t0));
        out->release_frame();
        EncodedFrame ef;
        if (!converted || !enc.encode_converted(copy, 0, 0, ef)) {
            state.SkipWithError(enc.last_error().c_str());
            break;
        }
        bytes += ef.size;
        frame_ms.push_back(ms_since(t0));
    }
    if (frame_ms.empty()) return;
    std::vector<double> sorted = frame_ms;
    std::sort(sorted.begin(), sorted.end());
    double total = 0, copy_total = 0;
    for (double v : frame_ms) total += v;
    for (double v : copy_ms) copy_total += v;
    auto sum = [](const SampleSeries* s) { return s ? s->sum() : 0.0; };
    double mft = sum(enc.timings().series("mft"));
    state.counters["p50_ms"] = nearest_rank_percentile(sorted, 0.50);
    state.counters["p95_ms"] = nearest_rank_percentile(sorted, 0.95);
    state.counters["p99_ms"] = nearest_rank_percentile(sorted, 0.99);
    state.counters["copy_convert_share"] = copy_total / total;
    state.counters["encode_share"] = mft / total;
    state.counters["kB_per_frame"] = static_cast<double>(bytes) / 1024.0 / static_cast<double>(frame_ms.size());
    std::printf("chain %ux%u: %zu frames, p50 %s ms, p95 %s ms, p99 %s ms; copy and conversion %s%%, encode %s%% "
                "(%s)\n",
                w, h, frame_ms.size(), fixed_text(state.counters["p50_ms"], 2).c_str(),
                fixed_text(state.counters["p95_ms"], 2).c_str(), fixed_text(state.counters["p99_ms"], 2).c_str(),
                fixed_text(100 * copy_total / total, 1).c_str(), fixed_text(100 * mft / total, 1).c_str(),
                enc.stage_summary().c_str());
}
BENCHMARK(BM_CaptureConvertEncode)
    ->ArgNames({"w", "h"})
    ->Args({1920, 1080})
    ->Iterations(240)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CaptureConvertEncode)
    ->ArgNames({"w", "h"})
    ->Args({2560, 1600})
    ->Iterations(120)
    ->Unit(benchmark::kMillisecond);

// Scalar/SIMD ratio of the conversion, measured directly.
void BM_ConvertRatio(benchmark::State& state) {
    const uint32_t w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
    platform::CpuTexture card, nv12;
    sim::compose_test_card(w, h, 123456, {}, card);
    nv12.allocate(w, h, platform::kFormatNv12);
    uint8_t* uv = nv12.data.data() + static_cast<size_t>(w) * h;
    double scalar = 0, simd = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        platform::bgra_to_nv12_scalar(card.data.data(), card.pitch, w, h, nv12.data.data(), w, uv, w);
        scalar += ms_since(t0);
        t0 = std::chrono::steady_clock::now();
        platform::bgra_to_nv12(card.data.data(), card.pitch, w, h, nv12.data.data(), w, uv, w);
        simd += ms_since(t0);
        benchmark::DoNotOptimize(nv12.data.data());
    }
    state.counters["scalar_ms"] = scalar / static_cast<double>(state.iterations());
    state.counters["simd_ms"] = simd / static_cast<double>(state.iterations());
    state.counters["scalar_over_simd"] = simd > 0 ? scalar / simd : 0;
    std::printf("convert %ux%u: scalar %s ms, SSE2 %s ms, scalar/SIMD %s\n", w, h,
                fixed_text(scalar / static_cast<double>(state.iterations()), 3).c_str(),
                fixed_text(simd / static_cast<double>(state.iterations()), 3).c_str(),
                fixed_text(simd > 0 ? scalar / simd : 0, 2).c_str());
}
BENCHMARK(BM_ConvertRatio)->ArgNames({"w", "h"})->Args({1920, 1080})->Args({2560, 1600})->Iterations(60)->Unit(benchmark::kMillisecond);

// The vibrance pass on test-card frames at "medium": the definition (three
// divisions a pixel) against the pass the pipeline runs.
void BM_Vibrance(benchmark::State& state) {
    const uint32_t w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
    const bool definition = state.range(2) != 0;
    platform::CpuTexture card, out;
    sim::compose_test_card(w, h, 123456, {}, card);
    out.allocate(w, h, platform::kFormatBgra8);
    const float f = vibrance_level_factor(VibranceLevel::medium);
    for (auto _ : state) {
        if (definition) {
            vibrance_scalar(card.data.data(), card.pitch, w, h, f, out.data.data(), out.pitch);
        } else {
            vibrance(card.data.data(), card.pitch, w, h, f, out.data.data(), out.pitch);
        }
        benchmark::DoNotOptimize(out.data.data());
    }
}
BENCHMARK(BM_Vibrance)
    ->ArgNames({"w", "h", "definition"})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 0})
    ->Unit(benchmark::kMillisecond);

// x264 as the transform opens it (ultrafast, zero latency, 20 Mbit/s, one
// frame of rate-control buffer) with its threads on the slices of a frame
// or on successive frames: time per frame, and how many frames the encoder
// holds back before the first comes out (the latency frame threads add).
void BM_X264Threads(benchmark::State& state) {
    const uint32_t w = static_cast<uint32_t>(state.range(0)), h = static_cast<uint32_t>(state.range(1));
    const bool sliced = state.range(2) != 0;
    x264_param_t p;
    x264_param_default_preset(&p, "ultrafast", "zerolatency");
    p.i_width = static_cast<int>(w);
    p.i_height = static_cast<int>(h);
    p.i_csp = X264_CSP_NV12;
    p.i_fps_num = 60;
    p.i_fps_den = 1;
    p.i_threads = 2;
    p.b_sliced_threads = sliced ? 1 : 0;
    p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p.i_scenecut_threshold = 0;
    p.i_bframe = 0;
    p.i_log_level = X264_LOG_NONE;
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = 20'000;
    p.rc.i_vbv_max_bitrate = 20'000;
    p.rc.i_vbv_buffer_size = 20'000 / 60;
    x264_param_apply_profile(&p, "high");
    x264_t* enc = x264_encoder_open(&p);
    if (enc == nullptr) {
        state.SkipWithError("x264_encoder_open");
        return;
    }
    // 60 distinct frames of the card, cycled.
    std::vector<std::vector<uint8_t>> frames(60);
    platform::CpuTexture card;
    for (size_t i = 0; i < frames.size(); ++i) {
        sim::compose_test_card(w, h, 1'765'000'000'000ull + 17 * i, {}, card);
        frames[i].resize(static_cast<size_t>(w) * h * 3 / 2);
        platform::bgra_to_nv12(card.data.data(), card.pitch, w, h, frames[i].data(), w,
                               frames[i].data() + static_cast<size_t>(w) * h, w);
    }
    int64_t pts = 0;
    int first_out = -1;
    x264_picture_t pic, out;
    x264_picture_init(&pic);
    pic.img.i_csp = X264_CSP_NV12;
    pic.img.i_plane = 2;
    pic.img.i_stride[0] = pic.img.i_stride[1] = static_cast<int>(w);
    const auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::vector<uint8_t>& f = frames[static_cast<size_t>(pts) % frames.size()];
        pic.img.plane[0] = f.data();
        pic.img.plane[1] = f.data() + static_cast<size_t>(w) * h;
        pic.i_pts = pts;
        x264_nal_t* nals = nullptr;
        int count = 0;
        const int bytes = x264_encoder_encode(enc, &nals, &count, &pic, &out);
        if (bytes > 0 && first_out < 0) first_out = static_cast<int>(pts);
        ++pts;
    }
    const double per_frame = ms_since(t0) / static_cast<double>(std::max<int64_t>(pts, 1));
    x264_encoder_close(enc);
    state.counters["frames_held_back"] = first_out;
    std::printf("x264 %ux%u, 2 %s threads: %s ms a frame, %d frame(s) held back before the first access unit\n", w,
                h, sliced ? "slice" : "frame", fixed_text(per_frame, 2).c_str(), first_out);
}
BENCHMARK(BM_X264Threads)
    ->ArgNames({"w", "h", "sliced"})
    ->Args({1920, 1080, 1})
    ->Args({1920, 1080, 0})
    ->Args({2560, 1600, 1})
    ->Args({2560, 1600, 0})
    ->Iterations(240)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
