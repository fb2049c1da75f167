#include "host/media/nvenc_encoder.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/text_format.h"

namespace sorvane {

using platform::kNvencApiMajor;
using platform::kNvencApiMinor;

NvencEncoder::NvencEncoder(platform::INvencLibrary& library, platform::IClock& clock)
    : library_(library), clock_(clock) {
    config_.fps = 60;
    config_.bitrate = 20'000'000;
    config_.gop = 60;
    info_.kind = EncoderInfoKind::nvenc;
    info_.name = "NVENC";
    info_.hardware = true;
}

NvencEncoder::~NvencEncoder() { close(); }

bool NvencEncoder::fail(std::string text) {
    last_error_ = std::move(text);
    return false;
}

bool NvencEncoder::check(const char* function, int32_t status) {
    if (status == platform::kNvEncSuccess) return true;
    std::string detail = session_ ? session_->last_error_string() : std::string();
    last_error_ = format_text("%s failed: NVENCSTATUS=%d%s%s", function, static_cast<int>(status),
                              detail.empty() ? "" : " -- ", detail.c_str());
    return false;
}

bool NvencEncoder::init(const EncodeConfig& config) {
    close();
    last_error_.clear();
    if (open(config)) return true;
    std::string error = last_error_;
    close();
    last_error_ = error;
    return false;
}

bool NvencEncoder::open(const EncodeConfig& config) {
    if (config.device == nullptr) return fail("EncodeConfig.device (ID3D11Device*) is null");
    if (config.width == 0 || config.height == 0 || config.fps == 0) {
        return fail("EncodeConfig width/height/fps must be non-zero");
    }
    config_ = config;
    const platform::AdapterDesc& adapter = config.device->adapter;
    if (adapter.vendor_id == 0 && adapter.description.empty()) {
        return fail("could not query the adapter of the D3D11 device");
    }
    info_.adapter = adapter.description;
    if (adapter.vendor_id != kNvidiaVendorId) {
        return fail(format_text("D3D11 device is on adapter '%s' (vendor 0x%04" PRIX32
                                "), not NVIDIA; NVENC needs a device on the NVIDIA adapter",
                                adapter.description.c_str(), adapter.vendor_id));
    }
    uint32_t load_error = 0;
    if (!library_.load(load_error)) {
        return fail(format_text("nvEncodeAPI64.dll could not be loaded (GetLastError=%" PRIu32
                                "); is the NVIDIA driver installed?",
                                load_error));
    }
    loaded_ = true;
    if (!library_.has_entry_points()) return fail("nvEncodeAPI64.dll does not export the expected entry points");
    uint32_t version = 0;
    if (!check("NvEncodeAPIGetMaxSupportedVersion", library_.max_supported_version(version))) return false;
    const uint32_t major = version >> 4, minor = version & 0xF;
    std::printf("NVENC: driver max API %" PRIu32 ".%" PRIu32 ", header API %" PRIu32 ".%" PRIu32 "\n", major, minor,
                kNvencApiMajor, kNvencApiMinor);
    if (version < ((kNvencApiMajor << 4) | kNvencApiMinor)) {
        return fail(format_text("nv-codec-headers API %" PRIu32 ".%" PRIu32 " is newer than the driver's max %" PRIu32
                                ".%" PRIu32 "; update the NVIDIA driver or pin an older header tag",
                                kNvencApiMajor, kNvencApiMinor, major, minor));
    }
    if (!check("NvEncOpenEncodeSessionEx", library_.open_session(*config.device, kNvencApiMajor, kNvencApiMinor, session_))) {
        session_.reset();
        return false;
    }

    platform::NvencConfig c;
    if (!check("NvEncGetEncodePresetConfigEx", session_->get_preset_config(c))) return false;
    c.profile_high = true;
    c.gop_length = c.idr_period = config.gop == 0 ? platform::kNvencInfiniteGop : config.gop;
    c.frame_interval_p = 1;
    c.rate_control = platform::NvencRateControl::cbr;
    c.average_bitrate = c.max_bitrate = config.bitrate;
    c.vbv_buffer_size = c.vbv_initial_delay = config.bitrate / config.fps;
    c.lookahead = false;
    c.zero_reorder_delay = true;
    c.disable_sps_pps = false;
    c.repeat_sps_pps = true;
    c.level = 0;
    c.cabac = true;
    c.max_ref_frames = 1;
    c.chroma_format_idc = 1;
    c.video_signal_type_present = 1;
    c.video_format = 5;
    c.video_full_range = 0;
    c.colour_description_present = 1;
    c.colour_primaries = c.transfer_characteristics = c.colour_matrix = 1;
    c.bitstream_restriction = 1;

    init_params_ = platform::NvencInitParams{};
    init_params_.encode_width = init_params_.dar_width = config.width;
    init_params_.encode_height = init_params_.dar_height = config.height;
    init_params_.frame_rate_num = config.fps;
    init_params_.frame_rate_den = 1;
    init_params_.enable_ptd = true;
    init_params_.sync_mode = true;
    init_params_.ultra_low_latency = true;
    init_params_.config = c;
    if (!check("NvEncInitializeEncoder", session_->initialize(init_params_))) return false;

    if (!input_texture_.allocate(config.width, config.height, platform::kFormatBgra8)) {
        return fail(format_text("CreateTexture2D for encoder input failed: hr=0x%08" PRIX32,
                                static_cast<uint32_t>(0x8007000Eu)));  // E_OUTOFMEMORY
    }
    if (!check("NvEncRegisterResource", session_->register_resource(input_texture_, registration_))) return false;
    registered_ = true;
    if (!check("NvEncCreateBitstreamBuffer", session_->create_bitstream_buffer(bitstream_))) return false;
    have_bitstream_ = true;
    input_ready_ = false;
    keyframe_requested_ = false;
    frame_count_ = 0;
    return true;
}

bool NvencEncoder::copy_input(const platform::CpuTexture* texture) {
    if (!session_ || input_texture_.empty()) return fail("copy_input: encoder not initialised");
    if (texture == nullptr) return fail("copy_input: null texture");
    if (texture->width != config_.width || texture->height != config_.height ||
        texture->format != platform::kFormatBgra8) {
        return fail(copy_input_mismatch_text(*texture, config_.width, config_.height) + " (format 87)");
    }
    for (uint32_t y = 0; y < texture->height; ++y) {
        std::copy_n(texture->row(y), static_cast<size_t>(texture->width) * 4, input_texture_.row(y));
    }
    input_ready_ = true;
    return true;
}

bool NvencEncoder::encode_frame(EncodedFrame& out) {
    out = EncodedFrame{};
    if (!session_) return fail("encode_frame: encoder not initialised");
    if (!input_ready_) return fail("encode_frame: no input (call copy_input first)");
    input_ready_ = false;
    uint64_t mapped = 0;
    if (!check("NvEncMapInputResource", session_->map_input(registration_, mapped))) return false;

    platform::NvencPicParams pic;
    pic.input_width = config_.width;
    pic.input_height = config_.height;
    pic.input_pitch = config_.width;
    pic.mapped_input = mapped;
    pic.bitstream = bitstream_;
    pic.frame_index = frame_count_;
    pic.timestamp = frame_count_;
    if (frame_count_ == 0 || keyframe_requested_) {
        pic.flags = platform::kNvencPicFlagForceIdr | platform::kNvencPicFlagOutputSpsPps;
    }
    keyframe_requested_ = false;

    bool ok = false;
    const uint64_t start_us = clock_.now_us();
    if (check("NvEncEncodePicture", session_->encode_picture(pic))) {
        platform::NvencLockedBitstream locked;
        if (check("NvEncLockBitstream", session_->lock_bitstream(bitstream_, locked))) {
            out_buffer_.assign(locked.data, locked.data + locked.size);
            out.data = out_buffer_.data();
            out.size = out_buffer_.size();
            out.keyframe = locked.picture_type == platform::NvencPictureType::idr;
            out.encode_ms = static_cast<double>(clock_.now_us() - start_us) / 1000.0;
            ok = check("NvEncUnlockBitstream", session_->unlock_bitstream(bitstream_));
            ++frame_count_;
        }
    }
    const int32_t unmap = session_->unmap_input(mapped);
    if (ok) ok = check("NvEncUnmapInputResource", unmap);
    if (!ok) out = EncodedFrame{};
    return ok;
}

void NvencEncoder::close() {
    if (session_) {
        if (have_bitstream_) {
            platform::NvencPicParams eos;
            eos.flags = platform::kNvencPicFlagEos;
            session_->encode_picture(eos);
            session_->destroy_bitstream_buffer(bitstream_);
        }
        if (registered_) session_->unregister_resource(registration_);
        session_->destroy_encoder();
        session_.reset();
    }
    have_bitstream_ = registered_ = false;
    input_texture_ = platform::CpuTexture{};
    if (loaded_) library_.unload();
    loaded_ = false;
    input_ready_ = false;
}

}  // namespace sorvane
