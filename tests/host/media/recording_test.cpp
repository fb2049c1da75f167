// A few seconds of the simulated desktop, captured, encoded and written as a
// raw H.264 file, read back by ffprobe: right size, right frame count.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "host/media/capture.h"
#include "host/media/mf_encoder.h"
#include "platform/sim/desktop.h"
#include "platform/sim/manual_clock.h"
#include "tests/host/media/media_test_util.h"
#include "tests/support/temp_dir.h"

namespace sorvane {
namespace {

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}

TEST(Recording, ThreeSecondsOfTheSimulatedDesktopReadByFfprobe) {
    if (run("command -v ffprobe").empty()) GTEST_SKIP() << "ffprobe is not installed";
    test::MediaLog log;
    test::TempDir dir;
    sim::ManualClock clock;
    sim::SimDesktop desktop(clock);
    desktop.add_adapter({0, "Sim GPU", 0x10DE, 0x42, false});
    sim::SimDisplay d;
    d.target_id = 3;
    d.gdi_name = "\\\\.\\DISPLAY1";
    d.width = 960;
    d.height = 540;
    d.refresh_hz = 30;
    desktop.add_display(d);
    sim::SimDuplication dup(desktop);
    DxgiCaptureSource source(dup);
    MonitorRef ref;
    ref.by_target = true;
    ref.adapter_luid = 0x42;
    ref.target_id = 3;
    auto output = source.find_output(ref);
    ASSERT_TRUE(output);
    ASSERT_TRUE(source.open(output->ordinal));

    auto port = platform::make_mft_port();
    MfEncoder enc(*port, clock, {true, false, 0});
    ASSERT_TRUE(enc.init({960, 540, 30, source.device(), 4'000'000, 0})) << enc.last_error();
    const std::string path = dir.file("desktop.h264");
    std::ofstream file(path, std::ios::binary);
    int frames = 0, pointer_only = 0;
    while (frames < 90) {
        CapturedFrame frame;
        ASSERT_EQ(source.acquire(100, frame), AcquireStatus::frame);
        if (!frame.has_image) {
            ++pointer_only;
            continue;
        }
        ASSERT_TRUE(enc.copy_input(frame.texture));
        source.release_frame();
        EncodedFrame ef;
        ASSERT_TRUE(enc.encode_frame(ef)) << enc.last_error();
        ASSERT_GT(ef.size, 0u);
        file.write(reinterpret_cast<const char*>(ef.data), static_cast<std::streamsize>(ef.size));
        ++frames;
        if (frames % 20 == 10) desktop.add_mark(3, 100 + frames * 8, 300, sim::MarkKind::left_click);
        if (frames % 7 == 3) desktop.set_pointer_position(frames * 5, 40);
    }
    file.close();
    EXPECT_GT(pointer_only, 0);
    std::string probe = run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                            "stream=codec_name,width,height,nb_read_frames -of default=noprint_wrappers=1 '" +
                            path + "' 2>&1");
    EXPECT_NE(probe.find("codec_name=h264"), std::string::npos) << probe;
    EXPECT_NE(probe.find("width=960"), std::string::npos) << probe;
    EXPECT_NE(probe.find("height=540"), std::string::npos) << probe;
    EXPECT_NE(probe.find("nb_read_frames=90"), std::string::npos) << probe;
}

}  // namespace
}  // namespace sorvane
