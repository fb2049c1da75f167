// Display configuration port: the Windows display-configuration interface
// (GetDisplayConfigBufferSizes, QueryDisplayConfig, SetDisplayConfig,
// DisplayConfigGetDeviceInfo for source and target names) and the input
// desktop check. Results are Win32 error codes as plain integers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvane::platform {

inline constexpr uint32_t kQdcAllPaths = 1;
inline constexpr uint32_t kQdcOnlyActivePaths = 2;

inline constexpr uint32_t kSdcUseSuppliedDisplayConfig = 0x20;
inline constexpr uint32_t kSdcValidate = 0x40;
inline constexpr uint32_t kSdcApply = 0x80;
inline constexpr uint32_t kSdcSaveToDatabase = 0x200;

inline constexpr uint32_t kPathActive = 1;
inline constexpr uint32_t kInvalidModeIndex = 0xFFFFFFFFu;
inline constexpr uint32_t kModeInfoSource = 1;
inline constexpr uint32_t kModeInfoTarget = 2;

inline constexpr int32_t kDcErrorAccessDenied = 5;
inline constexpr int32_t kDcErrorGenFailure = 31;
inline constexpr int32_t kDcErrorInvalidParameter = 87;
inline constexpr int32_t kDcErrorInsufficientBuffer = 122;

struct DcLuid {
    uint32_t low = 0;
    int32_t high = 0;
    bool operator==(const DcLuid&) const = default;
};

struct DcRational {
    uint32_t numerator = 0;
    uint32_t denominator = 0;
    bool operator==(const DcRational&) const = default;
};

// DISPLAYCONFIG_PATH_INFO.
struct DcPathInfo {
    DcLuid source_adapter;
    uint32_t source_id = 0;
    uint32_t source_mode_index = kInvalidModeIndex;
    uint32_t source_status = 0;
    DcLuid target_adapter;
    uint32_t target_id = 0;
    uint32_t target_mode_index = kInvalidModeIndex;
    uint32_t output_technology = 0;
    uint32_t rotation = 1;  // 1 identity, 2 90, 3 180, 4 270 degrees
    uint32_t scaling = 1;
    DcRational refresh;
    uint32_t scan_line_ordering = 1;
    bool target_available = false;
    uint32_t target_status = 0;
    uint32_t flags = 0;  // kPathActive
    bool operator==(const DcPathInfo&) const = default;
};

// DISPLAYCONFIG_MODE_INFO: a source mode (desktop size and position) or a
// target mode (the video signal).
struct DcModeInfo {
    uint32_t info_type = 0;  // kModeInfoSource or kModeInfoTarget
    uint32_t id = 0;
    DcLuid adapter;
    // Source mode.
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pixel_format = 0;
    int32_t x = 0;
    int32_t y = 0;
    // Target mode.
    uint64_t pixel_rate = 0;
    DcRational hsync;
    DcRational vsync;
    uint32_t active_width = 0, active_height = 0;
    uint32_t total_width = 0, total_height = 0;
    uint32_t video_standard = 0;
    uint32_t vsync_divider = 0;
    uint32_t scan_line_ordering = 0;
    bool operator==(const DcModeInfo&) const = default;
};

class IDisplayConfigApi {
public:
    virtual ~IDisplayConfigApi() = default;
    virtual int32_t buffer_sizes(uint32_t flags, uint32_t& paths, uint32_t& modes) = 0;
    // Fails with kDcErrorInsufficientBuffer when more than the capacities are
    // needed (the configuration may change between the two calls).
    virtual int32_t query(uint32_t flags, uint32_t path_capacity, uint32_t mode_capacity,
                          std::vector<DcPathInfo>& paths, std::vector<DcModeInfo>& modes) = 0;
    virtual int32_t set(const std::vector<DcPathInfo>& paths, const std::vector<DcModeInfo>& modes, uint32_t flags) = 0;
    // The GDI device name of a source ("\\.\DISPLAY1").
    virtual int32_t source_name(const DcLuid& adapter, uint32_t source_id, std::string& out) = 0;
    // The monitor device path of a target.
    virtual int32_t target_device_path(const DcLuid& adapter, uint32_t target_id, std::string& out) = 0;
    // OpenInputDesktop and its name; non-zero is the open's error.
    virtual int32_t input_desktop_name(std::string& out) = 0;
};

// The display configuration of this machine.
std::unique_ptr<IDisplayConfigApi> make_display_config();

}  // namespace sorvane::platform
