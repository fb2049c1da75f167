// The real pieces a pipeline streams through outside the session: the
// software x264 transform as its encoder, and the host's video cipher as its
// sealer (host/app's cipher_sealer). Shared by the real-path test and the
// whole-chain benchmark.
#pragma once

#include <memory>
#include <string>

#include "host/media/mf_encoder.h"
#include "host/media/video_pipeline.h"
#include "host/app/session_adapters.h"

namespace sorvane::test {

// Opens an MfEncoder on the software transform of port for every configuration.
inline EncoderFactory software_encoder_factory(platform::IMftPort& port, platform::IClock& clock) {
    return [&port, &clock](const EncodeConfig& config, const EncoderChoice&, EncoderInfo& info, std::string& error) {
        auto enc = std::make_unique<MfEncoder>(port, clock, MfEncoderOptions{true, false, 0});
        if (!enc->init(config)) {
            error = enc->last_error();
            return std::unique_ptr<IEncoder>();
        }
        info = enc->info();
        return std::unique_ptr<IEncoder>(std::move(enc));
    };
}

}  // namespace sorvane::test
