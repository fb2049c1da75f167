#include "platform/sim/mft_scripted.h"

#include <algorithm>

namespace sorvane::sim {

using platform::CodecProp;
using platform::kSOk;

namespace {

// Writes bits most significant first.
struct Bits {
    std::vector<uint8_t> bytes;
    unsigned used = 0;
    void put(unsigned n, uint32_t v) {
        for (unsigned i = n; i-- > 0;) {
            if (used == 0) bytes.push_back(0);
            if ((v >> i) & 1u) bytes.back() |= static_cast<uint8_t>(0x80u >> used);
            used = (used + 1) & 7u;
        }
    }
    void ue(uint32_t v) {
        uint64_t x = static_cast<uint64_t>(v) + 1;
        unsigned len = 0;
        while ((x >> len) > 1) ++len;
        put(len, 0);
        put(1, 1);
        if (len) put(len, static_cast<uint32_t>(x & ((1ull << len) - 1)));
    }
};

void append(std::vector<uint8_t>& out, const std::vector<uint8_t>& unit, bool length_prefixed) {
    uint32_t n = length_prefixed ? static_cast<uint32_t>(unit.size()) : 1u;
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(n >> shift));
    for (uint8_t b : unit) out.push_back(b);
}

}  // namespace

std::vector<uint8_t> make_test_sps(uint32_t width, uint32_t height, uint32_t refs) {
    Bits b;
    b.put(8, 66);   // profile_idc
    b.put(8, 0xC0); // constraint flags
    b.put(8, 31);   // level_idc
    b.ue(0);        // sps id
    b.ue(0);        // log2_max_frame_num_minus4
    b.ue(2);        // pic_order_cnt_type
    b.ue(refs);
    b.put(1, 0);
    b.ue((width + 15) / 16 - 1);
    b.ue((height + 15) / 16 - 1);
    b.put(1, 1);    // frame_mbs_only
    b.put(1, 1);    // direct_8x8_inference
    bool crop = (height % 16) != 0 || (width % 16) != 0;
    b.put(1, crop ? 1 : 0);
    if (crop) {
        b.ue(0);
        b.ue(((width + 15) / 16 * 16 - width) / 2);
        b.ue(0);
        b.ue(((height + 15) / 16 * 16 - height) / 2);
    }
    b.put(1, 0);    // no VUI
    b.put(1, 1);    // trailing bits
    while (b.used != 0) b.put(1, 0);
    std::vector<uint8_t> out;
    out.reserve(b.bytes.size() + 1);
    out.push_back(0x67);
    for (uint8_t x : b.bytes) out.push_back(x);
    return out;
}

ScriptedTransform::ScriptedTransform(ScriptedTransformSetup setup) : setup_(std::move(setup)) {}

ScriptedTransform::~ScriptedTransform() {
    if (on_destroy) on_destroy();
}

uint32_t ScriptedTransform::get_attribute(platform::MftAttribute attribute) {
    if (attribute == platform::MftAttribute::transform_async) return setup_.async ? 1 : 0;
    if (attribute == platform::MftAttribute::transform_async_unlock) return unlocked ? 1 : 0;
    return low_latency ? 1 : 0;
}

int32_t ScriptedTransform::set_attribute(platform::MftAttribute attribute, uint32_t value) {
    if (attribute == platform::MftAttribute::transform_async_unlock) unlocked = value != 0;
    if (attribute == platform::MftAttribute::low_latency) low_latency = value != 0;
    return kSOk;
}

int32_t ScriptedTransform::set_d3d_manager(const platform::GpuDevice&) {
    d3d_manager = true;
    return kSOk;
}

bool ScriptedTransform::has_codec_api() { return setup_.codec_api; }

int32_t ScriptedTransform::codec_set(CodecProp prop, uint32_t value) {
    props.emplace_back(prop, value);
    if (prop == CodecProp::gop_size) {
        if (std::find(setup_.refused_gops.begin(), setup_.refused_gops.end(), value) != setup_.refused_gops.end()) {
            return platform::kEInvalidArg;
        }
        gop = value;
    }
    if (prop == CodecProp::force_key_frame) force_key_ = value != 0;
    return kSOk;
}

int32_t ScriptedTransform::codec_get(CodecProp prop, uint32_t& value) {
    if (prop != CodecProp::gop_size) return platform::kENotImpl;
    value = gop;
    return kSOk;
}

int32_t ScriptedTransform::set_output_type(const platform::MftVideoType& type) {
    profiles_tried.push_back(type.profile);
    const auto& ok = setup_.accepted_profiles;
    if (std::find(ok.begin(), ok.end(), type.profile) == ok.end()) return platform::kMfEInvalidMediaType;
    output_type = type;
    return kSOk;
}

int32_t ScriptedTransform::get_output_available_type(uint32_t index, platform::MftVideoType& type) {
    if (index != 0) return static_cast<int32_t>(0xC00D6D77u);
    type = output_type;
    return kSOk;
}

int32_t ScriptedTransform::set_input_type(const platform::MftVideoType& type) {
    input_type = type;
    return kSOk;
}

int32_t ScriptedTransform::get_output_stream_info(platform::MftOutputStreamInfo& info) {
    info.flags = setup_.stream_flags;
    info.size = setup_.stream_size;
    return kSOk;
}

int32_t ScriptedTransform::process_message(platform::MftMessage message) {
    messages.push_back(message);
    if (message == platform::MftMessage::notify_start_of_stream && setup_.async) {
        post_event(platform::kMeTransformNeedInput, 0);
    }
    return kSOk;
}

std::vector<uint8_t> ScriptedTransform::make_output() {
    if (!canned.empty()) {
        std::vector<uint8_t> out = std::move(canned.front());
        canned.pop_front();
        return out;
    }
    std::vector<uint8_t> out;
    bool idr = frames_ == 0 || force_key_;
    force_key_ = false;
    if (!sent_headers_) {
        append(out, make_test_sps(input_type.width, input_type.height), setup_.length_prefixed);
        append(out, {0x68, 0xCE, 0x38, 0x80}, setup_.length_prefixed);
        sent_headers_ = true;
    }
    if (idr) {
        append(out, {0x65, 0x88, 0x84, static_cast<uint8_t>(frames_)}, setup_.length_prefixed);
    } else {
        append(out, {0x41, 0x9A, static_cast<uint8_t>(frames_)}, setup_.length_prefixed);
    }
    ++frames_;
    return out;
}

int32_t ScriptedTransform::process_input(const platform::MftSample& sample) {
    if (on_input) on_input();
    platform::MftSample copy = sample;
    copy.nv12 = nullptr;
    inputs.push_back(copy);
    if (sample.nv12) last_nv12.assign(sample.nv12, sample.nv12 + sample.size);
    if (fail_input_from != 0 && inputs.size() >= fail_input_from) return input_hr;
    if (silent_inputs > 0) {
        --silent_inputs;
        return kSOk;
    }
    if (event_instead_of_output) {
        auto e = *event_instead_of_output;
        event_instead_of_output.reset();
        post_event(e.first, e.second);
        return kSOk;
    }
    if (silence_after_input) return kSOk;
    pending_.push_back(make_output());
    if (setup_.async) {
        post_event(platform::kMeTransformHaveOutput, 0);
        post_event(platform::kMeTransformNeedInput, 0);
    }
    return kSOk;
}

int32_t ScriptedTransform::process_output(uint32_t buffer_size, std::vector<uint8_t>& out) {
    caller_buffer_size = buffer_size;
    if (output_hr != 0) return output_hr;
    if (stream_change_once) {
        stream_change_once = false;
        return platform::kMfETransformStreamChange;
    }
    if (pending_.empty()) return platform::kMfETransformNeedMoreInput;
    out = std::move(pending_.front());
    pending_.pop_front();
    return kSOk;
}

bool ScriptedTransform::has_event_generator() { return setup_.event_generator; }

int32_t ScriptedTransform::begin_get_event(std::function<void(uint32_t, int32_t)> callback) {
    if (on_begin_get_event) on_begin_get_event();
    armed_ = std::move(callback);
    deliver();
    return kSOk;
}

void ScriptedTransform::post_event(uint32_t type, int32_t status) {
    events_.emplace_back(type, status);
    deliver();
}

std::function<void(uint32_t, int32_t)> ScriptedTransform::take_armed() {
    auto callback = std::move(armed_);
    armed_ = nullptr;
    return callback;
}

void ScriptedTransform::deliver() {
    if (!armed_ || events_.empty()) return;
    auto callback = std::move(armed_);
    armed_ = nullptr;
    auto e = events_.front();
    events_.pop_front();
    callback(e.first, e.second);
}

bool ScriptedMftPort::media_foundation_available(std::string& missing) {
    missing = missing_dll;
    return missing_dll.empty();
}

int32_t ScriptedMftPort::startup() {
    ++startups;
    return startup_hr;
}

void ScriptedMftPort::shutdown() { ++shutdowns; }

int32_t ScriptedMftPort::find_adapter(uint64_t luid, platform::AdapterDesc& out) {
    for (const auto& a : adapters) {
        if (a.luid == luid) {
            out = a;
            return kSOk;
        }
    }
    return static_cast<int32_t>(0x887A0002u);  // DXGI_ERROR_NOT_FOUND
}

int32_t ScriptedMftPort::create_encoder_device(const platform::AdapterDesc& adapter,
                                               std::shared_ptr<platform::GpuDevice>& out, bool& vp) {
    if (device_hr < 0) return device_hr;
    ++devices;
    out = std::make_shared<platform::GpuDevice>();
    out->adapter = adapter;
    vp = video_processor;
    return kSOk;
}

std::vector<platform::MftActivate> ScriptedMftPort::list_encoder_transforms(bool hardware, const uint64_t*) {
    last_listed_kind = hardware ? "hardware" : "software";
    std::vector<platform::MftActivate> out;
    for (uint32_t i = 0; i < transforms.size(); ++i) {
        if (transforms[i].hardware == hardware) out.push_back({transforms[i].name, i});
    }
    return out;
}

int32_t ScriptedMftPort::activate(const platform::MftActivate& which, std::unique_ptr<platform::IMftTransform>& out) {
    if (activate_hr < 0) return activate_hr;
    if (which.id >= transforms.size()) return platform::kEInvalidArg;
    auto t = std::make_unique<ScriptedTransform>(transforms[which.id]);
    last = t.get();
    if (on_activate) on_activate(*t);
    out = std::move(t);
    return kSOk;
}

}  // namespace sorvane::sim
