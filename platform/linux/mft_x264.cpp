// The H.264 encoder transform on Linux: libx264 behind a synchronous software
// transform. ultrafast + zerolatency with sliced threads, an IDR only when one
// is forced, NAL units with 4-byte length prefixes and the parameter sets only
// in front of the first picture, so the encoder's normalisation and parameter
// set insertion run on real bitstreams.
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "platform/mft.h"

namespace sorvane::platform {
namespace {

constexpr uint32_t kTransformId = 1;
constexpr const char* kTransformName = "Sorvane H.264 Encoder MFT (libx264)";

class X264Transform final : public IMftTransform {
public:
    ~X264Transform() override { close_encoder(); }

    uint32_t get_attribute(MftAttribute attribute) override {
        return attribute == MftAttribute::low_latency ? low_latency_ : 0;
    }
    int32_t set_attribute(MftAttribute attribute, uint32_t value) override {
        if (attribute == MftAttribute::low_latency) low_latency_ = value;
        return kSOk;
    }
    int32_t set_d3d_manager(const GpuDevice&) override { return kENotImpl; }

    bool has_codec_api() override { return true; }
    int32_t codec_set(CodecProp prop, uint32_t value) override {
        switch (prop) {
            case CodecProp::mean_bit_rate: bitrate_ = value; break;
            case CodecProp::buffer_size: buffer_bits_ = value; break;
            case CodecProp::max_num_ref_frame: refs_ = value == 0 ? 1 : value; break;
            case CodecProp::gop_size: gop_ = value; break;
            case CodecProp::force_key_frame: force_idr_ = value != 0; break;
            case CodecProp::b_picture_count:
                if (value != 0) return kEInvalidArg;  // no B-frames here
                break;
            default: break;
        }
        return kSOk;
    }
    int32_t codec_get(CodecProp prop, uint32_t& value) override {
        if (prop != CodecProp::gop_size) return kENotImpl;
        value = gop_;
        return kSOk;
    }

    int32_t set_output_type(const MftVideoType& type) override {
        if (!type.h264 || type.width == 0 || type.height == 0 || type.fps_num == 0) return kMfEInvalidMediaType;
        if (type.profile != 66 && type.profile != 77 && type.profile != 100) return kMfEInvalidMediaType;
        out_ = type;
        if (bitrate_ == 0) bitrate_ = type.avg_bitrate;
        return kSOk;
    }
    int32_t get_output_available_type(uint32_t index, MftVideoType& type) override {
        if (index != 0 || out_.width == 0) return kMfENoMoreTypes;
        type = out_;
        return kSOk;
    }
    int32_t set_input_type(const MftVideoType& type) override {
        if (type.h264 || type.width != out_.width || type.height != out_.height) return kMfEInvalidMediaType;
        in_ = type;
        return kSOk;
    }
    int32_t get_output_stream_info(MftOutputStreamInfo& info) override {
        info.flags = kMftOutputStreamProvidesSamples;
        info.size = 0;
        return kSOk;
    }
    int32_t process_message(MftMessage message) override {
        switch (message) {
            case MftMessage::notify_begin_streaming:
                return open_encoder();
            case MftMessage::command_flush:
                pending_.clear();
                return kSOk;
            case MftMessage::notify_end_streaming:
                close_encoder();
                return kSOk;
            default:
                return kSOk;
        }
    }

    int32_t process_input(const MftSample& sample) override {
        if (!encoder_ && open_encoder() < 0) return kEUnexpected;
        if (sample.width != in_.width || sample.height != in_.height ||
            sample.size < static_cast<size_t>(sample.width) * sample.height * 3 / 2) {
            return kEInvalidArg;
        }
        x264_picture_t pic;
        x264_picture_init(&pic);
        pic.img.i_csp = X264_CSP_NV12;
        pic.img.i_plane = 2;
        pic.img.plane[0] = const_cast<uint8_t*>(sample.nv12);
        pic.img.i_stride[0] = static_cast<int>(sample.width);
        pic.img.plane[1] = const_cast<uint8_t*>(sample.nv12) + static_cast<size_t>(sample.width) * sample.height;
        pic.img.i_stride[1] = static_cast<int>(sample.width);
        pic.i_pts = pts_++;
        pic.i_type = force_idr_ ? X264_TYPE_IDR : X264_TYPE_AUTO;
        force_idr_ = false;
        x264_nal_t* nals = nullptr;
        int count = 0;
        x264_picture_t out_pic;
        int bytes = x264_encoder_encode(encoder_, &nals, &count, &pic, &out_pic);
        if (bytes < 0) return kEFail;
        std::vector<uint8_t> unit;
        if (!headers_sent_) {
            unit = headers_;
            headers_sent_ = true;
        }
        for (int i = 0; i < count; ++i) unit.insert(unit.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
        if (!unit.empty()) pending_.push_back(std::move(unit));
        return kSOk;
    }

    int32_t process_output(uint32_t caller_buffer_size, std::vector<uint8_t>& out) override {
        if (pending_.empty()) return kMfETransformNeedMoreInput;
        if (caller_buffer_size != 0 && pending_.front().size() > caller_buffer_size) return kMfEBufferTooSmall;
        out = std::move(pending_.front());
        pending_.pop_front();
        return kSOk;
    }

    bool has_event_generator() override { return false; }
    int32_t begin_get_event(std::function<void(uint32_t, int32_t)>) override { return kENotImpl; }

private:
    static constexpr int32_t kMfENoMoreTypes = static_cast<int32_t>(0xC00D6D77u);
    static constexpr int32_t kMfEBufferTooSmall = static_cast<int32_t>(0xC00D36B1u);

    int32_t open_encoder() {
        if (encoder_) return kSOk;
        if (in_.width == 0) return kMfEInvalidMediaType;
        x264_param_t p;
        if (x264_param_default_preset(&p, "ultrafast", "zerolatency") < 0) return kEFail;
        p.i_width = static_cast<int>(out_.width);
        p.i_height = static_cast<int>(out_.height);
        p.i_csp = X264_CSP_NV12;
        p.i_fps_num = out_.fps_num;
        p.i_fps_den = out_.fps_den == 0 ? 1 : out_.fps_den;
        p.i_timebase_num = p.i_fps_den;
        p.i_timebase_den = p.i_fps_num;
        p.b_vfr_input = 0;
        p.i_threads = X264_THREADS_AUTO;
        p.b_sliced_threads = 1;
        p.i_keyint_max = gop_ == 0 || gop_ >= 36000 ? X264_KEYINT_MAX_INFINITE : static_cast<int>(gop_);
        p.i_scenecut_threshold = 0;  // no IDR unless asked for
        p.i_bframe = 0;
        p.i_frame_reference = static_cast<int>(refs_);
        p.b_repeat_headers = 0;
        p.b_annexb = 0;
        p.i_log_level = X264_LOG_NONE;
        uint32_t kbps = (bitrate_ == 0 ? 20'000'000u : bitrate_) / 1000;
        p.rc.i_rc_method = X264_RC_ABR;
        p.rc.i_bitrate = static_cast<int>(kbps);
        p.rc.i_vbv_max_bitrate = static_cast<int>(kbps);
        // The buffer the encoder was given (one frame's worth: a frame never
        // waits behind the one before it), or one frame's worth of the rate.
        const uint32_t frame_kbit = kbps / (out_.fps_num == 0 ? 60 : out_.fps_num);
        const uint32_t buffer_kbit = buffer_bits_ != 0 ? buffer_bits_ / 1000 : frame_kbit;
        p.rc.i_vbv_buffer_size = static_cast<int>(buffer_kbit != 0 ? buffer_kbit : 1);
        // High gets its 8x8 transform (cheap); CABAC stays off for speed, so
        // Main comes out as constrained baseline, which Main decoders take.
        if (out_.profile == 100) p.analyse.b_transform_8x8 = 1;
        const char* profile = out_.profile == 66 ? "baseline" : out_.profile == 77 ? "main" : "high";
        if (x264_param_apply_profile(&p, profile) < 0) return kEFail;
        encoder_ = x264_encoder_open(&p);
        if (!encoder_) return kEFail;
        x264_nal_t* nals = nullptr;
        int count = 0;
        if (x264_encoder_headers(encoder_, &nals, &count) < 0) {
            close_encoder();
            return kEFail;
        }
        headers_.clear();
        for (int i = 0; i < count; ++i) {
            // SPS and PPS only; the encoder's own SEI is left out.
            if (nals[i].i_type == NAL_SPS || nals[i].i_type == NAL_PPS) {
                headers_.insert(headers_.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
            }
        }
        headers_sent_ = false;
        return kSOk;
    }

    void close_encoder() {
        if (encoder_) x264_encoder_close(encoder_);
        encoder_ = nullptr;
    }

    x264_t* encoder_ = nullptr;
    MftVideoType out_, in_;
    uint32_t low_latency_ = 0;
    uint32_t bitrate_ = 0, buffer_bits_ = 0, refs_ = 1, gop_ = 0;
    bool force_idr_ = false;
    int64_t pts_ = 0;
    std::vector<uint8_t> headers_;
    bool headers_sent_ = false;
    std::deque<std::vector<uint8_t>> pending_;
};

class X264Port final : public IMftPort {
public:
    bool media_foundation_available(std::string&) override { return true; }
    int32_t startup() override { return kSOk; }
    void shutdown() override {}

    // Every adapter is the CPU here: software, with the basic render driver's vendor id.
    int32_t find_adapter(uint64_t luid, AdapterDesc& out) override {
        out = AdapterDesc{};
        out.luid = luid;
        out.description = "CPU (libx264)";
        out.vendor_id = 0x1414;
        out.software = true;
        return kSOk;
    }
    int32_t create_encoder_device(const AdapterDesc& adapter, std::shared_ptr<GpuDevice>& out,
                                  bool& video_processor) override {
        out = std::make_shared<GpuDevice>();
        out->adapter = adapter;
        video_processor = true;
        return kSOk;
    }

    std::vector<MftActivate> list_encoder_transforms(bool hardware, const uint64_t*) override {
        if (hardware) return {};
        return {MftActivate{kTransformName, kTransformId}};
    }
    int32_t activate(const MftActivate& which, std::unique_ptr<IMftTransform>& out) override {
        if (which.id != kTransformId) return kEInvalidArg;
        out = std::make_unique<X264Transform>();
        return kSOk;
    }
};

}  // namespace

std::unique_ptr<IMftPort> make_mft_port() { return std::make_unique<X264Port>(); }

}  // namespace sorvane::platform
