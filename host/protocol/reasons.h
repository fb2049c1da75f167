// Reason texts the host sends in HandshakeAck and SessionClose, and the
// viewer's reason prefix the host reacts to. Viewers match on these exactly.
#pragma once

#include <string_view>

namespace sorvane::proto {

inline constexpr std::string_view kReasonNotPaired = "not_paired";
inline constexpr std::string_view kReasonClientOutdated = "version_mismatch_client_outdated";
inline constexpr std::string_view kReasonHostOutdated = "version_mismatch_host_outdated";
inline constexpr std::string_view kReasonCodecUnsupported = "codec_unsupported";
inline constexpr std::string_view kReasonIdentityMismatch = "identity_mismatch";
inline constexpr std::string_view kReasonDeviceLimitEnglish =
    "device_limit: Another device is connected to this computer; one device can connect at a time.";
inline constexpr std::string_view kReasonDeviceLimitTurkish =
    "device_limit: Bu bilgisayara şu an başka bir cihaz bağlı; aynı anda bir cihaz bağlanabilir.";
inline constexpr std::string_view kReasonDriverNotAuthorized = "driver_not_authorized";
inline constexpr std::string_view kReasonDriverMissing = "driver_missing";
inline constexpr std::string_view kReasonMonitorDriverNotReady = "monitor_error: driver_not_ready";
inline constexpr std::string_view kReasonMonitorDesktopUnavailable = "monitor_error: desktop_unavailable";
inline constexpr std::string_view kReasonMonitorError = "monitor_error";
inline constexpr std::string_view kReasonPipelineError = "pipeline_error";
inline constexpr std::string_view kReasonVideoCryptoError = "video_crypto_error";
// An older connection of a device whose newer one was admitted first.
inline constexpr std::string_view kReasonSuperseded = "superseded";

inline constexpr std::string_view kReasonTimeout = "timeout";
inline constexpr std::string_view kReasonHostDisconnect = "host_disconnect";
// Watchdog reasons travel as "<name>: <detail>".
inline constexpr std::string_view kReasonNoVideoHello = "no_video_hello";
inline constexpr std::string_view kReasonNoFrames = "no_frames";
inline constexpr std::string_view kReasonMonitorLost = "monitor_lost";

// A viewer's SessionClose reason starting with this means its decoder failed.
inline constexpr std::string_view kViewerReasonDecoderFailedPrefix = "decoder_failed";

// The only capability the host looks for, and the only codec it streams.
inline constexpr std::string_view kCodecH264 = "H264";
// The only settings page OpenHostSettings knows.
inline constexpr std::string_view kSettingsPageDisplay = "display";

}  // namespace sorvane::proto
