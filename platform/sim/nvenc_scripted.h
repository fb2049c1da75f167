// A scripted NVENC: the library loads or not, reports the API version it is
// told to, opens sessions or refuses them, and fails chosen calls with chosen
// statuses. Its bitstream is real H.264 from the machine's software H.264
// transform (x264 on Linux, reached through the transform port), reshaped the
// way the hardware delivers it: Annex-B, SPS and PPS in front of every IDR,
// an IDR whenever one is forced.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/mft.h"
#include "platform/nvenc.h"

namespace sorvane::sim {

// The calls a script can fail.
enum class NvencCall {
    max_version,
    open_session,
    get_preset_config,
    initialize,
    register_resource,
    create_bitstream_buffer,
    map_input,
    encode_picture,
    lock_bitstream,
};

struct NvencScript {
    bool loads = true;
    uint32_t load_error = 126;  // ERROR_MOD_NOT_FOUND
    bool entry_points = true;
    uint32_t max_version = (12u << 4) | 2u;  // 12.2
    // A call fails with the status on its uses from the Nth (1-based) on.
    std::map<NvencCall, std::pair<int32_t, uint32_t>> failures;
    std::string last_error_string;  // what NvEncGetLastErrorString reports after a failure
};

// What the encoder did to the library and its sessions.
struct NvencRecord {
    uint32_t loads = 0, unloads = 0, sessions_opened = 0, sessions_destroyed = 0;
    uint32_t api_major = 0, api_minor = 0;
    platform::NvencInitParams init;
    std::vector<platform::NvencPicParams> pictures;
    uint32_t registered = 0, unregistered = 0, buffers = 0, buffers_destroyed = 0, mapped = 0, unmapped = 0;
    std::map<NvencCall, uint32_t> calls;
};

class ScriptedNvencLibrary final : public platform::INvencLibrary {
public:
    // transforms: where the bitstream comes from (its software H.264 transform).
    ScriptedNvencLibrary(NvencScript script, platform::IMftPort& transforms);

    NvencScript& script() { return *script_; }
    const NvencRecord& record() const { return *record_; }

    bool load(uint32_t& win32_error) override;
    bool has_entry_points() override;
    int32_t max_supported_version(uint32_t& version) override;
    int32_t open_session(const platform::GpuDevice& device, uint32_t api_major, uint32_t api_minor,
                         std::unique_ptr<platform::INvencSession>& out) override;
    void unload() override;

private:
    std::shared_ptr<NvencScript> script_;
    std::shared_ptr<NvencRecord> record_;
    platform::IMftPort& transforms_;
};

// Annex-B (4-byte start codes) from NAL units with 4-byte big-endian length
// prefixes; the SPS and PPS seen are kept in sps_pps and put in front of an
// IDR that lacks them. keyframe: the unit holds an IDR slice.
std::vector<uint8_t> length_prefixed_to_annexb(const std::vector<uint8_t>& in, std::vector<uint8_t>& sps_pps,
                                               bool& keyframe);

}  // namespace sorvane::sim
