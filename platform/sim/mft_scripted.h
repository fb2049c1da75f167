// A scripted H.264 encoder transform port: transforms listed and activated as
// configured, media types and codec properties accepted or refused, output in
// Annex-B or length-prefixed form, events of an asynchronous transform, and
// faults at chosen calls. Everything the encoder does to it is recorded.
// Used from one thread (the test's).
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/mft.h"

namespace sorvane::sim {

struct ScriptedTransformSetup {
    std::string name;
    bool hardware = false;
    bool async = false;
    bool codec_api = true;
    bool event_generator = true;
    std::vector<uint32_t> accepted_profiles = {100, 77, 66};
    std::vector<uint32_t> refused_gops;  // codec_set(gop_size) fails for these values
    bool length_prefixed = false;
    uint32_t stream_flags = platform::kMftOutputStreamProvidesSamples;
    uint32_t stream_size = 0;
};

class ScriptedTransform final : public platform::IMftTransform {
public:
    explicit ScriptedTransform(ScriptedTransformSetup setup);
    ~ScriptedTransform() override;

    // --- script ---
    int32_t input_hr = 0;          // ProcessInput result from the input number fail_input_from on
    uint32_t fail_input_from = 0;
    uint32_t silent_inputs = 0;    // the first N inputs give no output at all
    bool stream_change_once = false;
    int32_t output_hr = 0;
    // Asynchronous: after the next input, deliver this event instead of the
    // output (type, status); or deliver nothing at all.
    std::optional<std::pair<uint32_t, int32_t>> event_instead_of_output;
    bool silence_after_input = false;
    std::function<void()> on_input;
    // Called at the start of every begin_get_event (on the arming thread), and
    // when the transform is destroyed.
    std::function<void()> on_begin_get_event;
    std::function<void()> on_destroy;
    // When non-empty, outputs are taken from here in order instead of being made up.
    std::deque<std::vector<uint8_t>> canned;

    // --- record ---
    std::vector<uint32_t> profiles_tried;
    std::vector<std::pair<platform::CodecProp, uint32_t>> props;
    std::vector<platform::MftMessage> messages;
    std::vector<platform::MftSample> inputs;  // nv12 pointers are cleared
    std::vector<uint8_t> last_nv12;
    platform::MftVideoType output_type, input_type;
    uint32_t gop = 0;
    bool d3d_manager = false;
    bool unlocked = false, low_latency = false;
    uint32_t caller_buffer_size = 0;

    uint32_t get_attribute(platform::MftAttribute attribute) override;
    int32_t set_attribute(platform::MftAttribute attribute, uint32_t value) override;
    int32_t set_d3d_manager(const platform::GpuDevice& device) override;
    bool has_codec_api() override;
    int32_t codec_set(platform::CodecProp prop, uint32_t value) override;
    int32_t codec_get(platform::CodecProp prop, uint32_t& value) override;
    int32_t set_output_type(const platform::MftVideoType& type) override;
    int32_t get_output_available_type(uint32_t index, platform::MftVideoType& type) override;
    int32_t set_input_type(const platform::MftVideoType& type) override;
    int32_t get_output_stream_info(platform::MftOutputStreamInfo& info) override;
    int32_t process_message(platform::MftMessage message) override;
    int32_t process_input(const platform::MftSample& sample) override;
    int32_t process_output(uint32_t caller_buffer_size, std::vector<uint8_t>& out) override;
    bool has_event_generator() override;
    int32_t begin_get_event(std::function<void(uint32_t, int32_t)> callback) override;

    // Queues an event of an asynchronous transform (delivered when armed).
    void post_event(uint32_t type, int32_t status);
    // The armed callback, taken out: the test delivers through it itself.
    std::function<void(uint32_t, int32_t)> take_armed();

private:
    void deliver();
    std::vector<uint8_t> make_output();

    ScriptedTransformSetup setup_;
    bool force_key_ = false;
    bool sent_headers_ = false;
    uint32_t frames_ = 0;
    std::deque<std::vector<uint8_t>> pending_;
    std::deque<std::pair<uint32_t, int32_t>> events_;
    std::function<void(uint32_t, int32_t)> armed_;
};

class ScriptedMftPort final : public platform::IMftPort {
public:
    // --- script ---
    std::string missing_dll;  // non-empty: Media Foundation is missing
    int32_t startup_hr = 0;
    std::vector<platform::AdapterDesc> adapters;
    int32_t device_hr = 0;
    bool video_processor = true;
    std::vector<ScriptedTransformSetup> transforms;
    int32_t activate_hr = 0;
    // Called on the transform right after it is made, to script it.
    std::function<void(ScriptedTransform&)> on_activate;

    // --- record ---
    uint32_t startups = 0, shutdowns = 0, devices = 0;
    ScriptedTransform* last = nullptr;  // valid while the encoder holds it
    std::string last_listed_kind;       // "hardware" or "software"

    bool media_foundation_available(std::string& missing) override;
    int32_t startup() override;
    void shutdown() override;
    int32_t find_adapter(uint64_t luid, platform::AdapterDesc& out) override;
    int32_t create_encoder_device(const platform::AdapterDesc& adapter, std::shared_ptr<platform::GpuDevice>& out,
                                  bool& video_processor) override;
    std::vector<platform::MftActivate> list_encoder_transforms(bool hardware, const uint64_t* adapter_luid) override;
    int32_t activate(const platform::MftActivate& which, std::unique_ptr<platform::IMftTransform>& out) override;
};

// A small valid SPS (baseline, 4:2:0, no VUI) of a picture size, for scripted
// streams and tests.
std::vector<uint8_t> make_test_sps(uint32_t width, uint32_t height, uint32_t max_num_ref_frames = 1);

}  // namespace sorvane::sim
