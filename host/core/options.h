// The host's configuration record and its run settings, filled from the
// command line. Every long-lived component keeps its own copy.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/core/encoder_choice.h"
#include "host/core/monitor_ref.h"
#include "host/protocol/defaults.h"

namespace sorvane {

inline constexpr const char* kHostVersion = "0.1.14";

struct HostOptions {
    std::string bind_address = "127.0.0.1";
    uint16_t control_port = proto::kDefaultControlPort;
    uint16_t video_port = proto::kDefaultVideoPort;
    uint16_t input_port = proto::kDefaultInputPort;
    uint32_t udp_send_buffer = 4'194'304;
    uint32_t allowed_ip = 0;  // first octet in the high byte; 0 = anyone
    std::string transport_host_id;
    MonitorRef monitor = {false, 0, 0, "SVN0001"};
    uint8_t stream_fps = 60;
    uint32_t bitrate = 20'000'000;
    EncoderChoice encoder;
    std::string host_id;
    std::string host_name;
    std::string frame_log_dir;
    size_t max_sessions = 4;
    size_t max_devices = 1;
    std::string touch_log_dir;
    uint16_t protocol_version = proto::kProtocolVersion;
    uint16_t min_protocol_version = proto::kProtocolVersion;
};

struct RunSettings {
    uint32_t run_seconds = 0;  // 0 = until stopped
    uint32_t grace_seconds = 30;
    bool pair_at_start = false;
    bool console = false;
    bool bind_given = false;
    uint16_t pairing_port = proto::kDefaultPairingPort;  // 0: chosen by the system
    // The update check (tray mode): the manifest's address and a PEM file of
    // CAs trusted instead of the system's (both empty: the build's endpoint
    // and the system's CAs), and the seconds before the first check.
    std::string update_url;
    std::string update_ca_file;
    uint32_t update_first_seconds = 15;
};

// Process-wide flags of the GPU-preference step.
extern std::atomic<bool> g_gpu_pref_restarted;
extern std::atomic<bool> g_no_gpu_pref;

// "1.0 (0x0100)".
std::string protocol_text(uint16_t version = proto::kProtocolVersion);

// "%u.%u.%u.%u" of an address with the first octet in the high byte.
std::string ipv4_text(uint32_t address);

}  // namespace sorvane
