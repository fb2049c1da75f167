// Media Foundation H.264 encoder transform port: what MfEncoder needs from
// Media Foundation (availability, start-up, adapters by LUID, the encoder
// devices, the list of H.264 encoder transforms) and from one transform
// (attributes, codec properties, media types, messages, input, output and the
// events of an asynchronous transform). Results are HRESULT values.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/texture.h"

namespace sorvane::platform {

inline constexpr int32_t kMfETransformNeedMoreInput = static_cast<int32_t>(0xC00D6D72u);
inline constexpr int32_t kMfETransformStreamChange = static_cast<int32_t>(0xC00D6D61u);
inline constexpr int32_t kMfEInvalidMediaType = static_cast<int32_t>(0xC00D36B4u);
inline constexpr int32_t kMfENotAccepting = static_cast<int32_t>(0xC00D36B5u);
inline constexpr int32_t kMfEAttributeNotFound = static_cast<int32_t>(0xC00D36E6u);

// MFT_MESSAGE_TYPE values.
enum class MftMessage : uint32_t {
    command_flush = 0x00000000,
    set_d3d_manager = 0x00000002,
    notify_begin_streaming = 0x10000000,
    notify_end_streaming = 0x10000001,
    notify_end_of_stream = 0x10000002,
    notify_start_of_stream = 0x10000003,
};

// Transform attributes MfEncoder reads or sets.
enum class MftAttribute { transform_async, transform_async_unlock, low_latency };

// CODECAPI_* properties (booleans travel as 0 and 1).
enum class CodecProp {
    low_latency_mode,
    rate_control_mode,
    mean_bit_rate,
    buffer_size,
    b_picture_count,
    max_num_ref_frame,
    quality_vs_speed,
    real_time,
    gop_size,
    force_key_frame,
};

// MFT_OUTPUT_STREAM_INFO flags.
inline constexpr uint32_t kMftOutputStreamProvidesSamples = 0x100;
inline constexpr uint32_t kMftOutputStreamCanProvideSamples = 0x200;

// Event types of an asynchronous transform.
inline constexpr uint32_t kMeError = 1;
inline constexpr uint32_t kMeTransformNeedInput = 601;
inline constexpr uint32_t kMeTransformHaveOutput = 602;

// A video media type: H.264 output or NV12 input.
struct MftVideoType {
    bool h264 = false;  // subtype H264, else NV12
    uint32_t width = 0, height = 0;
    uint32_t fps_num = 0, fps_den = 1;
    uint32_t par_num = 1, par_den = 1;
    uint32_t interlace_mode = 2;  // progressive
    // H.264
    uint32_t avg_bitrate = 0;
    uint32_t profile = 0;  // 66, 77, 100
    uint32_t max_keyframe_spacing = 0;
    // NV12
    uint32_t primaries = 0, yuv_matrix = 0, transfer = 0, nominal_range = 0;
    uint32_t default_stride = 0;
};

struct MftOutputStreamInfo {
    uint32_t flags = 0;
    uint32_t size = 0;
};

// One input sample: an NV12 picture (Y rows then interleaved U, V rows, both
// width bytes apart). surface: it came as a GPU surface of the encoder device.
struct MftSample {
    const uint8_t* nv12 = nullptr;
    size_t size = 0;
    uint32_t width = 0, height = 0;
    bool surface = false;
    int64_t time = 0;      // 100 ns units
    int64_t duration = 0;  // 100 ns units
};

class IMftTransform {
public:
    virtual ~IMftTransform() = default;

    // 0 when the attribute is not set.
    virtual uint32_t get_attribute(MftAttribute attribute) = 0;
    virtual int32_t set_attribute(MftAttribute attribute, uint32_t value) = 0;
    // Hands the transform the encoder device (MFT_MESSAGE_SET_D3D_MANAGER).
    virtual int32_t set_d3d_manager(const GpuDevice& device) = 0;

    // ICodecAPI; absent on some transforms.
    virtual bool has_codec_api() = 0;
    virtual int32_t codec_set(CodecProp prop, uint32_t value) = 0;
    virtual int32_t codec_get(CodecProp prop, uint32_t& value) = 0;

    virtual int32_t set_output_type(const MftVideoType& type) = 0;
    virtual int32_t get_output_available_type(uint32_t index, MftVideoType& type) = 0;
    virtual int32_t set_input_type(const MftVideoType& type) = 0;
    virtual int32_t get_output_stream_info(MftOutputStreamInfo& info) = 0;
    virtual int32_t process_message(MftMessage message) = 0;

    virtual int32_t process_input(const MftSample& sample) = 0;
    // ProcessOutput: caller_buffer_size is the size of the buffer the caller
    // supplies (0 when the transform supplies its sample). On success out holds
    // the sample's bytes (the contiguous buffer).
    virtual int32_t process_output(uint32_t caller_buffer_size, std::vector<uint8_t>& out) = 0;

    // IMFMediaEventGenerator of an asynchronous transform. begin_get_event
    // arms one delivery: the callback runs once (on any thread, possibly
    // before begin_get_event returns) with the event's type and status.
    virtual bool has_event_generator() = 0;
    virtual int32_t begin_get_event(std::function<void(uint32_t type, int32_t status)> callback) = 0;
};

struct MftActivate {
    std::string friendly_name;  // empty when the transform has none
    uint32_t id = 0;            // the port's handle for activate()
};

class IMftPort {
public:
    virtual ~IMftPort() = default;

    // Loads and frees the two Media Foundation libraries; on failure names the
    // one that is missing ("mfplat.dll" or "mf.dll").
    virtual bool media_foundation_available(std::string& missing) = 0;
    virtual int32_t startup() = 0;   // MFStartup
    virtual void shutdown() = 0;     // MFShutdown

    // IDXGIFactory4::EnumAdapterByLuid.
    virtual int32_t find_adapter(uint64_t luid, AdapterDesc& out) = 0;
    // D3D11CreateDevice with video support on an adapter; video_processor
    // tells whether the device offers a video processor that outputs NV12.
    virtual int32_t create_encoder_device(const AdapterDesc& adapter, std::shared_ptr<GpuDevice>& out,
                                          bool& video_processor) = 0;

    // MFTEnum2 (hardware, with a LUID) or MFTEnumEx: H.264 encoders taking NV12.
    virtual std::vector<MftActivate> list_encoder_transforms(bool hardware, const uint64_t* adapter_luid) = 0;
    virtual int32_t activate(const MftActivate& which, std::unique_ptr<IMftTransform>& out) = 0;
};

// The machine's transforms: libx264 behind a synchronous software transform on Linux.
std::unique_ptr<IMftPort> make_mft_port();

}  // namespace sorvane::platform
