// The H.264 encoder transform port: started, listed and driven the way the
// host's encoder drives it. The machine's software transform takes NV12
// pictures and must begin its stream with the parameter sets and an IDR
// picture, and give another IDR when one is forced.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/gpu.h"
#include "platform/mft.h"
#include "tests/platform/ports/port_test.h"

namespace sorvane::platform {
namespace {

// The NAL unit types of an access unit, Annex-B or with 4-byte length prefixes.
std::vector<int> nal_types(const std::vector<uint8_t>& au) {
    std::vector<int> types;
    const size_t n = au.size();
    const bool annex_b = n >= 4 && au[0] == 0 && au[1] == 0 && (au[2] == 1 || (au[2] == 0 && au[3] == 1));
    if (annex_b) {
        for (size_t i = 0; i + 3 < n; ++i) {
            if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
                types.push_back(au[i + 3] & 0x1F);
                i += 2;
            }
        }
        return types;
    }
    for (size_t i = 0; i + 4 < n;) {
        const size_t len = (size_t{au[i]} << 24) | (size_t{au[i + 1]} << 16) | (size_t{au[i + 2]} << 8) | au[i + 3];
        if (len == 0 || len > n - i - 4) return {};  // not a stream of either form
        types.push_back(au[i + 4] & 0x1F);
        i += 4 + len;
    }
    return types;
}

TEST(MftPort, TheSoftwareTransformBeginsItsStreamWithParameterSetsAndAnIdrAndGivesAForcedOne) {
    auto port = make_mft_port();
    std::string missing;
    ASSERT_TRUE(port->media_foundation_available(missing)) << missing;
    ASSERT_EQ(port->startup(), kSOk);
    struct Shutdown {
        IMftPort& p;
        ~Shutdown() { p.shutdown(); }
    } shutdown{*port};

    const std::vector<MftActivate> list = port->list_encoder_transforms(false, nullptr);
    if (list.empty() && port_test::under_wine()) {
        GTEST_SKIP() << "Wine registers no H.264 encoder transform: MFTEnumEx lists none from NV12 to H.264";
    }
    ASSERT_FALSE(list.empty());
    std::unique_ptr<IMftTransform> t;
    ASSERT_EQ(port->activate(list.front(), t), kSOk) << list.front().friendly_name;
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(t->get_attribute(MftAttribute::transform_async), 0u) << "the software listing holds synchronous ones";
    t->set_attribute(MftAttribute::low_latency, 1);

    constexpr uint32_t w = 320, h = 240, fps = 30;
    MftVideoType out;
    out.h264 = true;
    out.width = w;
    out.height = h;
    out.fps_num = fps;
    out.avg_bitrate = 1'000'000;
    out.max_keyframe_spacing = 0x7FFFFFFF;
    int32_t hr = kMfEInvalidMediaType;
    for (uint32_t profile : {100u, 77u, 66u}) {
        out.profile = profile;
        if ((hr = t->set_output_type(out)) >= 0) break;
    }
    ASSERT_GE(hr, 0);
    if (t->has_codec_api()) {
        t->codec_set(CodecProp::low_latency_mode, 1);
        t->codec_set(CodecProp::mean_bit_rate, out.avg_bitrate);
        t->codec_set(CodecProp::b_picture_count, 0);
    }
    MftVideoType in;
    in.width = w;
    in.height = h;
    in.fps_num = fps;
    in.primaries = 2;
    in.yuv_matrix = 1;
    in.transfer = 5;
    in.nominal_range = 2;
    in.default_stride = w;
    ASSERT_EQ(t->set_input_type(in), kSOk);
    MftOutputStreamInfo info;
    ASSERT_EQ(t->get_output_stream_info(info), kSOk);
    const uint32_t supplied = (info.flags & (kMftOutputStreamProvidesSamples | kMftOutputStreamCanProvideSamples)) != 0
                                  ? 0
                                  : (info.size != 0 ? info.size : 0x400000u);
    EXPECT_EQ(t->process_message(MftMessage::command_flush), kSOk);
    EXPECT_EQ(t->process_message(MftMessage::notify_begin_streaming), kSOk);
    EXPECT_EQ(t->process_message(MftMessage::notify_start_of_stream), kSOk);

    // A picture shorter than NV12 of its size is refused before it is read.
    std::vector<uint8_t> nv12(w * h * 3 / 2);
    MftSample sample{nv12.data(), nv12.size() - 1, w, h, false, 0, 10'000'000 / fps};
    EXPECT_LT(t->process_input(sample), 0);
    sample.size = nv12.size();

    std::vector<std::vector<int>> units;  // each output's NAL types
    size_t forced_at = 0;
    for (uint32_t frame = 0; frame < 12; ++frame) {
        for (uint32_t y = 0; y < h; ++y) {
            for (uint32_t x = 0; x < w; ++x) nv12[y * w + x] = static_cast<uint8_t>(x + y + frame * 8);
        }
        for (size_t i = w * h; i < nv12.size(); ++i) nv12[i] = static_cast<uint8_t>(128 + (i + frame) % 16);
        if (frame == 6) {
            ASSERT_TRUE(t->has_codec_api());
            EXPECT_EQ(t->codec_set(CodecProp::force_key_frame, 1), kSOk);
            forced_at = units.size();
        }
        sample.time = static_cast<int64_t>(frame) * sample.duration;
        ASSERT_EQ(t->process_input(sample), kSOk) << "frame " << frame;
        std::vector<uint8_t> au;
        while ((hr = t->process_output(supplied, au)) == kSOk) units.push_back(nal_types(au));
        ASSERT_EQ(hr, kMfETransformNeedMoreInput) << "frame " << frame;
    }
    EXPECT_EQ(t->process_message(MftMessage::notify_end_of_stream), kSOk);

    ASSERT_FALSE(units.empty());
    // The first output: SPS, PPS, then the IDR picture (delimiters and SEI aside).
    std::vector<int> first;
    for (int type : units.front()) {
        if (type != 9 && type != 6) first.push_back(type);
    }
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(first[0], 7);
    EXPECT_EQ(first[1], 8);
    EXPECT_EQ(first[2], 5);
    // The pictures in between are not IDR; the forced request gives one.
    size_t idr_after_force = 0;
    for (size_t i = 1; i < units.size(); ++i) {
        const bool idr = std::find(units[i].begin(), units[i].end(), 5) != units[i].end();
        if (i < forced_at) {
            EXPECT_FALSE(idr) << "output " << i;
        } else if (idr) {
            ++idr_after_force;
        }
    }
    EXPECT_GE(idr_after_force, 1u);
}

#ifdef _WIN32
// The encoder device is made on the adapter asked for and carries its
// Direct3D device, which the transform's Direct3D manager then takes.
TEST(MftPort, TheEncoderDeviceIsMadeOnTheAdapterAskedFor) {
    std::vector<AdapterDesc> adapters;
    const int32_t listed = make_system_gpu_adapters()->enum_adapters(adapters);
    if (listed != kSOk && port_test::under_wine()) GTEST_SKIP() << "Wine's DXGI has no adapters without a display";
    ASSERT_EQ(listed, kSOk);
    ASSERT_FALSE(adapters.empty());
    auto port = make_mft_port();
    ASSERT_EQ(port->startup(), kSOk);
    struct Shutdown {
        IMftPort& p;
        ~Shutdown() { p.shutdown(); }
    } shutdown{*port};
    AdapterDesc found;
    ASSERT_EQ(port->find_adapter(adapters.back().luid, found), kSOk);
    EXPECT_EQ(found.luid, adapters.back().luid);
    EXPECT_EQ(found.description, adapters.back().description);
    EXPECT_EQ(found.index, adapters.back().index);
    std::shared_ptr<GpuDevice> device;
    bool video_processor = false;
    ASSERT_EQ(port->create_encoder_device(found, device, video_processor), kSOk);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->adapter.luid, found.luid);
    EXPECT_NE(device->native, nullptr);
    // No adapter has the LUID 0 (a real LUID is never all zero).
    EXPECT_LT(port->find_adapter(0, found), 0);
}
#endif

}  // namespace
}  // namespace sorvane::platform
