#include "platform/sim/nvenc_scripted.h"

namespace sorvane::sim {
namespace {

using platform::NvencConfig;
using platform::NvencInitParams;
using platform::NvencLockedBitstream;
using platform::NvencPicParams;

// Counts the call and returns the scripted status of this use (0 = success).
int32_t scripted(NvencScript& script, NvencRecord& record, NvencCall call) {
    uint32_t n = ++record.calls[call];
    auto it = script.failures.find(call);
    if (it != script.failures.end() && it->second.second != 0 && n >= it->second.second) return it->second.first;
    return platform::kNvEncSuccess;
}

class ScriptedSession final : public platform::INvencSession {
public:
    ScriptedSession(std::shared_ptr<NvencScript> script, std::shared_ptr<NvencRecord> record,
                    platform::IMftPort& transforms)
        : script_(std::move(script)), record_(std::move(record)), transforms_(transforms) {}

    int32_t get_preset_config(NvencConfig& out) override {
        if (int32_t s = call(NvencCall::get_preset_config)) return s;
        out = NvencConfig{};
        out.gop_length = 250;
        out.idr_period = 250;
        out.frame_interval_p = 1;
        out.rate_control = platform::NvencRateControl::cbr;
        return platform::kNvEncSuccess;
    }

    int32_t initialize(const NvencInitParams& params) override {
        if (int32_t s = call(NvencCall::initialize)) return s;
        record_->init = params;
        if (params.encode_width == 0 || params.encode_height == 0 || params.frame_rate_num == 0 ||
            (params.encode_width | params.encode_height) & 1u) {
            return platform::kNvEncErrInvalidParam;
        }
        std::vector<platform::MftActivate> list = transforms_.list_encoder_transforms(false, nullptr);
        if (list.empty() || transforms_.activate(list.front(), transform_) != 0) return platform::kNvEncErrNoEncodeDevice;
        platform::MftVideoType out;
        out.h264 = true;
        out.width = params.encode_width;
        out.height = params.encode_height;
        out.fps_num = params.frame_rate_num;
        out.fps_den = params.frame_rate_den == 0 ? 1 : params.frame_rate_den;
        out.avg_bitrate = params.config.average_bitrate;
        out.profile = params.config.profile_high ? 100 : 77;
        platform::MftVideoType in = out;
        in.h264 = false;
        transform_->codec_set(platform::CodecProp::mean_bit_rate, params.config.average_bitrate);
        transform_->codec_set(platform::CodecProp::buffer_size, params.config.vbv_buffer_size);
        transform_->codec_set(platform::CodecProp::max_num_ref_frame, params.config.max_ref_frames);
        transform_->codec_set(platform::CodecProp::gop_size,
                              params.config.gop_length == platform::kNvencInfiniteGop ? 0 : params.config.gop_length);
        if (transform_->set_output_type(out) != 0 || transform_->set_input_type(in) != 0 ||
            transform_->process_message(platform::MftMessage::notify_begin_streaming) != 0) {
            transform_.reset();
            return platform::kNvEncErrUnsupportedParam;
        }
        width_ = params.encode_width;
        height_ = params.encode_height;
        return platform::kNvEncSuccess;
    }

    int32_t register_resource(const platform::CpuTexture& texture, uint64_t& registration) override {
        if (int32_t s = call(NvencCall::register_resource)) return s;
        if (texture.format != platform::kFormatBgra8) return platform::kNvEncErrResourceRegisterFailed;
        texture_ = &texture;
        ++record_->registered;
        registration = 0x100;
        return platform::kNvEncSuccess;
    }
    int32_t unregister_resource(uint64_t) override {
        ++record_->unregistered;
        texture_ = nullptr;
        return platform::kNvEncSuccess;
    }
    int32_t create_bitstream_buffer(uint64_t& buffer) override {
        if (int32_t s = call(NvencCall::create_bitstream_buffer)) return s;
        ++record_->buffers;
        buffer = 0x200;
        return platform::kNvEncSuccess;
    }
    int32_t destroy_bitstream_buffer(uint64_t) override {
        ++record_->buffers_destroyed;
        return platform::kNvEncSuccess;
    }
    int32_t map_input(uint64_t registration, uint64_t& mapped) override {
        if (int32_t s = call(NvencCall::map_input)) return s;
        if (registration != 0x100 || texture_ == nullptr) return platform::kNvEncErrInvalidParam;
        ++record_->mapped;
        mapped = 0x300;
        return platform::kNvEncSuccess;
    }
    int32_t unmap_input(uint64_t) override {
        ++record_->unmapped;
        return platform::kNvEncSuccess;
    }

    int32_t encode_picture(const NvencPicParams& params) override {
        if (int32_t s = call(NvencCall::encode_picture)) return s;
        record_->pictures.push_back(params);
        if (params.flags & platform::kNvencPicFlagEos) return platform::kNvEncSuccess;
        if (!transform_ || texture_ == nullptr || params.mapped_input != 0x300) return platform::kNvEncErrInvalidCall;
        nv12_.resize(static_cast<size_t>(width_) * height_ * 3 / 2);
        platform::bgra_to_nv12(texture_->data.data(), texture_->pitch, width_, height_, nv12_.data(), width_,
                               nv12_.data() + static_cast<size_t>(width_) * height_, width_);
        if (params.flags & platform::kNvencPicFlagForceIdr) {
            transform_->codec_set(platform::CodecProp::force_key_frame, 1);
        }
        platform::MftSample sample;
        sample.nv12 = nv12_.data();
        sample.size = nv12_.size();
        sample.width = width_;
        sample.height = height_;
        sample.time = static_cast<int64_t>(params.timestamp);
        if (transform_->process_input(sample) != 0) return platform::kNvEncErrGeneric;
        std::vector<uint8_t> raw;
        bitstream_.clear();
        keyframe_ = false;
        while (transform_->process_output(0, raw) == 0) {
            bool key = false;
            std::vector<uint8_t> unit = length_prefixed_to_annexb(raw, sps_pps_, key);
            keyframe_ = keyframe_ || key;
            bitstream_.insert(bitstream_.end(), unit.begin(), unit.end());
        }
        return platform::kNvEncSuccess;
    }

    int32_t lock_bitstream(uint64_t buffer, NvencLockedBitstream& out) override {
        if (int32_t s = call(NvencCall::lock_bitstream)) return s;
        if (buffer != 0x200) return platform::kNvEncErrInvalidParam;
        out.data = bitstream_.data();
        out.size = static_cast<uint32_t>(bitstream_.size());
        out.picture_type = keyframe_ ? platform::NvencPictureType::idr : platform::NvencPictureType::p;
        return platform::kNvEncSuccess;
    }
    int32_t unlock_bitstream(uint64_t) override { return platform::kNvEncSuccess; }

    int32_t destroy_encoder() override {
        ++record_->sessions_destroyed;
        if (transform_) transform_->process_message(platform::MftMessage::notify_end_streaming);
        transform_.reset();
        return platform::kNvEncSuccess;
    }

    std::string last_error_string() override { return failed_ ? script_->last_error_string : std::string(); }

private:
    int32_t call(NvencCall c) {
        int32_t s = scripted(*script_, *record_, c);
        failed_ = s != 0;
        return s;
    }

    std::shared_ptr<NvencScript> script_;
    std::shared_ptr<NvencRecord> record_;
    platform::IMftPort& transforms_;
    std::unique_ptr<platform::IMftTransform> transform_;
    const platform::CpuTexture* texture_ = nullptr;
    uint32_t width_ = 0, height_ = 0;
    std::vector<uint8_t> nv12_, bitstream_, sps_pps_;
    bool keyframe_ = false;
    bool failed_ = false;
};

}  // namespace

std::vector<uint8_t> length_prefixed_to_annexb(const std::vector<uint8_t>& in, std::vector<uint8_t>& sps_pps,
                                               bool& keyframe) {
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    std::vector<uint8_t> params, slices;
    bool had_params = false;
    keyframe = false;
    size_t pos = 0;
    while (pos + 4 <= in.size()) {
        size_t n = (static_cast<size_t>(in[pos]) << 24) | (static_cast<size_t>(in[pos + 1]) << 16) |
                   (static_cast<size_t>(in[pos + 2]) << 8) | in[pos + 3];
        pos += 4;
        if (n == 0 || n > in.size() - pos) break;
        const uint8_t type = in[pos] & 0x1F;
        std::vector<uint8_t>& dst = (type == 7 || type == 8) ? params : slices;
        dst.insert(dst.end(), kStart, kStart + 4);
        dst.insert(dst.end(), in.begin() + static_cast<std::ptrdiff_t>(pos), in.begin() + static_cast<std::ptrdiff_t>(pos + n));
        had_params = had_params || type == 7;
        keyframe = keyframe || type == 5;
        pos += n;
    }
    if (had_params) sps_pps = params;
    std::vector<uint8_t> out;
    if (keyframe) out = had_params ? params : sps_pps;
    else out = params;
    out.insert(out.end(), slices.begin(), slices.end());
    return out;
}

ScriptedNvencLibrary::ScriptedNvencLibrary(NvencScript script, platform::IMftPort& transforms)
    : script_(std::make_shared<NvencScript>(std::move(script))),
      record_(std::make_shared<NvencRecord>()),
      transforms_(transforms) {}

bool ScriptedNvencLibrary::load(uint32_t& win32_error) {
    if (!script_->loads) {
        win32_error = script_->load_error;
        return false;
    }
    ++record_->loads;
    win32_error = 0;
    return true;
}

bool ScriptedNvencLibrary::has_entry_points() { return script_->entry_points; }

int32_t ScriptedNvencLibrary::max_supported_version(uint32_t& version) {
    if (int32_t s = scripted(*script_, *record_, NvencCall::max_version)) return s;
    version = script_->max_version;
    return platform::kNvEncSuccess;
}

int32_t ScriptedNvencLibrary::open_session(const platform::GpuDevice& device, uint32_t api_major, uint32_t api_minor,
                                           std::unique_ptr<platform::INvencSession>& out) {
    if (int32_t s = scripted(*script_, *record_, NvencCall::open_session)) return s;
    if (device.adapter.vendor_id != 0x10DE) return platform::kNvEncErrUnsupportedDevice;
    record_->api_major = api_major;
    record_->api_minor = api_minor;
    ++record_->sessions_opened;
    out = std::make_unique<ScriptedSession>(script_, record_, transforms_);
    return platform::kNvEncSuccess;
}

void ScriptedNvencLibrary::unload() { ++record_->unloads; }

}  // namespace sorvane::sim
