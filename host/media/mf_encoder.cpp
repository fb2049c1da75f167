#include "host/media/mf_encoder.h"

#include <cinttypes>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <utility>

#include "host/core/log.h"
#include "host/media/h264_bits.h"
#include "host/media/h264_sps.h"

namespace sorvane {

using platform::CodecProp;
using platform::MftAttribute;
using platform::MftMessage;

namespace {

std::string hr_text(int32_t hr) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hr=0x%08" PRIX32, static_cast<uint32_t>(hr));
    return buf;
}

const uint8_t kStartCode[4] = {0, 0, 0, 1};

void append_unit(std::vector<uint8_t>& out, std::span<const uint8_t> unit) {
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), unit.begin(), unit.end());
}

double elapsed_ms(platform::IClock& clock, uint64_t since_us) {
    return static_cast<double>(clock.now_us() - since_us) / 1000.0;
}

}  // namespace

bool normalise_access_unit(std::span<const uint8_t> in, ParamSetCache& cache, std::vector<uint8_t>& out,
                           bool& keyframe) {
    out.clear();
    keyframe = false;
    // Length-prefixed output is tried first: a unit of 1 byte, or of 256 to
    // 511 bytes, has a prefix that reads as a start code, and taken for
    // Annex-B such a frame comes out as garbage. Annex-B output practically
    // never splits exactly into length-prefixed units of valid NAL headers.
    std::vector<std::span<const uint8_t>> units;
    auto valid_headers = [&units] {
        for (std::span<const uint8_t> u : units) {
            if (u.empty() || (u[0] & 0x80) != 0) return false;
        }
        return !units.empty();
    };
    if (!h264::split_length_prefixed(in, units) || !valid_headers()) {
        if (!h264::is_annexb(in)) return false;
        units = h264::split_annexb(in);
    }
    bool has_sps = false, has_pps = false;
    std::vector<uint8_t> body;
    std::vector<uint8_t> rewritten;
    for (std::span<const uint8_t> unit : units) {
        if (unit.empty()) continue;
        switch (unit[0] & 0x1F) {
            case 7:
                if (h264::rewrite_sps(unit, rewritten)) {
                    cache.sps = rewritten;
                } else {
                    cache.sps.assign(unit.begin(), unit.end());
                }
                append_unit(body, cache.sps);
                has_sps = true;
                break;
            case 8:
                cache.pps.assign(unit.begin(), unit.end());
                append_unit(body, unit);
                has_pps = true;
                break;
            case 5:
                keyframe = true;
                append_unit(body, unit);
                break;
            default:
                append_unit(body, unit);
                break;
        }
    }
    if (keyframe && (!has_sps || !has_pps) && !cache.sps.empty() && !cache.pps.empty()) {
        if (!has_sps) append_unit(out, cache.sps);
        if (!has_pps) append_unit(out, cache.pps);
    }
    out.insert(out.end(), body.begin(), body.end());
    return !out.empty();
}

std::string media_foundation_missing_text(const std::string& dll) {
    return "Media Foundation bulunamadi (" + dll +
           "): bu Windows surumunde (N / KN) 'Media Feature Pack' kurulu degil. Kurulum: Ayarlar > Uygulamalar > "
           "Istege bagli ozellikler > Media Feature Pack. / Media Foundation is not available on this Windows edition "
           "(N / KN): install the Media Feature Pack.";
}

// Collects the events of an asynchronous transform: the transform calls back
// on its own threads; the frame thread waits on the queue. The sink holds a
// reference to the transform, so a callback still running when the encoder
// closes re-arms (or not) on a transform that is alive; the transform goes
// with the last of them.
class MfEncoder::EventSink : public std::enable_shared_from_this<EventSink> {
public:
    explicit EventSink(std::shared_ptr<platform::IMftTransform> transform) : transform_(std::move(transform)) {}

    int32_t begin() {
        std::weak_ptr<EventSink> weak = shared_from_this();
        return transform_->begin_get_event([weak](uint32_t type, int32_t status) {
            if (auto self = weak.lock()) self->invoke(type, status);
        });
    }

    void invoke(uint32_t type, int32_t status) {
        {
            std::lock_guard lock(mutex_);
            queue_.emplace_back(type, status);
        }
        cv_.notify_all();
        // A failed event request ends the events: the port hands it over as
        // MEError with the request's failure, and asking again would only fail again.
        if (stop_ || (type == platform::kMeError && status < 0)) return;
        int32_t hr = begin();
        if (hr < 0) {
            {
                std::lock_guard lock(mutex_);
                queue_.emplace_back(platform::kMeError, hr);
            }
            cv_.notify_all();
        }
    }

    bool wait(platform::IClock& clock, uint64_t timeout_ms, std::pair<uint32_t, int32_t>& out) {
        std::unique_lock lock(mutex_);
        uint64_t deadline = clock.now_ms() + timeout_ms;
        if (queue_.empty()) clock.wait_until(lock, cv_, deadline, [&] { return !queue_.empty(); });
        if (queue_.empty()) return false;
        out = queue_.front();
        queue_.pop_front();
        return true;
    }

    void stop() { stop_ = true; }

private:
    const std::shared_ptr<platform::IMftTransform> transform_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::pair<uint32_t, int32_t>> queue_;
    std::atomic<bool> stop_{false};
};

MfEncoder::MfEncoder(platform::IMftPort& port, platform::IClock& clock, MfEncoderOptions options)
    : port_(port), clock_(clock), options_(options) {}

MfEncoder::~MfEncoder() { close(); }

bool MfEncoder::fail(std::string text) {
    last_error_ = std::move(text);
    return false;
}

bool MfEncoder::fail_hr(const std::string& step, int32_t hr) { return fail(step + " failed: " + hr_text(hr)); }

platform::CpuTexture* MfEncoder::input_texture() { return input_texture_.empty() ? nullptr : &input_texture_; }

bool MfEncoder::init(const EncodeConfig& config) {
    close();
    last_error_.clear();
    if (!open(config)) {
        std::string error = last_error_;
        close();
        last_error_ = error;
        return false;
    }
    return true;
}

bool MfEncoder::open(const EncodeConfig& config) {
    std::string missing;
    if (!port_.media_foundation_available(missing)) return fail(media_foundation_missing_text(missing));
    if (config.device == nullptr) return fail("EncodeConfig.device (ID3D11Device*) is null");
    if (config.width == 0 || config.height == 0 || config.fps == 0) {
        return fail("EncodeConfig width/height/fps must be non-zero");
    }
    if ((config.width | config.height) & 1u) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "size %" PRIu32 "x%" PRIu32 ": H.264 4:2:0 needs even dimensions",
                      config.width, config.height);
        return fail(buf);
    }
    config_ = config;
    int32_t hr = port_.startup();
    if (hr < 0) return fail("MFStartup failed: " + hr_text(hr));
    mf_started_ = true;

    const platform::AdapterDesc& capture = config.device->adapter;
    uint64_t luid = options_.hardware && options_.adapter_luid != 0 ? options_.adapter_luid : capture.luid;
    cross_adapter_ = luid != capture.luid;
    platform::AdapterDesc adapter;
    if (port_.find_adapter(luid, adapter) < 0) return fail("encoder adapter not found");
    info_.adapter = adapter.description;

    cpu_convert_ = options_.software && (adapter.software || adapter.vendor_id == 0x1414);
    bool video_processor = false;
    if (!cpu_convert_) {
        hr = port_.create_encoder_device(adapter, encoder_device_, video_processor);
        if (hr < 0) {
            if (!options_.software) return fail_hr("D3D11CreateDevice (encoder adapter)", hr);
            log("[encoder] D3D11 video device unavailable on '%s' (%s); converting BGRA->NV12 on the CPU",
                adapter.description.c_str(), hr_text(hr).c_str());
            cpu_convert_ = true;
        }
    }
    if (!input_texture_.allocate(config.width, config.height, platform::kFormatBgra8)) {
        return fail("CreateTexture2D (encoder input) failed: " + hr_text(platform::kEInvalidArg));
    }
    if (cpu_convert_) {
        // The CPU bridge converts straight from the input texture (or the
        // caller's image): on the CPU the staging read-back would be a copy.
        nv12_buffer_.resize(static_cast<size_t>(config.width) * config.height * 3 / 2);
    } else {
        if (!video_processor) return fail("this GPU/driver has no D3D11 video processor");
        ring_.resize(4);
        for (auto& t : ring_) t.allocate(config.width, config.height, platform::kFormatNv12);
        if (options_.software) nv12_staging_.allocate(config.width, config.height, platform::kFormatNv12);
    }

    // The transform.
    std::vector<platform::MftActivate> list =
        port_.list_encoder_transforms(!options_.software, options_.software ? nullptr : &luid);
    if (list.empty()) {
        if (options_.software) return fail("no Media Foundation software H.264 encoder found");
        return fail("no Media Foundation hardware H.264 encoder for adapter '" + adapter.description + "'");
    }
    const platform::MftActivate* chosen = &list.front();
    if (options_.software) {
        for (const auto& a : list) {
            if (a.friendly_name.size() > 8 && a.friendly_name.find("Microsoft") != std::string::npos) {
                chosen = &a;
                break;
            }
        }
    }
    transform_name_ = chosen->friendly_name.empty() ? "(unnamed MFT)" : chosen->friendly_name;
    std::unique_ptr<platform::IMftTransform> activated;
    hr = port_.activate(*chosen, activated);
    if (hr < 0 || !activated) return fail_hr("activating " + transform_name_, hr < 0 ? hr : platform::kEFail);
    transform_ = std::move(activated);
    if (transform_->get_attribute(MftAttribute::transform_async) != 0) {
        async_ = true;
        transform_->set_attribute(MftAttribute::transform_async_unlock, 1);
    }
    transform_->set_attribute(MftAttribute::low_latency, 1);
    if (!options_.software) {
        const platform::GpuDevice* device = encoder_device_ ? encoder_device_.get() : config.device;
        hr = transform_->set_d3d_manager(*device);
        if (hr < 0) return fail_hr("MFT_MESSAGE_SET_D3D_MANAGER", hr);
    }

    platform::MftVideoType out;
    out.h264 = true;
    out.avg_bitrate = config.bitrate;
    out.width = config.width;
    out.height = config.height;
    out.fps_num = config.fps;
    out.max_keyframe_spacing = config.gop != 0 ? config.gop : 0x7FFFFFFFu;
    hr = platform::kMfEInvalidMediaType;
    for (uint32_t profile : {100u, 77u, 66u}) {
        out.profile = profile;
        hr = transform_->set_output_type(out);
        if (hr >= 0) {
            profile_ = profile;
            break;
        }
    }
    if (hr < 0) return fail_hr("SetOutputType(H.264)", hr);
    if (transform_->has_codec_api()) set_codec_properties();

    platform::MftVideoType in;
    in.width = config.width;
    in.height = config.height;
    in.fps_num = config.fps;
    in.primaries = 2;
    in.yuv_matrix = 1;
    in.transfer = 5;
    in.nominal_range = 2;
    in.default_stride = config.width;
    hr = transform_->set_input_type(in);
    if (hr < 0) return fail_hr("SetInputType(NV12)", hr);
    transform_->get_output_stream_info(stream_info_);

    if (async_) {
        if (!transform_->has_event_generator()) return fail("asynchronous MFT without an event generator");
        sink_ = std::make_shared<EventSink>(transform_);
        hr = sink_->begin();
        if (hr < 0) return fail_hr("BeginGetEvent", hr);
    }
    transform_->process_message(MftMessage::command_flush);
    transform_->process_message(MftMessage::notify_begin_streaming);
    transform_->process_message(MftMessage::notify_start_of_stream);

    info_.kind = options_.software ? EncoderInfoKind::mf_software : EncoderInfoKind::mf_hardware;
    info_.hardware = !options_.software;
    info_.name = "Media Foundation (" + transform_name_ + ")";
    info_.cross_adapter = cross_adapter_;
    frame_count_ = 0;
    keyframe_requested_ = false;
    open_ = true;
    return true;
}

void MfEncoder::set_codec_properties() {
    platform::IMftTransform& t = *transform_;
    t.codec_set(CodecProp::low_latency_mode, 1);
    t.codec_set(CodecProp::rate_control_mode, 0);
    t.codec_set(CodecProp::mean_bit_rate, config_.bitrate);
    t.codec_set(CodecProp::buffer_size, config_.bitrate / config_.fps);
    t.codec_set(CodecProp::b_picture_count, 0);
    t.codec_set(CodecProp::max_num_ref_frame, 1);
    t.codec_set(CodecProp::quality_vs_speed, 20);
    t.codec_set(CodecProp::real_time, 1);
    if (config_.gop != 0) {
        t.codec_set(CodecProp::gop_size, config_.gop);
    } else {
        int32_t hr = t.codec_set(CodecProp::gop_size, 2147483647u);
        log("[encoder] MF GOP size %u requested: %s", 2147483647u, hr_text(hr).c_str());
        if (hr < 0) {
            hr = t.codec_set(CodecProp::gop_size, 1048576u);
            log("[encoder] MF GOP size 1048576 fallback: %s", hr_text(hr).c_str());
            if (hr < 0) t.codec_set(CodecProp::gop_size, 36000u);
        }
    }
    uint32_t gop = 0;
    if (t.codec_get(CodecProp::gop_size, gop) >= 0) log("[encoder] MF GOP size read back: %" PRIu32, gop);
}

bool MfEncoder::copy_input(const platform::CpuTexture* texture) {
    if (!open_ || input_texture_.empty()) return fail("copy_input: encoder not initialised");
    if (texture == nullptr) return fail("copy_input: null texture");
    if (texture->width != config_.width || texture->height != config_.height ||
        texture->format != platform::kFormatBgra8) {
        return fail(copy_input_mismatch_text(*texture, config_.width, config_.height));
    }
    for (uint32_t y = 0; y < config_.height; ++y) {
        std::memcpy(input_texture_.row(y), texture->row(y), config_.width * 4ull);
    }
    return true;
}

void MfEncoder::request_keyframe() { keyframe_requested_ = true; }

int MfEncoder::process_output(std::vector<uint8_t>& out_sample) {
    uint32_t supplied = 0;
    if ((stream_info_.flags & (platform::kMftOutputStreamProvidesSamples |
                               platform::kMftOutputStreamCanProvideSamples)) == 0) {
        supplied = stream_info_.size != 0 ? stream_info_.size : 0x400000u;
    }
    int32_t hr = transform_->process_output(supplied, out_sample);
    if (hr == platform::kMfETransformNeedMoreInput) return 0;
    if (hr == platform::kMfETransformStreamChange) {
        platform::MftVideoType type;
        if (transform_->get_output_available_type(0, type) >= 0) transform_->set_output_type(type);
        return 0;
    }
    if (hr < 0) {
        fail("ProcessOutput: " + hr_text(hr));
        return -1;
    }
    return 1;
}

void MfEncoder::convert_run(const platform::CpuTexture& image, uint32_t first, uint32_t end) {
    const uint32_t w = config_.width, h = config_.height;
    uint8_t* luma = nv12_buffer_.data();
    uint8_t* chroma = luma + static_cast<size_t>(w) * h;
    platform::bgra_to_nv12(image.row(first), image.pitch, w, end - first, luma + static_cast<size_t>(first) * w, w,
                           chroma + static_cast<size_t>(first / 2) * w, w);
}

void MfEncoder::convert_on_cpu(const platform::CpuTexture& image, uint32_t first, uint32_t end) {
    // Runs of an even number of rows: each run has its own chroma rows.
    first &= ~1u;
    end = std::min(config_.height, end + (end & 1u));
    if (first >= end) return;
    convert_split_.run(end - first, kSplitRows,
                       [&](uint32_t a, uint32_t b) { convert_run(image, first + a, first + b); });
}

bool MfEncoder::image_fits(const platform::CpuTexture& image) const {
    return image.width == config_.width && image.height == config_.height && image.format == platform::kFormatBgra8;
}

bool MfEncoder::check_image(const platform::CpuTexture& image) {
    if (!open_ || !transform_ || !cpu_convert_) return fail("encode_frame: encoder not initialised");
    if (!image_fits(image)) return fail(copy_input_mismatch_text(image, config_.width, config_.height));
    return true;
}

bool MfEncoder::encode_image(const platform::CpuTexture& image, EncodedFrame& out) {
    return encode_converted(image, 0, config_.height, out);
}

bool MfEncoder::convert_rows(const platform::CpuTexture& image, uint32_t first, uint32_t end) {
    // No last error here: runs come from two threads at once.
    if (!open_ || !cpu_convert_ || !image_fits(image) || (first & 1u) != 0 || first > end || end > config_.height) {
        return false;
    }
    convert_run(image, first, end);
    return true;
}

bool MfEncoder::encode_converted(const platform::CpuTexture& image, uint32_t redo_first, uint32_t redo_end,
                                 EncodedFrame& out) {
    out = EncodedFrame{};
    if (!check_image(image)) return false;
    const uint64_t entry_us = clock_.now_us();
    convert_on_cpu(image, redo_first, redo_end);
    platform::MftSample sample;
    sample.nv12 = nv12_buffer_.data();
    sample.size = nv12_buffer_.size();
    return submit(sample, entry_us, out);
}

bool MfEncoder::encode_frame(EncodedFrame& out) {
    out = EncodedFrame{};
    if (!open_ || !transform_) return fail("encode_frame: encoder not initialised");
    const uint64_t entry_us = clock_.now_us();
    const uint32_t w = config_.width, h = config_.height;
    const size_t nv12_size = static_cast<size_t>(w) * h * 3 / 2;
    platform::MftSample sample;
    if (cpu_convert_) {
        convert_on_cpu(input_texture_, 0, h);
        sample.nv12 = nv12_buffer_.data();
        sample.size = nv12_size;
    } else {
        // The video processor's pass into this frame's slot of the ring.
        platform::CpuTexture& slot = ring_[frame_count_ % ring_.size()];
        platform::convert_texture_to_nv12(input_texture_, slot);
        if (options_.software) {
            nv12_staging_.data = slot.data;
            nv12_buffer_.resize(nv12_size);
            for (uint32_t y = 0; y < h + h / 2; ++y) {
                std::memcpy(nv12_buffer_.data() + static_cast<size_t>(y) * w, nv12_staging_.row(y), w);
            }
            sample.nv12 = nv12_buffer_.data();
            sample.size = nv12_size;
        } else {
            sample.nv12 = slot.data.data();
            sample.size = slot.data.size();
            sample.surface = true;
        }
    }
    return submit(sample, entry_us, out);
}

bool MfEncoder::submit(platform::MftSample& sample, uint64_t entry_us, EncodedFrame& out) {
    sample.width = config_.width;
    sample.height = config_.height;
    const int64_t duration = 10'000'000 / config_.fps;
    sample.time = duration * static_cast<int64_t>(frame_count_);
    sample.duration = duration;
    timings_.add("convert", elapsed_ms(clock_, entry_us));

    if (keyframe_requested_ && frame_count_ != 0 && transform_->has_codec_api()) {
        transform_->codec_set(CodecProp::force_key_frame, 1);
    }
    keyframe_requested_ = false;

    const uint64_t mft_us = clock_.now_us();
    int got = 0;
    if (!async_) {
        int32_t hr = transform_->process_input(sample);
        if (hr < 0) return fail("ProcessInput: " + hr_text(hr));
        got = process_output(output_sample_);
        for (int retry = 0; got == 0 && retry < 20; ++retry) {
            clock_.sleep_ms(1);
            got = process_output(output_sample_);
        }
        if (got < 0) return false;
        if (got == 0) {
            ++frame_count_;
            out.encode_ms = elapsed_ms(clock_, entry_us);
            return true;
        }
    } else {
        bool given = false;
        while (got == 0) {
            if (!given && need_input_ >= 1) {
                int32_t hr = transform_->process_input(sample);
                if (hr < 0) return fail("ProcessInput: " + hr_text(hr));
                --need_input_;
                given = true;
                continue;
            }
            std::pair<uint32_t, int32_t> event;
            if (!sink_->wait(clock_, 1000, event)) return fail("encoder timeout (no MFT event within 1 s)");
            if (event.first == platform::kMeTransformNeedInput) {
                ++need_input_;
            } else if (event.first == platform::kMeTransformHaveOutput) {
                got = process_output(output_sample_);
                if (got < 0) return false;
            } else if (event.first == platform::kMeError || event.second < 0) {
                return fail("MFT event error: " + hr_text(event.second));
            }
        }
    }
    timings_.add("mft", elapsed_ms(clock_, mft_us));
    bool keyframe = false;
    if (!normalise_access_unit(output_sample_, cache_, out_buffer_, keyframe)) {
        return fail("unrecognised H.264 output from the MFT");
    }
    out.data = out_buffer_.data();
    out.size = out_buffer_.size();
    out.keyframe = keyframe;
    out.encode_ms = elapsed_ms(clock_, entry_us);
    ++frame_count_;
    return true;
}

void MfEncoder::close() {
    if (transform_) {
        transform_->process_message(MftMessage::notify_end_of_stream);
        transform_->process_message(MftMessage::command_flush);
        transform_->process_message(MftMessage::notify_end_streaming);
    }
    if (sink_) sink_->stop();
    transform_.reset();
    sink_.reset();
    ring_.clear();
    nv12_staging_ = {};
    input_texture_ = {};
    encoder_device_.reset();
    nv12_buffer_.clear();
    if (mf_started_) port_.shutdown();
    mf_started_ = false;
    need_input_ = 0;
    open_ = false;
    async_ = false;
    cpu_convert_ = false;
}

}  // namespace sorvane
