// The hardware encoder interface of NVIDIA GPUs, shaped after what the NVENC
// encoder needs: loading the driver's library, the API version, one encode
// session on a Direct3D device, the preset configuration, a registered input
// texture, a bitstream buffer and the synchronous encode with its lock.
// Results are the NVENCSTATUS values as plain integers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/texture.h"

namespace sorvane::platform {

// NVENCSTATUS.
inline constexpr int32_t kNvEncSuccess = 0;
inline constexpr int32_t kNvEncErrNoEncodeDevice = 1;
inline constexpr int32_t kNvEncErrUnsupportedDevice = 2;
inline constexpr int32_t kNvEncErrInvalidDevice = 4;
inline constexpr int32_t kNvEncErrInvalidParam = 8;
inline constexpr int32_t kNvEncErrInvalidCall = 9;
inline constexpr int32_t kNvEncErrOutOfMemory = 10;
inline constexpr int32_t kNvEncErrEncoderNotInitialized = 11;
inline constexpr int32_t kNvEncErrUnsupportedParam = 12;
inline constexpr int32_t kNvEncErrLockBusy = 13;
inline constexpr int32_t kNvEncErrInvalidVersion = 15;
inline constexpr int32_t kNvEncErrMapFailed = 16;
inline constexpr int32_t kNvEncErrEncoderBusy = 18;
inline constexpr int32_t kNvEncErrGeneric = 20;
inline constexpr int32_t kNvEncErrResourceRegisterFailed = 23;

// The API version this system is built for. NvEncodeAPIGetMaxSupportedVersion
// reports major x 16 + minor.
inline constexpr uint32_t kNvencApiMajor = 12;
inline constexpr uint32_t kNvencApiMinor = 1;

enum class NvencRateControl : uint32_t { constqp = 0, vbr = 1, cbr = 2 };
enum class NvencPictureType : uint32_t { p = 0, b = 1, i = 2, idr = 3, unknown = 0xFF };

inline constexpr uint32_t kNvencInfiniteGop = 0xFFFFFFFFu;
inline constexpr uint32_t kNvencPicFlagForceIdr = 0x4;
inline constexpr uint32_t kNvencPicFlagOutputSpsPps = 0x2;
inline constexpr uint32_t kNvencPicFlagEos = 0x8;

// The parts of NV_ENC_CONFIG (with its H.264 and VUI parts) the encoder sets.
struct NvencConfig {
    bool profile_high = false;
    uint32_t gop_length = 0;
    uint32_t idr_period = 0;
    uint32_t frame_interval_p = 0;
    NvencRateControl rate_control = NvencRateControl::constqp;
    uint32_t average_bitrate = 0;
    uint32_t max_bitrate = 0;
    uint32_t vbv_buffer_size = 0;
    uint32_t vbv_initial_delay = 0;
    bool lookahead = true;
    bool zero_reorder_delay = false;
    bool disable_sps_pps = false;
    bool repeat_sps_pps = false;
    uint32_t level = 0;  // 0: automatic
    bool cabac = false;
    uint32_t max_ref_frames = 0;
    uint32_t chroma_format_idc = 1;
    // VUI.
    uint32_t video_signal_type_present = 0;
    uint32_t video_format = 0;
    uint32_t video_full_range = 0;
    uint32_t colour_description_present = 0;
    uint32_t colour_primaries = 0;
    uint32_t transfer_characteristics = 0;
    uint32_t colour_matrix = 0;
    uint32_t bitstream_restriction = 0;
};

// NV_ENC_INITIALIZE_PARAMS: H.264, preset P1, ultra-low-latency tuning, ARGB input.
struct NvencInitParams {
    uint32_t encode_width = 0, encode_height = 0;
    uint32_t dar_width = 0, dar_height = 0;
    uint32_t frame_rate_num = 0, frame_rate_den = 1;
    bool enable_ptd = true;
    bool sync_mode = true;
    bool ultra_low_latency = true;
    NvencConfig config;
};

// NV_ENC_PIC_PARAMS.
struct NvencPicParams {
    uint32_t input_width = 0, input_height = 0, input_pitch = 0;
    uint64_t mapped_input = 0;
    uint64_t bitstream = 0;
    uint32_t frame_index = 0;
    uint64_t timestamp = 0;
    uint32_t flags = 0;
};

struct NvencLockedBitstream {
    const uint8_t* data = nullptr;
    uint32_t size = 0;
    NvencPictureType picture_type = NvencPictureType::unknown;
};

// One encode session (the function list bound to NvEncOpenEncodeSessionEx's encoder).
class INvencSession {
public:
    virtual ~INvencSession() = default;
    // NvEncGetEncodePresetConfigEx for H.264, P1, ultra low latency.
    virtual int32_t get_preset_config(NvencConfig& out) = 0;
    virtual int32_t initialize(const NvencInitParams& params) = 0;
    // NvEncRegisterResource of a BGRA texture on the session's device (ARGB, pitch 0).
    virtual int32_t register_resource(const CpuTexture& texture, uint64_t& registration) = 0;
    virtual int32_t unregister_resource(uint64_t registration) = 0;
    virtual int32_t create_bitstream_buffer(uint64_t& buffer) = 0;
    virtual int32_t destroy_bitstream_buffer(uint64_t buffer) = 0;
    virtual int32_t map_input(uint64_t registration, uint64_t& mapped) = 0;
    virtual int32_t unmap_input(uint64_t mapped) = 0;
    virtual int32_t encode_picture(const NvencPicParams& params) = 0;
    virtual int32_t lock_bitstream(uint64_t buffer, NvencLockedBitstream& out) = 0;
    virtual int32_t unlock_bitstream(uint64_t buffer) = 0;
    virtual int32_t destroy_encoder() = 0;
    // NvEncGetLastErrorString; empty when none.
    virtual std::string last_error_string() = 0;
};

// nvEncodeAPI64.dll.
class INvencLibrary {
public:
    virtual ~INvencLibrary() = default;
    // LoadLibraryExW from the system folder; win32_error is GetLastError on failure.
    virtual bool load(uint32_t& win32_error) = 0;
    // Both NvEncodeAPIGetMaxSupportedVersion and NvEncodeAPICreateInstance are exported.
    virtual bool has_entry_points() = 0;
    virtual int32_t max_supported_version(uint32_t& version) = 0;
    // NvEncodeAPICreateInstance and NvEncOpenEncodeSessionEx on a device (DirectX).
    virtual int32_t open_session(const GpuDevice& device, uint32_t api_major, uint32_t api_minor,
                                 std::unique_ptr<INvencSession>& out) = 0;
    virtual void unload() = 0;
};

// The driver's library: on Linux, the simulated machine's scripted encoder
// (which never loads unless a test scripts it to).
std::unique_ptr<INvencLibrary> make_nvenc_library();

// A library that never loads (ERROR_MOD_NOT_FOUND), for builds that cannot
// drive the encoder.
std::unique_ptr<INvencLibrary> make_absent_nvenc_library();

}  // namespace sorvane::platform
