// Test-card frames encoded by the host's own encoder (libx264 behind the
// platform's transform), for the viewer's tests and benchmarks.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/media/mf_encoder.h"
#include "platform/mft.h"
#include "platform/sim/test_card.h"

namespace sorvane::test {

class CardEncoder {
public:
    explicit CardEncoder(platform::IClock& clock)
        : port_(platform::make_mft_port()), enc_(*port_, clock, {true, false, 0}) {
        device_.adapter = {0, "Sim GPU", 0x10DE, 0x42, false};
    }

    bool init(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate, std::string& error) {
        EncodeConfig cfg;
        cfg.width = width;
        cfg.height = height;
        cfg.fps = fps;
        cfg.device = &device_;
        cfg.bitrate = bitrate;
        width_ = width;
        height_ = height;
        if (enc_.init(cfg)) return true;
        error = enc_.last_error();
        return false;
    }

    // The access unit of the card composed at frame_time_ms with marks.
    bool encode(uint64_t frame_time_ms, std::span<const sim::Mark> marks, std::vector<uint8_t>& out, bool& keyframe,
                std::string& error) {
        sim::compose_test_card(width_, height_, frame_time_ms, marks, card_);
        EncodedFrame f;
        if (!enc_.copy_input(&card_) || !enc_.encode_frame(f) || f.size == 0) {
            error = enc_.last_error().empty() ? "no access unit" : enc_.last_error();
            return false;
        }
        out.assign(f.data, f.data + f.size);
        keyframe = f.keyframe;
        return true;
    }

private:
    std::unique_ptr<platform::IMftPort> port_;
    platform::GpuDevice device_;
    MfEncoder enc_;
    platform::CpuTexture card_;
    uint32_t width_ = 0, height_ = 0;
};

}  // namespace sorvane::test
