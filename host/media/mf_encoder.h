// The encoder over a Media Foundation H.264 transform (hardware of a chosen
// GPU, or the system's software transform). It converts the BGRA input to
// NV12, feeds the transform synchronously or through its events, and returns
// Annex-B access units whose SPS lets a low-latency viewer decode at once and
// whose IDR frames always carry their parameter sets.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/media/encoder.h"
#include "host/media/row_split.h"
#include "platform/clock.h"
#include "platform/mft.h"

namespace sorvane {

struct MfEncoderOptions {
    bool software = false;
    bool hardware = false;
    uint64_t adapter_luid = 0;  // the adapter whose hardware transform is wanted; 0 for software
};

// The last SPS (as rewritten) and PPS seen in the output.
struct ParamSetCache {
    std::vector<uint8_t> sps;
    std::vector<uint8_t> pps;
};

// Turns a transform's output (Annex-B, or NAL units with 4-byte length
// prefixes) into Annex-B with 4-byte start codes: SPS rewritten, parameter
// sets cached, cached ones put in front of an IDR that lacks them. False when
// nothing results.
bool normalise_access_unit(std::span<const uint8_t> in, ParamSetCache& cache, std::vector<uint8_t>& out,
                           bool& keyframe);

// The text shown when Media Foundation is missing (Turkish and English in one).
std::string media_foundation_missing_text(const std::string& dll);

class MfEncoder final : public IEncoder {
public:
    MfEncoder(platform::IMftPort& port, platform::IClock& clock, MfEncoderOptions options);
    ~MfEncoder() override;
    MfEncoder(const MfEncoder&) = delete;
    MfEncoder& operator=(const MfEncoder&) = delete;

    bool init(const EncodeConfig& config) override;
    bool copy_input(const platform::CpuTexture* texture) override;
    bool encode_frame(EncodedFrame& out) override;
    void request_keyframe() override;
    void close() override;
    const std::string& last_error() const override { return last_error_; }
    platform::CpuTexture* input_texture() override;
    EncoderInfo info() const override { return info_; }
    std::string stage_summary() const override { return timings_.summary(); }
    // The CPU bridge converts the caller's image itself.
    bool takes_image() const override { return open_ && cpu_convert_; }
    bool encode_image(const platform::CpuTexture& image, EncodedFrame& out) override;
    bool convert_rows(const platform::CpuTexture& image, uint32_t first, uint32_t end) override;
    bool encode_converted(const platform::CpuTexture& image, uint32_t redo_first, uint32_t redo_end,
                          EncodedFrame& out) override;

    // What init chose.
    bool cpu_convert() const { return cpu_convert_; }
    bool async() const { return async_; }
    uint32_t profile() const { return profile_; }
    const std::string& transform_name() const { return transform_name_; }
    const StageTimings& timings() const { return timings_; }

private:
    class EventSink;

    bool fail(std::string text);
    bool fail_hr(const std::string& step, int32_t hr);
    bool open(const EncodeConfig& config);
    void set_codec_properties();
    // 1: output in out_sample, 0: no output, -1: failure (last error set).
    int process_output(std::vector<uint8_t>& out_sample);
    // BGRA rows [first, end) to the NV12 buffer of the CPU bridge, on two cores.
    void convert_on_cpu(const platform::CpuTexture& image, uint32_t first, uint32_t end);
    // The same on the calling thread alone (first even).
    void convert_run(const platform::CpuTexture& image, uint32_t first, uint32_t end);
    // Whether an image is of the configured size and BGRA.
    bool image_fits(const platform::CpuTexture& image) const;
    // Whether an image can be encoded, or sets the last error.
    bool check_image(const platform::CpuTexture& image);
    // Times the conversion, feeds the sample and collects the access unit.
    bool submit(platform::MftSample& sample, uint64_t entry_us, EncodedFrame& out);

    platform::IMftPort& port_;
    platform::IClock& clock_;
    MfEncoderOptions options_;
    EncodeConfig config_;
    EncoderInfo info_;
    std::string last_error_;

    bool keyframe_requested_ = false;
    bool async_ = false;
    bool cross_adapter_ = false;
    bool cpu_convert_ = false;
    bool mf_started_ = false;
    bool open_ = false;
    uint32_t profile_ = 0;

    std::shared_ptr<platform::GpuDevice> encoder_device_;
    platform::CpuTexture input_texture_;
    std::vector<platform::CpuTexture> ring_;   // NV12, 4 slots (GPU path)
    platform::CpuTexture nv12_staging_;        // software transform on the GPU path
    std::vector<uint8_t> nv12_buffer_;         // the sample's memory buffer
    RowSplit convert_split_;                   // the CPU bridge's conversion on two cores

    // Shared with the event sink of an asynchronous transform (see EventSink).
    std::shared_ptr<platform::IMftTransform> transform_;
    std::shared_ptr<EventSink> sink_;
    uint32_t need_input_ = 0;
    platform::MftOutputStreamInfo stream_info_;
    std::string transform_name_;
    ParamSetCache cache_;
    std::vector<uint8_t> out_buffer_;
    std::vector<uint8_t> output_sample_;
    uint64_t frame_count_ = 0;
    StageTimings timings_;
};

}  // namespace sorvane
