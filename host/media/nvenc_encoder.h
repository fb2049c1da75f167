// The encoder of NVIDIA GPUs: encodes straight from a BGRA texture on the
// capture device (so the capture device must be on the NVIDIA adapter) into
// Annex-B H.264 with SPS and PPS in front of every IDR; CBR, no B frames, no
// lookahead, one reference frame, ultra-low-latency tuning.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/media/encoder.h"
#include "platform/clock.h"
#include "platform/nvenc.h"

namespace sorvane {

inline constexpr uint32_t kNvidiaVendorId = 0x10DE;

class NvencEncoder final : public IEncoder {
public:
    NvencEncoder(platform::INvencLibrary& library, platform::IClock& clock);
    ~NvencEncoder() override;
    NvencEncoder(const NvencEncoder&) = delete;
    NvencEncoder& operator=(const NvencEncoder&) = delete;

    bool init(const EncodeConfig& config) override;
    bool copy_input(const platform::CpuTexture* texture) override;
    bool encode_frame(EncodedFrame& out) override;
    void request_keyframe() override { keyframe_requested_ = true; }
    void close() override;
    const std::string& last_error() const override { return last_error_; }
    platform::CpuTexture* input_texture() override { return session_ ? &input_texture_ : nullptr; }
    EncoderInfo info() const override { return info_; }
    std::string stage_summary() const override { return {}; }

    // The configuration the session was initialised with (for tests and the report).
    const platform::NvencInitParams& init_params() const { return init_params_; }

private:
    bool open(const EncodeConfig& config);
    // Checks an NVENC status; a failure sets the last error "%s failed: NVENCSTATUS=%d%s%s".
    bool check(const char* function, int32_t status);
    bool fail(std::string text);

    platform::INvencLibrary& library_;
    platform::IClock& clock_;
    EncodeConfig config_;
    EncoderInfo info_;
    std::string last_error_;
    bool loaded_ = false;
    std::unique_ptr<platform::INvencSession> session_;
    platform::NvencInitParams init_params_;
    platform::CpuTexture input_texture_;
    bool registered_ = false;
    uint64_t registration_ = 0;
    bool have_bitstream_ = false;
    uint64_t bitstream_ = 0;
    std::vector<uint8_t> out_buffer_;
    bool input_ready_ = false;
    bool keyframe_requested_ = false;
    uint32_t frame_count_ = 0;
};

}  // namespace sorvane
