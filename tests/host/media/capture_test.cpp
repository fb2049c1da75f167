// Desktop capture over the simulated desktop: finding the monitor's output,
// opening, acquiring images and pointer updates, the loss and release rules,
// the GDI and nudge fallbacks, and the frame loop's recovery policy driven by
// fault points on a manual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "host/media/capture.h"
#include "host/media/capture_recovery.h"
#include "platform/sim/desktop.h"
#include "platform/sim/manual_clock.h"
#include "tests/host/media/media_test_util.h"

namespace sorvane {
namespace {

using sim::DuplicationOp;

constexpr uint64_t kLuid = 0x0000000100000042ull;
constexpr int32_t kHrDeviceRemoved = static_cast<int32_t>(0x887A0005u);

struct CaptureFixture : ::testing::Test {
    sim::ManualClock clock{2'000'000};
    sim::SimDesktop desktop{clock};
    sim::SimDuplication dup{desktop};
    DxgiCaptureSource source{dup};
    test::MediaLog log;

    void SetUp() override {
        desktop.add_adapter({0, "Basic", 0x1414, 0x77, true});
        desktop.add_adapter({1, "Sim GPU", 0x10DE, kLuid, false});
        add(1, 0, 1, "\\\\.\\DISPLAY1", "\\\\?\\DISPLAY#ABC0001#4&1#{e6f07b5f}", 0, 1920, 1080);
        add(1, 5, 2, "\\\\.\\DISPLAY2", "\\\\?\\DISPLAY#SVN0001#5&2&0&UID260#{e6f07b5f}", 1920, 1280, 800);
    }
    void add(uint32_t adapter, uint32_t target, uint32_t source_id, const char* gdi, const char* id, int32_t left,
             uint32_t w, uint32_t h) {
        sim::SimDisplay d;
        d.adapter_index = adapter;
        d.target_id = target;
        d.source_id = source_id;
        d.gdi_name = gdi;
        d.device_id = id;
        d.left = left;
        d.width = w;
        d.height = h;
        desktop.add_display(d);
    }
    MonitorRef by_target(uint32_t target) {
        MonitorRef r;
        r.by_target = true;
        r.adapter_luid = kLuid;
        r.target_id = target;
        return r;
    }
    MonitorRef by_id(const char* id) {
        MonitorRef r;
        r.device_id = id;
        return r;
    }
};

TEST_F(CaptureFixture, FindsTheOutputByTargetOrDeviceId) {
    auto outputs = source.enumerate_outputs();
    ASSERT_EQ(outputs.size(), 2u);
    EXPECT_EQ(outputs[1].ordinal, 1u);
    EXPECT_EQ(outputs[1].adapter_index, 1u);
    EXPECT_EQ(outputs[1].output_index, 1u);
    EXPECT_EQ(outputs[1].right, 3200);

    // The topology grows between the size query and the query: retried.
    dup.fail(DuplicationOp::query_config, platform::kErrorInsufficientBuffer, 2);
    auto found = source.find_output(by_target(5));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->device_name, "\\\\.\\DISPLAY2");
    EXPECT_EQ(dup.calls(DuplicationOp::query_config), 3u);
    EXPECT_FALSE(source.find_output(by_target(6)));
    dup.fail(DuplicationOp::source_name, 31);
    EXPECT_FALSE(source.find_output(by_target(5)));

    EXPECT_EQ(source.find_output(by_id("svn0001#5&2"))->device_name, "\\\\.\\DISPLAY2");  // any case
    EXPECT_FALSE(source.find_output(by_id("")));  // an empty id names nothing (not the first screen)
    EXPECT_FALSE(source.find_output(by_id("XYZ9")));

    // Two outputs with one GDI name, only the second attached: that one.
    add(1, 7, 3, "\\\\.\\DISPLAY3", "mon-a", 3200, 800, 600);
    desktop.set_active(7, false);
    add(1, 8, 3, "\\\\.\\DISPLAY3", "mon-b", 4000, 640, 480);
    found = source.find_output(by_id("mon-b"));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->left, 4000);
}

TEST_F(CaptureFixture, OpenAcquireReleaseAndReopen) {
    EXPECT_FALSE(source.open(2));
    EXPECT_EQ(source.last_hr(), platform::kEInvalidArg);
    EXPECT_EQ(dup.devices_created(), 0u);
    CapturedFrame frame;
    EXPECT_EQ(source.acquire(0, frame), AcquireStatus::error);
    EXPECT_EQ(source.last_hr(), platform::kEUnexpected);

    dup.fail(DuplicationOp::duplicate_output, kHrDeviceRemoved);
    EXPECT_FALSE(source.open(1));
    EXPECT_EQ(source.last_hr(), kHrDeviceRemoved);
    ASSERT_TRUE(source.open(1));
    EXPECT_EQ(source.adapter().luid, kLuid);

    // First frame: the image, the pointer and its shape.
    desktop.set_pointer_shape({2, 16, 16, 64, 0, 0}, std::vector<uint8_t>(16 * 64, 1));
    ASSERT_EQ(source.acquire(8, frame), AcquireStatus::frame);
    EXPECT_TRUE(frame.has_image);
    EXPECT_EQ(frame.width, 1280u);
    EXPECT_EQ(frame.format, platform::kFormatBgra8);
    EXPECT_EQ(frame.acquire_time, static_cast<int64_t>(clock.now_us()) * 10);
    EXPECT_TRUE(frame.shape_updated);
    EXPECT_EQ(source.shape_buffer().size(), 16u * 64);
    ASSERT_NE(frame.texture, nullptr);

    // A pointer move alone; a shape read that fails keeps the shape we had.
    desktop.set_pointer_position(2000, 30);
    desktop.set_pointer_shape({1, 32, 64, 4, 0, 0}, std::vector<uint8_t>(256, 2));
    dup.fail(DuplicationOp::pointer_shape, platform::kEFail);
    ASSERT_EQ(source.acquire(8, frame), AcquireStatus::frame);  // releases the held frame first
    EXPECT_FALSE(frame.has_image);
    EXPECT_TRUE(frame.pointer_updated);
    EXPECT_EQ(frame.pointer_x, 80);
    EXPECT_FALSE(frame.shape_updated);
    EXPECT_EQ(source.shape_buffer().size(), 16u * 64);
    EXPECT_EQ(source.shape_info().width, 16u);
    EXPECT_EQ(source.acquire(20, frame), AcquireStatus::frame);  // the next refresh
    EXPECT_EQ(source.acquire(0, frame), AcquireStatus::timeout);

    // A failed ReleaseFrame: the next acquire reports Lost without asking.
    ASSERT_EQ(source.acquire(20, frame), AcquireStatus::frame);
    dup.fail(DuplicationOp::release, kHrDeviceRemoved);
    uint32_t acquires = dup.calls(DuplicationOp::acquire);
    EXPECT_EQ(source.acquire(20, frame), AcquireStatus::lost);
    EXPECT_EQ(dup.calls(DuplicationOp::acquire), acquires);
    EXPECT_EQ(source.release_hr(), kHrDeviceRemoved);
    EXPECT_EQ(frame.width, 0u);
    ASSERT_TRUE(source.reopen());
    EXPECT_EQ(source.release_hr(), 0);
    EXPECT_EQ(source.acquire(20, frame), AcquireStatus::frame);

    // A mode change loses the duplication; after the monitor is gone reopen fails.
    dup.lose_access();
    EXPECT_EQ(source.acquire(20, frame), AcquireStatus::lost);
    desktop.remove_display(5);
    EXPECT_FALSE(source.reopen());
    EXPECT_EQ(source.last_hr(), platform::kDxgiErrorNotFound);
    source.close();
    EXPECT_FALSE(source.reopen());
    EXPECT_EQ(source.last_hr(), platform::kEUnexpected);
}

TEST_F(CaptureFixture, NeverPresentingMonitorGdiSnapshotAndNudge) {
    desktop.set_presents(5, false, 1);
    ASSERT_TRUE(source.open(1));
    auto output = source.find_output(by_target(5));
    ASSERT_TRUE(output);
    CapturedFrame frame;
    ASSERT_EQ(source.acquire(8, frame), AcquireStatus::frame);  // pointer only
    EXPECT_FALSE(frame.has_image);
    EXPECT_EQ(source.acquire(8, frame), AcquireStatus::timeout);

    OutputInfo empty = *output;
    empty.right = empty.left;
    std::vector<uint8_t> pixels;
    EXPECT_FALSE(source.snapshot_gdi(empty, pixels));
    EXPECT_EQ(dup.gdi_snapshots(), 0u);  // the screen was never touched
    ASSERT_TRUE(source.snapshot_gdi(*output, pixels));
    ASSERT_EQ(pixels.size(), 1280u * 800 * 4);
    uint64_t t = 0;
    ASSERT_TRUE(sim::read_test_card_barcode(pixels.data(), 1280 * 4, 1280, 800, t));
    EXPECT_EQ(t, sim::SimDesktop::tick_time_ms(60, sim::SimDesktop::tick_at(60, clock.now_ms())));
    EXPECT_EQ(pixels[3], 255);

    source.nudge(*output);
    EXPECT_EQ(desktop.nudges(), 1u);
    ASSERT_EQ(source.acquire(20, frame), AcquireStatus::frame);
    EXPECT_TRUE(frame.has_image);
}

TEST_F(CaptureFixture, RecoveryFromLossesAndErrorRuns) {
    std::map<std::string, std::string> state;
    bool stop = false;
    CaptureRecovery recovery(
        7, source, clock, [&](const std::string& k, const std::string& v) { state[k] = v; }, [&] { return stop; });
    ASSERT_TRUE(source.open(1));
    CapturedFrame frame;

    // Lost after a failed release: logged with its hr, re-acquired every 200 ms;
    // the stall mark stays until the new duplication delivers.
    ASSERT_EQ(source.acquire(20, frame), AcquireStatus::frame);
    dup.fail(DuplicationOp::release, kHrDeviceRemoved);
    dup.fail(DuplicationOp::duplicate_output, kHrDeviceRemoved, 2);
    uint64_t t0 = clock.now_ms();
    recovery.on_status(source.acquire(20, frame));
    EXPECT_TRUE(log.has("[session 7] desktop duplication lost (ReleaseFrame hr=0x887A0005); re-acquiring"));
    EXPECT_EQ(clock.now_ms() - t0, 400u);
    EXPECT_EQ(recovery.stats().capture_losses, 1u);
    EXPECT_EQ(recovery.stats().last_error, "desktop duplication lost");
    EXPECT_EQ(recovery.stats().stall_since_ms, t0);
    recovery.on_status(source.acquire(20, frame));
    EXPECT_EQ(recovery.stats().stall_since_ms, 0u);

    // Lost again right after every re-acquire, 2,000 times: each attempt
    // waits 200 ms on the clock, a line every 5 s, and the stall mark keeps
    // the time of the first loss for the watchdog.
    dup.fail(DuplicationOp::acquire, platform::kDxgiErrorAccessLost, 2000);
    t0 = clock.now_ms();
    const std::string before = log.text();
    const auto lines_before = std::count(before.begin(), before.end(), '\n');
    for (int i = 0; i < 2000; ++i) recovery.on_status(source.acquire(20, frame));
    EXPECT_EQ(clock.now_ms() - t0, 1999u * 200);
    EXPECT_EQ(recovery.stats().stall_since_ms, t0);
    const std::string lost_log = log.text();
    EXPECT_LE(std::count(lost_log.begin(), lost_log.end(), '\n') - lines_before, 81);
    EXPECT_TRUE(log.has("[session 7] desktop duplication lost (mode change / secure desktop); re-acquiring"));
    EXPECT_TRUE(log.has("[session 7] desktop duplication lost again right after re-acquiring: 27 losses in 5.0 s"));
    recovery.on_status(source.acquire(20, frame));
    EXPECT_TRUE(log.has("[session 7] desktop duplication delivers again after 2000 losses in 399.8 s")) << log.text();
    EXPECT_EQ(recovery.stats().stall_since_ms, 0u);

    // A run of 10 errors: resets at 3 and 6, the watchdog note once, a line every 5 s.
    const int32_t hr = static_cast<int32_t>(0x887A0001u);
    dup.fail(DuplicationOp::acquire, hr, 10);
    const uint64_t run_start = clock.now_ms();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(source.acquire(20, frame), AcquireStatus::error);
        recovery.on_status(AcquireStatus::error);
        EXPECT_EQ(recovery.stats().stall_since_ms, run_start);
        if (i == 4) clock.advance_ms(5020);
        if (i == 6) {
            // A loss in the middle of the run keeps the run's stall mark.
            dup.lose_access();
            recovery.on_status(AcquireStatus::lost);
            EXPECT_EQ(recovery.stats().stall_since_ms, run_start);
        }
    }
    const std::string text = log.text();
    EXPECT_TRUE(log.has("[session 7] AcquireNextFrame error hr=0x887A0001"));
    EXPECT_TRUE(log.has("recreating the desktop duplication (1/2): ok"));
    EXPECT_TRUE(log.has("AcquireNextFrame failing (hr=0x887A0001, 6 in a row): recreating the desktop duplication (2/2): ok"));
    EXPECT_FALSE(log.has("(3/2)"));
    EXPECT_TRUE(log.has("[session 7] AcquireNextFrame still failing: 6 errors in 5.3 s (last hr=0x887A0001, 1 duplication reset(s))"))
        << text;
    EXPECT_TRUE(log.has("[session 7] desktop capture could not recover by recreating the duplication (hr=0x887A0001); "
                        "the session watchdog rebuilds the pipeline after 4 s"));
    EXPECT_EQ(state["last_capture_stall"],
              "hr=0x887A0001, 9 hata, duplication 2 kez yeniden kuruldu: DUZELMEDI, oturum bekcisi hatti yeniden kuracak");
    EXPECT_EQ(recovery.stats().capture_errors, 10u);
    EXPECT_EQ(recovery.stats().last_error, "AcquireNextFrame hr=0x887A0001");

    // The first frame or time-out ends the run.
    recovery.on_status(source.acquire(20, frame));
    EXPECT_TRUE(log.has("[session 7] desktop capture recovered after 10 AcquireNextFrame errors in 5.5 s (first "
                        "hr=0x887A0001, 2 duplication reset(s))"))
        << log.text();
    EXPECT_EQ(state["last_capture_stall"], "hr=0x887A0001, 10 hata, 5.5 sn, duplication yeniden kurma 2: DUZELDI");
    EXPECT_EQ(recovery.stats().stall_since_ms, 0u);
    EXPECT_EQ(recovery.errors_in_run(), 0u);

    // Stop ends a re-acquire loop that cannot succeed.
    desktop.remove_display(5);
    dup.lose_access();
    int tries = 0;
    CaptureRecovery stopping(
        7, source, clock, nullptr, [&] { return ++tries > 3; });
    stopping.on_status(source.acquire(20, frame));
    EXPECT_EQ(tries, 4);
}

}  // namespace
}  // namespace sorvane
