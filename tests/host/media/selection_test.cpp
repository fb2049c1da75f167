// The NVENC encoder over the scripted library (bitstream from x264) and the
// choice of encoder by policy, vendor and the failures of each candidate.
#include <gtest/gtest.h>

#include <map>

#include "host/media/encoder_selection.h"
#include "host/media/nvenc_encoder.h"
#include "platform/sim/manual_clock.h"
#include "platform/sim/mft_scripted.h"
#include "platform/sim/nvenc_scripted.h"
#include "tests/host/media/media_test_util.h"

namespace sorvane {
namespace {

using platform::AdapterDesc;
using sim::NvencCall;
using sim::ScriptedNvencLibrary;

constexpr uint64_t kNvLuid = 0x11, kIntelLuid = 0x22;
const AdapterDesc kNvidia{0, "NVIDIA GeForce RTX 4070", 0x10DE, kNvLuid, false};
const AdapterDesc kIntel{1, "Intel(R) UHD Graphics 770", 0x8086, kIntelLuid, false};

platform::CpuTexture card(uint32_t w, uint32_t h, uint8_t shade) {
    platform::CpuTexture t;
    t.allocate(w, h, platform::kFormatBgra8);
    for (size_t i = 0; i < t.data.size(); ++i) t.data[i] = static_cast<uint8_t>((i * 7 + shade) & 0xFF);
    return t;
}

// NAL unit types of an Annex-B unit, in order.
std::vector<int> nal_types(const uint8_t* p, size_t n) {
    std::vector<int> out;
    for (size_t i = 0; i + 4 < n; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            out.push_back(p[i + 3] & 0x1F);
            i += 3;
        }
    }
    return out;
}

TEST(NvencEncoder, SessionLifecycleAndBitstream) {
    test::MediaLog log;
    sim::ManualClock clock;
    auto x264 = platform::make_mft_port();
    ScriptedNvencLibrary lib({}, *x264);
    NvencEncoder enc(lib, clock);
    platform::GpuDevice nv{kNvidia};
    EncodeConfig cfg{64, 48, 30, &nv, 2'000'000, 0};
    ASSERT_TRUE(enc.init(cfg)) << enc.last_error();
    EXPECT_EQ(lib.record().api_major, 12u);
    EXPECT_EQ(lib.record().api_minor, 1u);
    const platform::NvencConfig& c = lib.record().init.config;
    EXPECT_EQ(c.gop_length, platform::kNvencInfiniteGop);
    EXPECT_EQ(c.vbv_buffer_size, 2'000'000u / 30);
    EXPECT_TRUE(c.profile_high && c.repeat_sps_pps && c.zero_reorder_delay && !c.lookahead);
    EXPECT_EQ(c.max_ref_frames, 1u);
    EXPECT_EQ(enc.info().name, "NVENC");
    EXPECT_EQ(enc.info().adapter, kNvidia.description);

    EncodedFrame f;
    EXPECT_FALSE(enc.encode_frame(f));
    EXPECT_EQ(enc.last_error(), "encode_frame: no input (call copy_input first)");
    platform::CpuTexture wrong;
    wrong.allocate(64, 48, platform::kFormatR8);
    EXPECT_FALSE(enc.copy_input(&wrong));
    EXPECT_EQ(enc.last_error(),
              "copy_input: source is 64x48 format 61, encoder was configured for 64x48 BGRA8 (format 87)");

    std::vector<bool> keys;
    for (int i = 0; i < 4; ++i) {
        platform::CpuTexture t = card(64, 48, static_cast<uint8_t>(i * 40));
        ASSERT_TRUE(enc.copy_input(&t));
        if (i == 2) enc.request_keyframe();
        ASSERT_TRUE(enc.encode_frame(f)) << enc.last_error();
        keys.push_back(f.keyframe);
        std::vector<int> types = nal_types(f.data, f.size);
        ASSERT_FALSE(types.empty());
        if (f.keyframe) {
            EXPECT_EQ(types[0], 7);  // SPS and PPS in front of every IDR
            EXPECT_EQ(types[1], 8);
        }
    }
    EXPECT_EQ(keys, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(lib.record().pictures[0].flags, platform::kNvencPicFlagForceIdr | platform::kNvencPicFlagOutputSpsPps);
    EXPECT_EQ(lib.record().pictures[1].flags, 0u);
    EXPECT_EQ(lib.record().mapped, lib.record().unmapped);

    // A failing encode call still unmaps; the error names the call and the SDK's text.
    lib.script().failures[NvencCall::encode_picture] = {platform::kNvEncErrEncoderBusy, 1};
    lib.script().last_error_string = "busy";
    platform::CpuTexture t = card(64, 48, 1);
    ASSERT_TRUE(enc.copy_input(&t));
    EXPECT_FALSE(enc.encode_frame(f));
    EXPECT_EQ(enc.last_error(), "NvEncEncodePicture failed: NVENCSTATUS=18 -- busy");
    EXPECT_EQ(lib.record().mapped, lib.record().unmapped);
    lib.script().failures.clear();

    enc.close();
    enc.close();
    EXPECT_EQ(lib.record().sessions_destroyed, 1u);
    EXPECT_EQ(lib.record().unregistered, 1u);
    EXPECT_EQ(lib.record().buffers_destroyed, 1u);
    EXPECT_EQ(lib.record().pictures.back().flags, platform::kNvencPicFlagEos);
}

TEST(NvencEncoder, InitFailures) {
    sim::ManualClock clock;
    auto x264 = platform::make_mft_port();
    platform::GpuDevice nv{kNvidia}, intel{kIntel};
    struct Case {
        const char* name;
        std::function<void(sim::NvencScript&)> script;
        const platform::GpuDevice* device;
        std::string error;
    } cases[] = {
        {"intel", nullptr, &intel,
         "D3D11 device is on adapter 'Intel(R) UHD Graphics 770' (vendor 0x8086), not NVIDIA; NVENC needs a device "
         "on the NVIDIA adapter"},
        {"no device", nullptr, nullptr, "EncodeConfig.device (ID3D11Device*) is null"},
        {"no dll", [](auto& s) { s.loads = false; }, &nv,
         "nvEncodeAPI64.dll could not be loaded (GetLastError=126); is the NVIDIA driver installed?"},
        {"exports", [](auto& s) { s.entry_points = false; }, &nv,
         "nvEncodeAPI64.dll does not export the expected entry points"},
        {"api 12.0", [](auto& s) { s.max_version = 12u << 4; }, &nv,
         "nv-codec-headers API 12.1 is newer than the driver's max 12.0; update the NVIDIA driver or pin an older "
         "header tag"},
        {"session", [](auto& s) { s.failures[NvencCall::open_session] = {platform::kNvEncErrOutOfMemory, 1}; }, &nv,
         "NvEncOpenEncodeSessionEx failed: NVENCSTATUS=10"},
        {"register", [](auto& s) { s.failures[NvencCall::register_resource] = {23, 1}; s.last_error_string = "x"; },
         &nv, "NvEncRegisterResource failed: NVENCSTATUS=23 -- x"},
    };
    for (const Case& c : cases) {
        sim::NvencScript script;
        if (c.script) c.script(script);
        ScriptedNvencLibrary lib(script, *x264);
        NvencEncoder enc(lib, clock);
        EXPECT_FALSE(enc.init({64, 48, 60, c.device, 1'000'000, 0})) << c.name;
        EXPECT_EQ(enc.last_error(), c.error) << c.name;
        EXPECT_EQ(lib.record().sessions_opened, lib.record().sessions_destroyed) << c.name;
        EXPECT_EQ(lib.record().loads, lib.record().unloads) << c.name;
    }
    sim::NvencScript ok;
    ok.max_version = (12u << 4) | 1u;
    ScriptedNvencLibrary lib(ok, *x264);
    NvencEncoder enc(lib, clock);
    EXPECT_TRUE(enc.init({64, 48, 60, &nv, 1'000'000, 0})) << enc.last_error();
}

// The scripted transform port with hardware transforms only on chosen adapters.
class GpuPort final : public platform::IMftPort {
public:
    sim::ScriptedMftPort base;
    std::map<uint64_t, bool> hardware_on;
    std::vector<uint64_t> listed;
    bool media_foundation_available(std::string& m) override { return base.media_foundation_available(m); }
    int32_t startup() override { return base.startup(); }
    void shutdown() override { base.shutdown(); }
    int32_t find_adapter(uint64_t luid, AdapterDesc& out) override { return base.find_adapter(luid, out); }
    int32_t create_encoder_device(const AdapterDesc& a, std::shared_ptr<platform::GpuDevice>& out, bool& vp) override {
        return base.create_encoder_device(a, out, vp);
    }
    std::vector<platform::MftActivate> list_encoder_transforms(bool hw, const uint64_t* luid) override {
        if (!hw) return base.list_encoder_transforms(false, nullptr);
        listed.push_back(*luid);
        return hardware_on[*luid] ? base.list_encoder_transforms(true, luid) : std::vector<platform::MftActivate>{};
    }
    int32_t activate(const platform::MftActivate& w, std::unique_ptr<platform::IMftTransform>& out) override {
        return base.activate(w, out);
    }
};

class Gpus final : public IGpuAdapterList {
public:
    std::vector<KernelAdapter> kernel;
    std::vector<AdapterDesc> dxgi;
    std::vector<KernelAdapter> kernel_adapters() override { return kernel; }
    std::vector<AdapterDesc> dxgi_adapters() override { return dxgi; }
};

TEST(EncoderSelection, PolicyVendorAndFallbackOrder) {
    struct Case {
        const char* name;
        EncoderKind policy;
        const AdapterDesc* capture;
        bool nvenc_loads;
        bool hw_nvidia, hw_intel;
        std::string missing_mf;
        std::string want_name;   // empty: no encoder
        std::string want_error;  // when no encoder
    } cases[] = {
        {"auto nvidia", EncoderKind::auto_select, &kNvidia, true, true, true, "", "NVENC", ""},
        {"auto nvidia, nvenc missing", EncoderKind::auto_select, &kNvidia, false, true, true, "",
         "Media Foundation (NV HW)", ""},
        {"auto intel", EncoderKind::auto_select, &kIntel, true, true, true, "", "Media Foundation (NV HW)", ""},
        {"auto, no hardware", EncoderKind::auto_select, &kIntel, true, false, false, "", "Media Foundation (SW)", ""},
        {"nvenc on intel", EncoderKind::nvenc, &kIntel, true, true, true, "", "",
         "no encoder: NVENC: capture GPU is not NVIDIA"},
        {"mf-hw, none", EncoderKind::mf_hw, &kNvidia, true, false, false, "", "",
         "no hardware encoder: MF hardware on \"NVIDIA GeForce RTX 4070\": no hardware H.264 MFT; MF hardware on "
         "\"Intel(R) UHD Graphics 770\": no hardware H.264 MFT"},
        {"mf-sw on nvidia", EncoderKind::mf_sw, &kNvidia, true, true, true, "", "Media Foundation (SW)", ""},
        {"no media foundation", EncoderKind::auto_select, &kIntel, true, true, true, "mfplat.dll", "", "no encoder: "},
    };
    for (const Case& c : cases) {
        test::MediaLog log;
        sim::ManualClock clock;
        auto x264 = platform::make_mft_port();
        sim::NvencScript script;
        script.loads = c.nvenc_loads;
        ScriptedNvencLibrary nvenc(script, *x264);
        GpuPort port;
        port.base.adapters = {kNvidia, kIntel};
        port.base.missing_dll = c.missing_mf;
        sim::ScriptedTransformSetup hw, sw;
        hw.name = "NV HW";
        hw.hardware = true;
        sw.name = "SW";
        port.base.transforms = {hw, sw};
        port.hardware_on = {{kNvLuid, c.hw_nvidia}, {kIntelLuid, c.hw_intel}};
        Gpus gpus;
        gpus.dxgi = {kNvidia, kIntel};
        gpus.kernel = {{kNvLuid}, {kIntelLuid}};
        EncoderPorts ports{port, nvenc, gpus, clock};
        platform::GpuDevice device{*c.capture};
        EncoderInfo info;
        std::string error;
        auto enc = create_encoder(ports, {64, 48, 60, &device, 1'000'000, 0}, {c.policy, ""}, info, error);
        if (c.want_name.empty()) {
            EXPECT_EQ(enc, nullptr) << c.name;
            EXPECT_EQ(error.rfind(c.want_error, 0), 0u) << c.name << ": " << error;
            continue;
        }
        ASSERT_NE(enc, nullptr) << c.name << ": " << error;
        EXPECT_EQ(info.name, c.want_name) << c.name;
        EXPECT_EQ(log.has("[encoder] WARNING: donanim kodlayici bulunamadi"), c.want_name == "Media Foundation (SW)")
            << c.name;
        EncoderInfo last;
        ASSERT_TRUE(last_encoder_info(last));
        EXPECT_EQ(last.name, info.name);
    }
}

TEST(EncoderSelection, CaptureGpuFirstAndAdapterFilter) {
    test::MediaLog log;
    sim::ManualClock clock;
    auto x264 = platform::make_mft_port();
    ScriptedNvencLibrary nvenc({}, *x264);
    GpuPort port;
    port.base.adapters = {kNvidia, kIntel};
    sim::ScriptedTransformSetup hw;
    hw.name = "HW";
    hw.hardware = true;
    port.base.transforms = {hw};
    port.hardware_on = {{kNvLuid, true}, {kIntelLuid, true}, {0x33, true}};
    Gpus gpus;
    const AdapterDesc basic{2, "Microsoft Basic Render Driver", 0x1414, 0x33, true};
    gpus.dxgi = {kNvidia, basic, kIntel};
    gpus.kernel = {{kNvLuid}, {0x33}, {kIntelLuid}};
    EncoderPorts ports{port, nvenc, gpus, clock};
    platform::GpuDevice device{kIntel};
    EncoderInfo info;
    std::string error;
    auto enc = create_encoder(ports, {64, 48, 60, &device, 1'000'000, 0}, {EncoderKind::mf_hw, ""}, info, error);
    ASSERT_NE(enc, nullptr) << error;
    // The capture GPU first (the encoder lists its transforms again); software adapters never.
    EXPECT_EQ(port.listed, (std::vector<uint64_t>{kIntelLuid, kIntelLuid}));

    // The filter: only the NVIDIA adapter may serve, and it has no transform.
    port.listed.clear();
    port.hardware_on = {{kIntelLuid, true}};
    enc = create_encoder(ports, {64, 48, 60, &device, 1'000'000, 0}, {EncoderKind::mf_hw, "NVIDIA"}, info, error);
    EXPECT_EQ(enc, nullptr);
    EXPECT_EQ(port.listed, (std::vector<uint64_t>{kNvLuid}));
    EXPECT_TRUE(log.has("[encoder] capture GPU: Intel(R) UHD Graphics 770 (vendor 0x8086), policy mf-hw, mf-adapter NVIDIA"));

    struct F {
        const char* filter;
        AdapterDesc adapter;
        bool match;
    } filters[] = {{"", kIntel, true},        {"amd", {0, "X", 0x1022, 1, false}, true},
                   {"AMD", {0, "X", 0x1002, 1, false}, true}, {"Intel", kIntel, true},
                   {"intel", kNvidia, false}, {"rtx", kNvidia, true}, {"uhd graphics 7", kIntel, true},
                   {"radeon", kIntel, false}};
    for (const F& f : filters) EXPECT_EQ(mf_adapter_matches(f.filter, f.adapter), f.match) << f.filter;
}

}  // namespace
}  // namespace sorvane
