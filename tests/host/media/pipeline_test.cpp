// The session video pipeline on a manual clock, driven pass by pass: a
// scripted capture (a desktop that changes at a rate, or stays still), a
// scripted encoder (size, key frames, time spent) and a recording sealer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <thread>

#include "host/core/settings.h"
#include "host/media/pipeline_capture.h"
#include "host/media/video_pipeline.h"
#include "platform/sim/desktop.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/mft_scripted.h"
#include "tests/host/media/media_test_util.h"
#include "tests/host/media/real_path.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

constexpr uint32_t kW = 64, kH = 32;

// A simulated desktop with one display of kW x kH: target 3 on the adapter
// of LUID 0x42.
struct SimScreen {
    explicit SimScreen(sim::ManualClock& clock) : desktop(clock), dup(desktop) {
        desktop.add_adapter({0, "Sim GPU", 0x10DE, 0x42, false});
        sim::SimDisplay d;
        d.target_id = 3;
        d.source_id = 1;
        d.gdi_name = "\\\\.\\DISPLAY2";
        d.device_id = "\\\\?\\DISPLAY#SVN0001#1";
        d.width = kW;
        d.height = kH;
        desktop.add_display(d);
    }
    sim::SimDesktop desktop;
    sim::SimDuplication dup;
};

class FakeCapture final : public IPipelineCapture {
public:
    explicit FakeCapture(sim::ManualClock& clock) : clock_(clock) {
        texture.allocate(kW, kH, platform::kFormatBgra8);
        next_image_us = clock.now_us();
    }
    uint64_t period_us = 16'667;  // 0: a still desktop (one image, then nothing)
    uint64_t next_image_us;
    bool presents = true;
    std::deque<CaptureStatus> script;  // statuses returned before anything else
    int32_t hr = static_cast<int32_t>(0x887A0001u);
    uint32_t reopens = 0, nudges = 0, snapshots = 0;
    platform::CpuTexture texture;
    std::vector<uint8_t> shape;

    CaptureStatus acquire(uint32_t timeout_ms, CaptureFrame& f) override {
        f = CaptureFrame{};
        if (!script.empty()) {
            CaptureStatus s = script.front();
            script.pop_front();
            return s;
        }
        const uint64_t deadline = clock_.now_us() + timeout_ms * 1000ull;
        for (;;) {
            const uint64_t now = clock_.now_us();
            if (presents && !done_still_ && now >= next_image_us) {
                f.has_image = true;
                f.present_us = next_image_us;
                f.acquire_us = now;
                f.texture = &texture;
                if (period_us == 0) done_still_ = true;
                else while (next_image_us <= now) next_image_us += period_us;
                return CaptureStatus::frame;
            }
            if (now >= deadline) return CaptureStatus::timeout;
            const uint64_t until = presents && !done_still_ ? std::min(deadline, next_image_us) : deadline;
            clock_.advance_us(until - now);
        }
    }
    void release_frame() override {}
    bool reopen() override { return ++reopens > 0; }
    void close() override {}
    int32_t last_hr() const override { return hr; }
    int32_t release_hr() const override { return 0; }
    const std::vector<uint8_t>& shape_buffer() const override { return shape; }
    platform::PointerShapeInfo shape_info() const override { return {}; }
    const platform::GpuDevice* device() const override { return &device_; }
    bool snapshot_gdi(int32_t, int32_t, int32_t, int32_t, std::vector<uint8_t>& bgra) override {
        ++snapshots;
        bgra.assign(kW * kH * 4, 7);
        return true;
    }
    void nudge(int32_t, int32_t, int32_t, int32_t) override { ++nudges; }

private:
    sim::ManualClock& clock_;
    platform::GpuDevice device_{};
    bool done_still_ = false;
};

class FakeEncoder final : public IEncoder {
public:
    explicit FakeEncoder(sim::ManualClock& clock) : clock_(clock) { input.allocate(kW, kH, platform::kFormatBgra8); }
    size_t size = 3000;
    uint64_t encode_us = 1000;
    std::deque<size_t> sizes;  // next sizes, before `size`
    std::vector<bool> keys;
    platform::CpuTexture input;

    bool init(const EncodeConfig&) override { return true; }
    bool copy_input(const platform::CpuTexture*) override { return true; }
    bool encode_frame(EncodedFrame& out) override {
        clock_.advance_us(encode_us);
        size_t n = size;
        if (!sizes.empty()) {
            n = sizes.front();
            sizes.pop_front();
        }
        bytes_.assign(std::min<size_t>(n, 1 << 20), 0xAB);  // a size beyond that is never sent
        out.data = bytes_.data();
        out.size = n;
        out.keyframe = n != 0 && key_;
        if (n != 0) {
            keys.push_back(key_);
            key_ = false;
        }
        out.encode_ms = static_cast<double>(encode_us) / 1000.0;
        return true;
    }
    void request_keyframe() override { key_ = true; }
    void close() override {}
    const std::string& last_error() const override { return error_; }
    platform::CpuTexture* input_texture() override { return &input; }
    EncoderInfo info() const override { return {EncoderInfoKind::mf_software, "Fake", "", false, false}; }
    std::string stage_summary() const override { return {}; }

private:
    sim::ManualClock& clock_;
    std::vector<uint8_t> bytes_;
    std::string error_;
    bool key_ = false;
};

struct Sent {
    FragmentFields fields;
    size_t piece = 0;
};

class PipelineTest : public ::testing::Test {
protected:
    void open(uint32_t fps, bool sealer = true, bool inline_loop = true) {
        auto cap = std::make_unique<FakeCapture>(clock);
        capture = cap.get();
        auto enc = std::make_unique<FakeEncoder>(clock);
        encoder = enc.get();
        pending_capture = std::move(cap);
        pending_encoder = std::move(enc);
        PipelineEnv env{clock,
                        [this](const MonitorRef&, OpenedCapture& out, std::string&) {
                            out.capture = std::move(pending_capture);
                            out.device_name = "\\\\.\\DISPLAY2";
                            out.right = kW;
                            out.bottom = kH;
                            return true;
                        },
                        [this](const EncodeConfig&, const EncoderChoice&, EncoderInfo& info, std::string&) {
                            info = pending_encoder->info();
                            return std::unique_ptr<IEncoder>(std::move(pending_encoder));
                        }};
        pipeline = std::make_unique<VideoPipeline>(env);
        PipelineConfig cfg;
        cfg.fps = fps;
        cfg.session_id = 7;
        cfg.monitor.by_target = true;
        std::string error;
        ASSERT_TRUE(pipeline->open(cfg, error)) << error;
        if (sealer) {
            pipeline->set_sealer([](const FragmentFields& f, proto::ByteView piece, proto::Bytes& d) {
                d.assign(sizeof f + piece.size(), 0);
                std::memcpy(d.data(), &f, sizeof f);
                return true;
            });
        }
        DatagramSender sender = [this](proto::ByteView d) {
            Sent s;
            std::memcpy(&s.fields, d.data(), sizeof s.fields);
            s.piece = d.size() - sizeof s.fields;
            sent.push_back(s);
            return !network_down;
        };
        if (inline_loop) pipeline->begin_inline(std::move(sender));
        else pipeline->run(std::move(sender));
    }
    // Runs passes until the clock has moved ms further.
    void run_ms(uint64_t ms) {
        const uint64_t end = clock.now_us() + ms * 1000;
        while (clock.now_us() < end) {
            if (!pipeline->pass()) return;
        }
    }
    size_t frames() const {
        size_t n = 0;
        for (const Sent& s : sent) n += s.fields.fragment_index == 0;
        return n;
    }

    test::MediaLog log;
    sim::ManualClock clock;
    std::unique_ptr<FakeCapture> pending_capture;
    std::unique_ptr<FakeEncoder> pending_encoder;
    FakeCapture* capture = nullptr;
    FakeEncoder* encoder = nullptr;
    std::unique_ptr<VideoPipeline> pipeline;
    std::vector<Sent> sent;
    bool network_down = false;  // every datagram fails (ENETUNREACH)
};

TEST_F(PipelineTest, PacesToTheStreamRateAndNeverSendsBeforeStart) {
    for (uint32_t fps : {60u, 30u}) {
        sent.clear();
        open(fps);
        encoder->encode_us = 10'000;  // a chain shorter than a frame period keeps the full rate
        run_ms(500);
        EXPECT_EQ(sent.size(), 0u);  // running, not streaming
        EXPECT_TRUE(pipeline->live());
        EXPECT_FALSE(pipeline->start());
        run_ms(2000);
        const double rate = static_cast<double>(frames()) / 2.0;
        EXPECT_NEAR(rate, fps, 3.0) << fps;
        EXPECT_EQ(pipeline->stats().sent, frames());
        pipeline->stop();
    }
    EXPECT_TRUE(log.has("[session 7] first desktop frame captured: the monitor is live (touch injection enabled)"));
}

TEST_F(PipelineTest, StillDesktopSendsOnceAndFragmentsFollowTheSize) {
    open(60);
    capture->period_us = 0;
    encoder->sizes = {1361, 1362};
    pipeline->start();
    run_ms(1000);
    ASSERT_EQ(sent.size(), 1u);  // one frame of 1,361 bytes, then nothing changes
    EXPECT_EQ(sent[0].fields.fragment_count, 1u);
    EXPECT_TRUE(sent[0].fields.keyframe);
    EXPECT_EQ(sent[0].fields.session_id, 7u);
    pipeline->request_keyframe();  // an IDR is due: the still image goes again
    run_ms(100);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[1].fields.fragment_count, 2u);
    EXPECT_EQ(sent[1].piece + sent[2].piece, 1362u);
    EXPECT_EQ(sent[2].fields.frame_seq, 1u);
    EXPECT_TRUE(log.has("[session 7] IDR frame_seq=0 reason=start size=1361 bytes, 1 fragments"));
    EXPECT_TRUE(log.has("[session 7] IDR frame_seq=1 reason=request size=1362 bytes, 2 fragments"));
    // Changing the vibrance level resends the still image once.
    test::TempDir dir;
    setenv(kSettingsPathVariable, dir.file("s.txt").c_str(), 1);
    set_vibrance_level(3);
    run_ms(200);
    EXPECT_EQ(frames(), 3u);
    EXPECT_TRUE(log.has("[session 7] renk canliligi: off -> high (doygunluk x1.60)"));
    set_vibrance_level(0);
    unsetenv(kSettingsPathVariable);
    pipeline->stop();
    pipeline->stop();
    EXPECT_TRUE(log.has("[session 7] summary: 3 frames sent, IDR start=1 request=1 coalesced=0"));
}

TEST_F(PipelineTest, KeyframeRequestsAreCoalescedAndTakenOnceEvenWhenNothingGoesOut) {
    open(60);
    pipeline->request_keyframe();  // before start: ignored silently
    pipeline->start();
    run_ms(50);
    pipeline->request_keyframe();  // 50 ms after the start IDR
    EXPECT_TRUE(log.has("KeyframeRequest coalesced (IDR sent"));
    run_ms(100);
    pipeline->request_keyframe();  // honoured
    pipeline->request_keyframe();  // one is pending already
    EXPECT_TRUE(log.has("[session 7] KeyframeRequest coalesced (an IDR is already pending)"));
    run_ms(300);
    // The network is gone: every datagram fails. The request is taken by one
    // frame, and the stream keeps its pace instead of an IDR on every pass.
    network_down = true;
    const size_t encoded_before = encoder->keys.size();
    pipeline->request_keyframe();
    run_ms(1000);
    EXPECT_EQ(pipeline->stats().idr_wait_ms, 0u);
    const std::vector<bool> later(encoder->keys.begin() + static_cast<std::ptrdiff_t>(encoded_before), encoder->keys.end());
    EXPECT_NEAR(static_cast<double>(later.size()), 60.0, 3.0);
    EXPECT_EQ(std::count(later.begin(), later.end(), true), 1);
    EXPECT_GT(pipeline->stats().send_fail, 0u);
    pipeline->stop();
    EXPECT_TRUE(log.has("IDR start=1 request=2 coalesced=2"));
}

TEST_F(PipelineTest, BatchSenderGetsEachFrameInOrderAndCountsEveryDatagram) {
    open(60);
    std::vector<size_t> batches;
    std::vector<FragmentFields> order;
    pipeline->set_batch_sender([&](const proto::ByteView* d, size_t n, bool* ok) {
        batches.push_back(n);
        for (size_t i = 0; i < n; ++i) {
            FragmentFields f;
            std::memcpy(&f, d[i].data(), sizeof f);
            order.push_back(f);
            ok[i] = f.fragment_index != 3;  // one datagram the network refuses
        }
    });
    capture->period_us = 0;
    encoder->sizes = {kPipelineFragmentPayload * 70};
    pipeline->start();
    run_ms(100);
    EXPECT_EQ(batches, (std::vector<size_t>{kPipelineSendBatch, 70 - kPipelineSendBatch}));
    ASSERT_EQ(order.size(), 70u);
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(order[i].fragment_index, i);
        EXPECT_EQ(order[i].fragment_count, 70u);
    }
    EXPECT_TRUE(sent.empty());  // the per-datagram sender is not used
    EXPECT_EQ(pipeline->stats().send_fail, 1u);
    EXPECT_EQ(pipeline->stats().idr_wait_ms, 0u);  // the rest of the frame carried the IDR
    pipeline->stop();
}

TEST_F(PipelineTest, SlowEncoderLowersTheRateAndLowerFpsOnlyLowers) {
    open(60);
    encoder->encode_us = 25'000;
    pipeline->start();
    run_ms(2000);
    // The 15 ms interval runs while the frame is encoded, so 25 ms of encoding alone sets the rate.
    EXPECT_NEAR(static_cast<double>(frames()) / 2.0, 40.0, 2.0);
    EXPECT_TRUE(pipeline->lower_fps(30));
    EXPECT_FALSE(pipeline->lower_fps(40));
    EXPECT_TRUE(pipeline->lower_fps(0));
    EXPECT_EQ(pipeline->fps(), 1u);
    pipeline->stop();
}

TEST_F(PipelineTest, CaptureStallTimersAndNote) {
    test::TempDir dir;
    setenv(kSettingsPathVariable, dir.file("s.txt").c_str(), 1);
    clock.set_wall_ms(1'767'225'600'000);  // 2026-01-01T00:00:00Z
    open(60);
    pipeline->start();
    run_ms(100);
    for (int i = 0; i < 9; ++i) capture->script.push_back(CaptureStatus::error);
    for (int i = 0; i < 9; ++i) pipeline->pass();
    PipelineStats s = pipeline->stats();
    EXPECT_EQ(s.cap_err, 9u);
    EXPECT_GE(s.stuck_ms, 400u);  // 50 ms after each error
    EXPECT_EQ(capture->reopens, 2u);
    EXPECT_NE(pipeline_stats_text(s).find(" err=AcquireNextFrame hr=0x887A0001"), std::string::npos);
    EXPECT_TRUE(log.has("[session 7] desktop capture could not recover by recreating the duplication (hr=0x887A0001)"));
    pipeline->pass();
    EXPECT_EQ(pipeline->stats().stuck_ms, 0u);
    EXPECT_TRUE(log.has("[session 7] desktop capture recovered after 9 AcquireNextFrame errors"));
    auto note = settings_get(kSettingLastCaptureStall);
    ASSERT_TRUE(note);
    EXPECT_EQ(note->rfind("2026-01-01T00:00:0", 0), 0u) << *note;
    EXPECT_NE(note->find("Z | session 7 | hr=0x887A0001, 9 hata, "), std::string::npos) << *note;
    capture->script.push_back(CaptureStatus::lost);
    pipeline->pass();
    EXPECT_EQ(pipeline->stats().cap_lost, 1u);
    EXPECT_EQ(capture->reopens, 3u);
    unsetenv(kSettingsPathVariable);
    pipeline->stop();
}

TEST_F(PipelineTest, NeverPresentingMonitorGetsNudgesThenASnapshot) {
    open(60);
    capture->presents = false;
    pipeline->start();
    run_ms(900);
    EXPECT_EQ(capture->nudges, 0u);
    run_ms(200);
    EXPECT_EQ(capture->nudges, 1u);
    run_ms(800);
    EXPECT_EQ(capture->nudges, 2u);
    EXPECT_EQ(sent.size(), 0u);
    run_ms(800);
    EXPECT_EQ(capture->snapshots, 1u);
    EXPECT_EQ(frames(), 1u);
    EXPECT_FALSE(pipeline->touch_anyway());
    run_ms(2500);
    EXPECT_TRUE(pipeline->touch_anyway());
    EXPECT_TRUE(log.has("[session 7] still no Desktop Duplication frame: sent a GDI snapshot of the monitor as the first image"));
    pipeline->stop();
}

// The frame thread of run(), with the session's calls coming from another
// thread as they do in a session (the suite also runs under ThreadSanitizer).
TEST_F(PipelineTest, FrameThreadBesideTheSessionsCalls) {
    open(60, true, false);
    pipeline->start();
    uint32_t seen = 0;
    for (uint32_t n = 0; n < 120; n = pipeline->stats().sent) {
        if (n / 10 != seen / 10) pipeline->request_keyframe();  // about one every ten frames
        pipeline->lower_fps(30);
        seen = n;
        std::this_thread::yield();
    }
    pipeline->stop();
    EXPECT_EQ(pipeline->frame_seq(), pipeline->stats().sent);
    EXPECT_EQ(pipeline->fps(), 30u);
    EXPECT_EQ(frames(), pipeline->stats().sent);
    EXPECT_FALSE(pipeline->stats().ended);
    EXPECT_TRUE(log.has("[session 7] summary: "));
}

// A failure that ends the frame thread is left for the watchdog: the stats
// say so, stuck_ms counts from the end, and one line names the failure.
TEST_F(PipelineTest, FailuresThatEndTheFrameThreadLeaveItStuckForTheWatchdog) {
    struct Case {
        const char* name;
        bool sealer;
        size_t size;
        const char* error;
        const char* line;
    };
    const Case cases[] = {
        {"no video cipher", false, 3000, "no video cipher",
         "[session 7] no video cipher set: cannot send (v0.10 K16/K21 requires one per session)"},
        {"frame too large", true, kPipelineFragmentPayload * kPipelineMaxFragments + 1, "frame too large",
         "[session 7] frame of 89193136 bytes does not fit in 65535 fragments"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open(60, c.sealer);
        encoder->sizes = {c.size};
        pipeline->start();
        run_ms(100);
        EXPECT_FALSE(pipeline->pass());
        clock.advance_ms(4000);
        const PipelineStats s = pipeline->stats();
        EXPECT_TRUE(s.ended);
        EXPECT_FALSE(s.size_changed);
        EXPECT_GE(s.stuck_ms, 4000u);
        EXPECT_EQ(s.last_error, c.error);
        EXPECT_TRUE(log.has(c.line));
        EXPECT_TRUE(log.has(std::string("[session 7] frame thread ended (") + c.error +
                            "): no more frames until the pipeline is rebuilt"));
        pipeline->stop();
    }
}

TEST(PipelineCapture, StreamsTheSimulatedDesktopThroughDuplication) {
    test::MediaLog log;
    sim::ManualClock clock;
    SimScreen screen(clock);
    PipelineEnv env{clock, make_dxgi_capture_opener(screen.dup),
                    [&](const EncodeConfig&, const EncoderChoice&, EncoderInfo& info, std::string&) {
                        auto e = std::make_unique<FakeEncoder>(clock);
                        info = e->info();
                        return std::unique_ptr<IEncoder>(std::move(e));
                    }};
    PipelineConfig cfg;
    cfg.session_id = 2;
    cfg.monitor.by_target = true;
    cfg.monitor.adapter_luid = 0x42;
    cfg.monitor.target_id = 9;
    std::string error;
    {
        VideoPipeline missing(env);
        EXPECT_FALSE(missing.open(cfg, error));
        EXPECT_EQ(error, "target 00000000:00000042/9 not found among the active monitors");
    }
    cfg.monitor.target_id = 3;
    VideoPipeline p(env);
    ASSERT_TRUE(p.open(cfg, error)) << error;
    p.set_sealer([](const FragmentFields&, proto::ByteView piece, proto::Bytes& out) {
        out.assign(piece.begin(), piece.end());
        return true;
    });
    size_t datagrams = 0;
    p.begin_inline([&](proto::ByteView) { return ++datagrams > 0; });
    p.start();
    const uint64_t end = clock.now_ms() + 500;
    while (clock.now_ms() < end && p.pass()) {
    }
    EXPECT_TRUE(p.live());
    EXPECT_NEAR(static_cast<double>(p.stats().sent), 30.0, 3.0);  // 60 Hz display for half a second
    EXPECT_EQ(datagrams, 3u * p.stats().sent);
    p.stop();
}

// Faults through the duplication's and the transform's fault points: the
// frame thread ends (and says so once), or the capture keeps its stall mark;
// either way the watchdog sees the pipeline stuck within its 4 s, nothing
// more is sent, and the log stays within a few lines.
TEST(PipelineFaults, EachFaultLeavesThePipelineStuckWithinALogBudget) {
    struct Case {
        const char* name;
        std::function<void(sim::SimDesktop&, sim::SimDuplication&, sim::ScriptedTransform&)> fault;
        bool ended, size_changed;
        const char* error;
    };
    const Case cases[] = {
        {"encoder fails after the first frames",
         [](auto&, auto&, sim::ScriptedTransform& t) {
             t.fail_input_from = static_cast<uint32_t>(t.inputs.size()) + 1;
             t.input_hr = platform::kEFail;
         },
         true, false, "encode_frame: ProcessInput: hr=0x80004005"},
        {"desktop changes size",
         [](sim::SimDesktop& desktop, auto&, auto&) {
             sim::SimDisplay d;
             ASSERT_TRUE(desktop.display(3, d));
             d.width *= 2;
             desktop.add_display(d);
         },
         true, true, "the desktop is now 128x32, the pipeline was opened for 64x32"},
        {"duplication lost right after every re-acquire",
         [](auto&, sim::SimDuplication& dup, auto&) {
             dup.fail(sim::DuplicationOp::acquire, platform::kDxgiErrorAccessLost, 1'000'000);
         },
         false, false, "desktop duplication lost"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::MediaLog log;
        sim::ManualClock clock;
        SimScreen screen(clock);
        sim::ScriptedMftPort mft;
        mft.adapters = {{0, "Sim GPU", 0x10DE, 0x42, false}};
        mft.transforms = {sim::ScriptedTransformSetup{}};
        mft.transforms[0].name = "Microsoft H264 Video Encoder MFT";
        PipelineEnv env{clock, make_dxgi_capture_opener(screen.dup), test::software_encoder_factory(mft, clock)};
        VideoPipeline p(env);
        PipelineConfig cfg;
        cfg.session_id = 4;
        cfg.monitor.by_target = true;
        cfg.monitor.adapter_luid = 0x42;
        cfg.monitor.target_id = 3;
        std::string error;
        ASSERT_TRUE(p.open(cfg, error)) << error;
        p.set_sealer([](const FragmentFields&, proto::ByteView piece, proto::Bytes& out) {
            out.assign(piece.begin(), piece.end());
            return true;
        });
        p.begin_inline([](proto::ByteView) { return true; });
        p.start();
        auto run_ms = [&](uint64_t ms) {
            const uint64_t end = clock.now_ms() + ms;
            while (clock.now_ms() < end && p.pass()) {
            }
            if (clock.now_ms() < end) clock.advance_ms(end - clock.now_ms());
        };
        run_ms(500);
        const uint32_t sent = p.stats().sent;
        EXPECT_GT(sent, 20u);
        c.fault(screen.desktop, screen.dup, *mft.last);
        const std::string before = log.text();
        run_ms(5000);
        const PipelineStats s = p.stats();
        EXPECT_EQ(s.ended, c.ended);
        EXPECT_EQ(s.size_changed, c.size_changed);
        EXPECT_GE(s.stuck_ms, 4000u);
        EXPECT_LE(s.sent, sent + 1);  // at most the frame in flight
        EXPECT_EQ(s.last_error, c.error);
        const std::string text = log.text();
        EXPECT_LE(std::count(text.begin() + static_cast<std::ptrdiff_t>(before.size()), text.end(), '\n'), 4) << text;
        p.stop();
    }
}

}  // namespace
}  // namespace sorvane

namespace sorvane {
namespace {

// The copy and the conversion share their rows with a helper thread: every row
// is passed once, in runs that start on a chunk, and all of them are done (and
// visible) when run returns, run after run, whether or not the helper joined.
TEST(RowSplit, EveryRowOnceAndAllDoneWhenRunReturns) {
    RowSplit split;
    std::vector<uint8_t> hits;
    for (uint32_t rows : {0u, 1u, 64u, 65u, 1083u, 1600u}) {
        for (int run = 0; run < 40; ++run) {
            hits.assign(rows, 0);
            split.run(rows, kSplitRows, [&](uint32_t first, uint32_t end) {
                EXPECT_EQ(first % kSplitRows, 0u);
                EXPECT_TRUE(end - first == kSplitRows || end == rows) << first << ".." << end;
                for (uint32_t y = first; y < end; ++y) ++hits[y];
            });
            ASSERT_EQ(std::count(hits.begin(), hits.end(), uint8_t{1}), static_cast<std::ptrdiff_t>(rows))
                << rows << " rows, run " << run;
        }
    }
}

}  // namespace
}  // namespace sorvane
