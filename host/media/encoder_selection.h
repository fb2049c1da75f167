// Picks and opens the encoder for a capture device by the user's policy:
// NVENC when the capture GPU is NVIDIA, then the hardware H.264 transforms of
// the eligible adapters (the capture GPU's first), then the software
// transform; every failed candidate is named with its reason.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/core/encoder_choice.h"
#include "host/media/encoder.h"
#include "platform/clock.h"
#include "platform/mft.h"
#include "platform/nvenc.h"
#include "platform/texture.h"

namespace sorvane {

// One adapter of the kernel's list (D3DKMTEnumAdapters2 and the adapter-type query).
struct KernelAdapter {
    uint64_t luid = 0;
    bool query_ok = true;
    bool render_supported = true;
    bool display_supported = true;
    bool software_device = false;
    bool indirect_display = false;
};

// The machine's GPUs as the kernel and DXGI list them.
class IGpuAdapterList {
public:
    virtual ~IGpuAdapterList() = default;
    virtual std::vector<KernelAdapter> kernel_adapters() = 0;
    virtual std::vector<platform::AdapterDesc> dxgi_adapters() = 0;
};

// What create_encoder needs from the machine.
struct EncoderPorts {
    platform::IMftPort& mft;
    platform::INvencLibrary& nvenc;
    IGpuAdapterList& adapters;
    platform::IClock& clock;
};

// True when an adapter passes the --mf-adapter filter (lower case): empty
// matches all; "nvidia" vendor 0x10DE; "intel" 0x8086; "amd" 0x1002 and
// 0x1022; anything else a substring of the lower-case description.
bool mf_adapter_matches(const std::string& filter, const platform::AdapterDesc& adapter);

// The opened encoder, or null with error naming every candidate tried. On
// success info is filled and stored as the process-wide last encoder.
std::unique_ptr<IEncoder> create_encoder(EncoderPorts& ports, const EncodeConfig& config, const EncoderChoice& choice,
                                         EncoderInfo& info, std::string& error);

}  // namespace sorvane
