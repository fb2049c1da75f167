// The display configuration API: buffer sizes, query and set, with the
// system's path and mode records copied field by field to the port's, and
// the source and target names of DisplayConfigGetDeviceInfo.
#include <windows.h>

#include "platform/display_config.h"
#include "platform/win32/desktop.h"
#include "platform/win32/display_paths.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace win32 {

LUID luid_of(uint64_t v) {
    LUID l{};
    l.LowPart = static_cast<DWORD>(v & 0xFFFFFFFFu);
    l.HighPart = static_cast<LONG>(static_cast<uint32_t>(v >> 32));
    return l;
}

uint64_t luid_value(const LUID& l) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(l.HighPart)) << 32) | l.LowPart;
}

int32_t source_gdi_name(const LUID& adapter, uint32_t source_id, std::string& out) {
    DISPLAYCONFIG_SOURCE_DEVICE_NAME name{};
    name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
    name.header.size = sizeof name;
    name.header.adapterId = adapter;
    name.header.id = source_id;
    const LONG rc = DisplayConfigGetDeviceInfo(&name.header);
    if (rc == ERROR_SUCCESS) out = narrow(name.viewGdiDeviceName);
    return rc;
}

}  // namespace win32

namespace {

DcLuid dc_luid(const LUID& l) { return DcLuid{l.LowPart, l.HighPart}; }
LUID sys_luid(const DcLuid& l) {
    LUID r{};
    r.LowPart = l.low;
    r.HighPart = l.high;
    return r;
}
DcRational dc_rational(const DISPLAYCONFIG_RATIONAL& r) { return DcRational{r.Numerator, r.Denominator}; }
DISPLAYCONFIG_RATIONAL sys_rational(const DcRational& r) { return DISPLAYCONFIG_RATIONAL{r.numerator, r.denominator}; }

DcPathInfo dc_path(const DISPLAYCONFIG_PATH_INFO& p) {
    DcPathInfo d;
    d.source_adapter = dc_luid(p.sourceInfo.adapterId);
    d.source_id = p.sourceInfo.id;
    d.source_mode_index = p.sourceInfo.modeInfoIdx;
    d.source_status = p.sourceInfo.statusFlags;
    d.target_adapter = dc_luid(p.targetInfo.adapterId);
    d.target_id = p.targetInfo.id;
    d.target_mode_index = p.targetInfo.modeInfoIdx;
    d.output_technology = static_cast<uint32_t>(p.targetInfo.outputTechnology);
    d.rotation = static_cast<uint32_t>(p.targetInfo.rotation);
    d.scaling = static_cast<uint32_t>(p.targetInfo.scaling);
    d.refresh = dc_rational(p.targetInfo.refreshRate);
    d.scan_line_ordering = static_cast<uint32_t>(p.targetInfo.scanLineOrdering);
    d.target_available = p.targetInfo.targetAvailable != FALSE;
    d.target_status = p.targetInfo.statusFlags;
    d.flags = p.flags;
    return d;
}

DISPLAYCONFIG_PATH_INFO sys_path(const DcPathInfo& d) {
    DISPLAYCONFIG_PATH_INFO p{};
    p.sourceInfo.adapterId = sys_luid(d.source_adapter);
    p.sourceInfo.id = d.source_id;
    p.sourceInfo.modeInfoIdx = d.source_mode_index;
    p.sourceInfo.statusFlags = d.source_status;
    p.targetInfo.adapterId = sys_luid(d.target_adapter);
    p.targetInfo.id = d.target_id;
    p.targetInfo.modeInfoIdx = d.target_mode_index;
    p.targetInfo.outputTechnology = static_cast<DISPLAYCONFIG_VIDEO_OUTPUT_TECHNOLOGY>(d.output_technology);
    p.targetInfo.rotation = static_cast<DISPLAYCONFIG_ROTATION>(d.rotation);
    p.targetInfo.scaling = static_cast<DISPLAYCONFIG_SCALING>(d.scaling);
    p.targetInfo.refreshRate = sys_rational(d.refresh);
    p.targetInfo.scanLineOrdering = static_cast<DISPLAYCONFIG_SCANLINE_ORDERING>(d.scan_line_ordering);
    p.targetInfo.targetAvailable = d.target_available ? TRUE : FALSE;
    p.targetInfo.statusFlags = d.target_status;
    p.flags = d.flags;
    return p;
}

DcModeInfo dc_mode(const DISPLAYCONFIG_MODE_INFO& m) {
    DcModeInfo d;
    d.info_type = static_cast<uint32_t>(m.infoType);
    d.id = m.id;
    d.adapter = dc_luid(m.adapterId);
    if (m.infoType == DISPLAYCONFIG_MODE_INFO_TYPE_SOURCE) {
        d.width = m.sourceMode.width;
        d.height = m.sourceMode.height;
        d.pixel_format = static_cast<uint32_t>(m.sourceMode.pixelFormat);
        d.x = m.sourceMode.position.x;
        d.y = m.sourceMode.position.y;
    } else if (m.infoType == DISPLAYCONFIG_MODE_INFO_TYPE_TARGET) {
        const DISPLAYCONFIG_VIDEO_SIGNAL_INFO& s = m.targetMode.targetVideoSignalInfo;
        d.pixel_rate = s.pixelRate;
        d.hsync = dc_rational(s.hSyncFreq);
        d.vsync = dc_rational(s.vSyncFreq);
        d.active_width = s.activeSize.cx;
        d.active_height = s.activeSize.cy;
        d.total_width = s.totalSize.cx;
        d.total_height = s.totalSize.cy;
        d.video_standard = s.AdditionalSignalInfo.videoStandard;
        d.vsync_divider = s.AdditionalSignalInfo.vSyncFreqDivider;
        d.scan_line_ordering = static_cast<uint32_t>(s.scanLineOrdering);
    }
    return d;
}

DISPLAYCONFIG_MODE_INFO sys_mode(const DcModeInfo& d) {
    DISPLAYCONFIG_MODE_INFO m{};
    m.infoType = static_cast<DISPLAYCONFIG_MODE_INFO_TYPE>(d.info_type);
    m.id = d.id;
    m.adapterId = sys_luid(d.adapter);
    if (d.info_type == kModeInfoSource) {
        m.sourceMode.width = d.width;
        m.sourceMode.height = d.height;
        m.sourceMode.pixelFormat = static_cast<DISPLAYCONFIG_PIXELFORMAT>(d.pixel_format);
        m.sourceMode.position = POINTL{d.x, d.y};
    } else if (d.info_type == kModeInfoTarget) {
        DISPLAYCONFIG_VIDEO_SIGNAL_INFO& s = m.targetMode.targetVideoSignalInfo;
        s.pixelRate = d.pixel_rate;
        s.hSyncFreq = sys_rational(d.hsync);
        s.vSyncFreq = sys_rational(d.vsync);
        s.activeSize = DISPLAYCONFIG_2DREGION{d.active_width, d.active_height};
        s.totalSize = DISPLAYCONFIG_2DREGION{d.total_width, d.total_height};
        s.AdditionalSignalInfo.videoStandard = d.video_standard & 0xFFFF;
        s.AdditionalSignalInfo.vSyncFreqDivider = d.vsync_divider & 0x3F;
        s.scanLineOrdering = static_cast<DISPLAYCONFIG_SCANLINE_ORDERING>(d.scan_line_ordering);
    }
    return m;
}

class Win32DisplayConfig final : public IDisplayConfigApi {
public:
    int32_t buffer_sizes(uint32_t flags, uint32_t& paths, uint32_t& modes) override {
        UINT32 p = 0, m = 0;
        const LONG rc = GetDisplayConfigBufferSizes(flags, &p, &m);
        paths = p;
        modes = m;
        return rc;
    }

    int32_t query(uint32_t flags, uint32_t path_capacity, uint32_t mode_capacity, std::vector<DcPathInfo>& paths,
                  std::vector<DcModeInfo>& modes) override {
        std::vector<DISPLAYCONFIG_PATH_INFO> p(path_capacity);
        std::vector<DISPLAYCONFIG_MODE_INFO> m(mode_capacity);
        UINT32 np = path_capacity, nm = mode_capacity;
        const LONG rc = QueryDisplayConfig(flags, &np, p.data(), &nm, m.data(), nullptr);
        paths.clear();
        modes.clear();
        if (rc != ERROR_SUCCESS) return rc;
        for (UINT32 i = 0; i < np; ++i) paths.push_back(dc_path(p[i]));
        for (UINT32 i = 0; i < nm; ++i) modes.push_back(dc_mode(m[i]));
        return 0;
    }

    int32_t set(const std::vector<DcPathInfo>& paths, const std::vector<DcModeInfo>& modes, uint32_t flags) override {
        std::vector<DISPLAYCONFIG_PATH_INFO> p;
        std::vector<DISPLAYCONFIG_MODE_INFO> m;
        for (const auto& x : paths) p.push_back(sys_path(x));
        for (const auto& x : modes) m.push_back(sys_mode(x));
        return SetDisplayConfig(static_cast<UINT32>(p.size()), p.empty() ? nullptr : p.data(),
                                static_cast<UINT32>(m.size()), m.empty() ? nullptr : m.data(), flags);
    }

    int32_t source_name(const DcLuid& adapter, uint32_t source_id, std::string& out) override {
        return win32::source_gdi_name(sys_luid(adapter), source_id, out);
    }

    int32_t target_device_path(const DcLuid& adapter, uint32_t target_id, std::string& out) override {
        DISPLAYCONFIG_TARGET_DEVICE_NAME name{};
        name.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_TARGET_NAME;
        name.header.size = sizeof name;
        name.header.adapterId = sys_luid(adapter);
        name.header.id = target_id;
        const LONG rc = DisplayConfigGetDeviceInfo(&name.header);
        if (rc == ERROR_SUCCESS) out = win32::narrow(name.monitorDevicePath);
        return rc;
    }

    int32_t input_desktop_name(std::string& out) override {
        uint32_t error = 0;
        return win32::input_desktop_name(out, error) ? 0 : static_cast<int32_t>(error);
    }
};

}  // namespace

std::unique_ptr<IDisplayConfigApi> make_display_config() { return std::make_unique<Win32DisplayConfig>(); }

}  // namespace sorvane::platform
