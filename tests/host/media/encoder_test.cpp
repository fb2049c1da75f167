// MfEncoder over the scripted transform: the init chain with its fallbacks and
// failure texts, the synchronous and asynchronous submit paths, output
// normalisation and keyframes; and the encoder interface's shared records.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "host/media/h264_sps.h"
#include "host/media/mf_encoder.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/mft_scripted.h"
#include "tests/host/media/media_test_util.h"

namespace sorvane {
namespace {

using platform::CodecProp;
using sim::ScriptedMftPort;
using sim::ScriptedTransformSetup;

constexpr uint64_t kLuid = 0x0000000200000010ull;

ScriptedTransformSetup setup(const char* name, bool hardware) {
    ScriptedTransformSetup s;
    s.name = name;
    s.hardware = hardware;
    return s;
}

struct EncoderFixture : ::testing::Test {
    sim::ManualClock clock;
    ScriptedMftPort port;
    platform::GpuDevice device;
    test::MediaLog log;

    void SetUp() override {
        device.adapter = {0, "Sim GPU", 0x10DE, kLuid, false};
        port.adapters = {device.adapter, {1, "Basic Render", 0x1414, 0x99, true}};
        port.transforms = {setup("Vendor H.264 Encoder", true), setup("Other SW encoder", false),
                           setup("Microsoft H264 Video Encoder MFT", false)};
    }
    EncodeConfig config(uint32_t w = 64, uint32_t h = 48) {
        EncodeConfig c;
        c.width = w;
        c.height = h;
        c.fps = 60;
        c.device = &device;
        c.bitrate = 6'000'000;
        return c;
    }
    platform::CpuTexture frame(uint32_t w = 64, uint32_t h = 48) {
        platform::CpuTexture t;
        t.allocate(w, h, platform::kFormatBgra8);
        for (size_t i = 0; i < t.data.size(); ++i) t.data[i] = 255;  // white
        return t;
    }
};

TEST_F(EncoderFixture, InitFailuresNameTheStep) {
    struct Case {
        const char* what;
        std::function<void(ScriptedMftPort&, EncodeConfig&, MfEncoderOptions&)> setup;
        std::string error;
    };
    const Case cases[] = {
        {"missing", [](auto& p, auto&, auto&) { p.missing_dll = "mf.dll"; }, media_foundation_missing_text("mf.dll")},
        {"no device", [](auto&, auto& c, auto&) { c.device = nullptr; }, "EncodeConfig.device (ID3D11Device*) is null"},
        {"zero fps", [](auto&, auto& c, auto&) { c.fps = 0; }, "EncodeConfig width/height/fps must be non-zero"},
        {"odd", [](auto&, auto& c, auto&) { c.width = 1366; c.height = 767; },
         "size 1366x767: H.264 4:2:0 needs even dimensions"},
        {"startup", [](auto& p, auto&, auto&) { p.startup_hr = static_cast<int32_t>(0xC00D36E3u); },
         "MFStartup failed: hr=0xC00D36E3"},
        {"adapter", [](auto&, auto&, auto& o) { o.hardware = true; o.adapter_luid = 0x1234; }, "encoder adapter not found"},
        {"hw device", [](auto& p, auto&, auto& o) { o.hardware = true; p.device_hr = platform::kEFail; },
         "D3D11CreateDevice (encoder adapter) failed: hr=0x80004005"},
        {"no vp", [](auto& p, auto&, auto& o) { o.hardware = true; p.video_processor = false; },
         "this GPU/driver has no D3D11 video processor"},
        {"no hw mft", [](auto& p, auto&, auto& o) { o.hardware = true; p.transforms.erase(p.transforms.begin()); },
         "no Media Foundation hardware H.264 encoder for adapter 'Sim GPU'"},
        {"no sw mft", [](auto& p, auto&, auto& o) { o.software = true; p.transforms.resize(1); },
         "no Media Foundation software H.264 encoder found"},
        {"activate", [](auto& p, auto&, auto& o) { o.software = true; p.activate_hr = platform::kENoInterface; },
         "activating Microsoft H264 Video Encoder MFT failed: hr=0x80004002"},
        {"profiles", [](auto& p, auto&, auto& o) { o.software = true; for (auto& t : p.transforms) t.accepted_profiles = {}; },
         "SetOutputType(H.264) failed: hr=0xC00D36B4"},
        {"no generator", [](auto& p, auto&, auto& o) { o.hardware = true; p.transforms[0].async = true; p.transforms[0].event_generator = false; },
         "asynchronous MFT without an event generator"},
    };
    for (const Case& c : cases) {
        ScriptedMftPort p = port;
        EncodeConfig cfg = config();
        MfEncoderOptions opt;
        c.setup(p, cfg, opt);
        MfEncoder enc(p, clock, opt);
        EXPECT_FALSE(enc.init(cfg)) << c.what;
        EXPECT_EQ(enc.last_error(), c.error) << c.what;
        EXPECT_EQ(p.startups - (p.startup_hr < 0 ? 1u : 0u), p.shutdowns) << c.what;  // a failed init closes again
        EncodedFrame f;
        EXPECT_FALSE(enc.encode_frame(f));
        EXPECT_EQ(enc.last_error(), "encode_frame: encoder not initialised");
    }
}

TEST_F(EncoderFixture, SoftwareChoiceFallbacksAndCodecProperties) {
    port.transforms[2].accepted_profiles = {66};
    port.transforms[2].refused_gops = {2147483647u, 1048576u};
    MfEncoder enc(port, clock, {true, false, 0});
    ASSERT_TRUE(enc.init(config())) << enc.last_error();
    sim::ScriptedTransform& t = *port.last;
    EXPECT_EQ(enc.transform_name(), "Microsoft H264 Video Encoder MFT");
    EXPECT_EQ(t.profiles_tried, (std::vector<uint32_t>{100, 77, 66}));
    EXPECT_EQ(enc.profile(), 66u);
    EXPECT_EQ(t.output_type.max_keyframe_spacing, 0x7FFFFFFFu);
    EXPECT_EQ(t.gop, 36000u);
    EXPECT_TRUE(log.has("[encoder] MF GOP size 2147483647 requested: hr=0x80070057"));
    EXPECT_TRUE(log.has("[encoder] MF GOP size 1048576 fallback: hr=0x80070057"));
    EXPECT_TRUE(log.has("[encoder] MF GOP size read back: 36000"));
    using P = std::pair<CodecProp, uint32_t>;
    std::vector<P> expected = {{CodecProp::low_latency_mode, 1}, {CodecProp::rate_control_mode, 0},
                               {CodecProp::mean_bit_rate, 6'000'000}, {CodecProp::buffer_size, 100'000},
                               {CodecProp::b_picture_count, 0},     {CodecProp::max_num_ref_frame, 1},
                               {CodecProp::quality_vs_speed, 20},   {CodecProp::real_time, 1},
                               {CodecProp::gop_size, 2147483647u},  {CodecProp::gop_size, 1048576u},
                               {CodecProp::gop_size, 36000u}};
    EXPECT_EQ(t.props, expected);
    EXPECT_EQ(t.input_type.yuv_matrix, 1u);
    EXPECT_EQ(t.input_type.nominal_range, 2u);
    EXPECT_TRUE(t.low_latency);
    EXPECT_FALSE(t.d3d_manager);
    EXPECT_EQ(t.messages, (std::vector<platform::MftMessage>{platform::MftMessage::command_flush,
                                                             platform::MftMessage::notify_begin_streaming,
                                                             platform::MftMessage::notify_start_of_stream}));
    EncoderInfo info = enc.info();
    EXPECT_EQ(info.name, "Media Foundation (Microsoft H264 Video Encoder MFT)");
    EXPECT_EQ(info.kind, EncoderInfoKind::mf_software);
    EXPECT_FALSE(info.hardware);
    // No "Microsoft" transform: the first listed.
    port.transforms.erase(port.transforms.begin() + 2);
    MfEncoder other(port, clock, {true, false, 0});
    ASSERT_TRUE(other.init(config()));
    EXPECT_EQ(other.transform_name(), "Other SW encoder");
}

TEST_F(EncoderFixture, BasicRenderAdapterConvertsOnTheCpuAndEncodesWhiteAsStudioRange) {
    device.adapter = port.adapters[1];
    MfEncoder enc(port, clock, {true, false, 0});
    ASSERT_TRUE(enc.init(config()));
    EXPECT_TRUE(enc.cpu_convert());
    EXPECT_EQ(port.devices, 0u);  // no video device, no video processor
    EXPECT_EQ(enc.stage_summary(), "");
    platform::CpuTexture f = frame();
    ASSERT_TRUE(enc.copy_input(&f));
    EncodedFrame out;
    ASSERT_TRUE(enc.encode_frame(out));
    const auto& nv12 = port.last->last_nv12;
    ASSERT_EQ(nv12.size(), 64u * 48 * 3 / 2);
    EXPECT_EQ(nv12[0], 235);
    EXPECT_EQ(nv12[64 * 48], 127);
    EXPECT_EQ(nv12[64 * 48 + 1], 128);
    EXPECT_NE(enc.stage_summary().find("convert avg "), std::string::npos);
    EXPECT_NE(enc.stage_summary().find(", mft avg "), std::string::npos);
    // copy_input refusals.
    EXPECT_FALSE(enc.copy_input(nullptr));
    EXPECT_EQ(enc.last_error(), "copy_input: null texture");
    platform::CpuTexture r8;
    r8.allocate(64, 48, platform::kFormatR8);
    EXPECT_FALSE(enc.copy_input(&r8));
    EXPECT_EQ(enc.last_error(), "copy_input: source is 64x48 format 61, encoder was configured for 64x48 BGRA8");
    enc.close();
    enc.close();
    EXPECT_FALSE(enc.copy_input(&f));
    EXPECT_EQ(enc.last_error(), "copy_input: encoder not initialised");
}

TEST_F(EncoderFixture, OutputIsAnnexBWithParameterSetsInFrontOfEveryIdr) {
    port.transforms[0].length_prefixed = true;
    port.transforms[0].stream_flags = 0;
    port.transforms[0].stream_size = 0;
    MfEncoder enc(port, clock, {false, true, kLuid});
    ASSERT_TRUE(enc.init(config(1280, 720)));
    EXPECT_TRUE(port.last->d3d_manager);
    platform::CpuTexture f = frame(1280, 720);
    enc.request_keyframe();  // before the first frame: nothing beyond the first IDR
    std::vector<std::vector<uint8_t>> aus;
    std::vector<bool> keys;
    for (int i = 0; i < 4; ++i) {
        if (i == 2) enc.request_keyframe();
        ASSERT_TRUE(enc.copy_input(&f));
        EncodedFrame out;
        ASSERT_TRUE(enc.encode_frame(out)) << enc.last_error();
        aus.emplace_back(out.data, out.data + out.size);
        keys.push_back(out.keyframe);
    }
    EXPECT_EQ(keys, (std::vector<bool>{true, false, true, false}));
    int forced = 0;
    for (auto& p : port.last->props) forced += p.first == CodecProp::force_key_frame ? 1 : 0;
    EXPECT_EQ(forced, 1);
    EXPECT_EQ(port.last->caller_buffer_size, 0x400000u);
    EXPECT_TRUE(port.last->inputs[0].surface);
    EXPECT_EQ(port.last->inputs[3].time, 166'666 * 3);
    EXPECT_EQ(port.last->inputs[3].duration, 166'666);
    auto types = [](const std::vector<uint8_t>& au) {
        std::vector<int> t;
        for (size_t i = 0; i + 4 < au.size(); ++i) {
            if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 0 && au[i + 3] == 1) t.push_back(au[i + 4] & 0x1F);
        }
        return t;
    };
    EXPECT_EQ(types(aus[0]), (std::vector<int>{7, 8, 5}));
    EXPECT_EQ(types(aus[1]), (std::vector<int>{1}));
    EXPECT_EQ(types(aus[2]), (std::vector<int>{7, 8, 5}));  // cached sets put in front
    EXPECT_EQ(types(aus[3]), (std::vector<int>{1}));
    // The parameter sets in front of the requested IDR are the cached ones, the
    // SPS as rewritten (with a VUI).
    auto before_idr = [](const std::vector<uint8_t>& au) {
        for (size_t i = 0; i + 4 < au.size(); ++i) {
            if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 0 && au[i + 3] == 1 && (au[i + 4] & 0x1F) == 5) {
                return std::vector<uint8_t>(au.begin(), au.begin() + static_cast<long>(i));
            }
        }
        return std::vector<uint8_t>{};
    };
    EXPECT_EQ(before_idr(aus[0]), before_idr(aus[2]));
    h264::Sps sps;
    ASSERT_TRUE(h264::parse_sps(std::span<const uint8_t>(aus[0]).subspan(4), sps));
    EXPECT_TRUE(sps.vui_present);
    EXPECT_EQ(sps.vui.max_num_reorder_frames, 0u);
}

TEST_F(EncoderFixture, SynchronousTransformWithoutOutputAndStreamChange) {
    MfEncoder enc(port, clock, {true, false, 0});
    port.on_activate = [](sim::ScriptedTransform& t) {
        t.silent_inputs = 1;
        t.stream_change_once = true;
    };
    ASSERT_TRUE(enc.init(config()));
    platform::CpuTexture f = frame();
    enc.copy_input(&f);
    EncodedFrame out;
    uint64_t before = clock.now_ms();
    ASSERT_TRUE(enc.encode_frame(out));
    EXPECT_EQ(out.size, 0u);                 // nothing after 21 tries, 1 ms apart
    EXPECT_EQ(clock.now_ms() - before, 20u);
    ASSERT_TRUE(enc.encode_frame(out));
    EXPECT_GT(out.size, 0u);
    EXPECT_EQ(port.last->inputs[1].time, 166'666);
    port.last->fail_input_from = 3;
    port.last->input_hr = platform::kEFail;
    EXPECT_FALSE(enc.encode_frame(out));
    EXPECT_EQ(enc.last_error(), "ProcessInput: hr=0x80004005");
    port.last->fail_input_from = 0;
    port.last->output_hr = static_cast<int32_t>(0xC00D36B2u);
    EXPECT_FALSE(enc.encode_frame(out));
    EXPECT_EQ(enc.last_error(), "ProcessOutput: hr=0xC00D36B2");
}

TEST_F(EncoderFixture, AsynchronousTransformEventsErrorsAndTimeout) {
    port.transforms[0].async = true;
    MfEncoder enc(port, clock, {false, true, kLuid});
    ASSERT_TRUE(enc.init(config()));
    EXPECT_TRUE(enc.async());
    EXPECT_TRUE(port.last->unlocked);
    platform::CpuTexture f = frame();
    enc.copy_input(&f);
    EncodedFrame out;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(enc.encode_frame(out)) << enc.last_error();
        EXPECT_GT(out.size, 0u);
    }
    EXPECT_EQ(port.last->inputs.size(), 3u);
    port.last->event_instead_of_output = std::make_pair(platform::kMeError, static_cast<int32_t>(0x887A0005u));
    EXPECT_FALSE(enc.encode_frame(out));
    EXPECT_EQ(enc.last_error(), "MFT event error: hr=0x887A0005");
    // Silence: the wait ends after 1 s of the clock.
    port.last->silence_after_input = true;
    std::thread advancer([&] {
        while (clock.waiters() == 0) std::this_thread::yield();
        clock.advance_ms(1000);
    });
    EXPECT_FALSE(enc.encode_frame(out));
    advancer.join();
    EXPECT_EQ(enc.last_error(), "encoder timeout (no MFT event within 1 s)");
}

// Each event asks for the next one; a failed request (MEError with its failure) does not.
TEST_F(EncoderFixture, AFailedEventRequestIsNotRepeated) {
    port.transforms[0].async = true;
    MfEncoder enc(port, clock, {false, true, kLuid});
    ASSERT_TRUE(enc.init(config()));
    auto callback = port.last->take_armed();
    ASSERT_TRUE(callback);
    callback(platform::kMeTransformNeedInput, 0);
    callback = port.last->take_armed();
    ASSERT_TRUE(callback);
    callback(platform::kMeError, static_cast<int32_t>(0x80004005u));
    EXPECT_FALSE(port.last->take_armed());
}

// Length prefixes that begin like start codes (a unit of 300 bytes: 00 00 01
// 2C) are read as length prefixes; Annex-B with either start code stays
// Annex-B.
TEST(Normalise, LengthPrefixesThatLookLikeStartCodesAndAnnexB) {
    std::vector<uint8_t> slice(300, 0x5A);
    slice[0] = 0x41;  // a non-IDR slice
    std::vector<uint8_t> prefixed = {0, 0, 1, 0x2C};
    prefixed.insert(prefixed.end(), slice.begin(), slice.end());
    std::vector<uint8_t> annexb3 = {0, 0, 1};
    annexb3.insert(annexb3.end(), slice.begin(), slice.end());
    std::vector<uint8_t> annexb4 = {0, 0, 0, 1};
    annexb4.insert(annexb4.end(), slice.begin(), slice.end());
    std::vector<uint8_t> expected = {0, 0, 0, 1};
    expected.insert(expected.end(), slice.begin(), slice.end());
    for (const auto* in : {&prefixed, &annexb3, &annexb4}) {
        ParamSetCache cache;
        std::vector<uint8_t> out;
        bool key = true;
        ASSERT_TRUE(normalise_access_unit(*in, cache, out, key));
        EXPECT_EQ(out, expected);
        EXPECT_FALSE(key);
    }
}

// A callback of the transform still running (on the transform's thread) when
// the encoder closes: it re-arms on a transform that is still alive, which
// goes only when that callback returns.
TEST_F(EncoderFixture, EventCallbackRunningThroughCloseKeepsItsTransformAlive) {
    port.transforms[0].async = true;
    MfEncoder enc(port, clock, {false, true, kLuid});
    ASSERT_TRUE(enc.init(config()));
    sim::ScriptedTransform& t = *port.last;
    auto callback = t.take_armed();
    ASSERT_TRUE(callback);
    std::mutex m;
    std::condition_variable cv;
    bool rearming = false, closed = false, destroyed = false;
    t.on_begin_get_event = [&] {
        std::unique_lock lock(m);
        rearming = true;
        cv.notify_all();
        cv.wait(lock, [&] { return closed; });
    };
    t.on_destroy = [&] {
        std::lock_guard lock(m);
        destroyed = true;
    };
    std::thread transform_thread([&] { callback(platform::kMeTransformNeedInput, 0); });
    {
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return rearming; });
    }
    enc.close();
    {
        std::lock_guard lock(m);
        EXPECT_FALSE(destroyed);
        closed = true;
    }
    cv.notify_all();
    transform_thread.join();
    EXPECT_TRUE(destroyed);
}

TEST(EncoderRecords, PercentilesSummaryAndLastEncoder) {
    EXPECT_EQ(nearest_rank_percentile({}, 0.95), 0.0);
    std::vector<double> v;
    for (int i = 1; i <= 20; ++i) v.push_back(i);
    EXPECT_EQ(nearest_rank_percentile(v, 0.95), 19.0);
    EXPECT_EQ(nearest_rank_percentile(v, 0.5), 10.0);
    EXPECT_EQ(nearest_rank_percentile(v, 0.0), 1.0);
    EXPECT_EQ(nearest_rank_percentile(v, 1.0), 20.0);
    StageTimings t;
    EXPECT_EQ(t.summary(), "");
    t.add("convert", 1.0);
    t.add("convert", 2.0);
    t.add("mft", 0.125);
    EXPECT_EQ(t.summary(), "convert avg 1.50 p95 2.00 max 2.00 ms, mft avg 0.13 p95 0.13 max 0.13 ms");
    EXPECT_EQ(fixed_text(-0.004, 2), "0.00");
    EXPECT_EQ(fixed_text(12.06, 1), "12.1");
    EncoderInfo info;
    EXPECT_FALSE(last_encoder_info(info));
    store_last_encoder_info({EncoderInfoKind::mf_hardware, "Media Foundation (X)", "GPU", true, false});
    ASSERT_TRUE(last_encoder_info(info));
    EXPECT_EQ(info.name, "Media Foundation (X)");
}

}  // namespace
}  // namespace sorvane
