// Desktop duplication port: what capture needs from DXGI (adapters, outputs,
// devices, duplications of an output), from the display configuration (active
// paths, source names, display devices) and from GDI (a snapshot of a desktop
// rectangle, the nudge that makes the compositor present on a monitor).
// Results are the Windows HRESULT or Win32 codes, as plain integers, because
// the capture recovery rules branch on them and log them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hresult.h"
#include "platform/texture.h"

namespace sorvane::platform {

inline constexpr int32_t kDxgiErrorInvalidCall = static_cast<int32_t>(0x887A0001u);
inline constexpr int32_t kDxgiErrorNotFound = static_cast<int32_t>(0x887A0002u);
inline constexpr int32_t kDxgiErrorDeviceRemoved = static_cast<int32_t>(0x887A0005u);
inline constexpr int32_t kDxgiErrorAccessLost = static_cast<int32_t>(0x887A0026u);
inline constexpr int32_t kDxgiErrorWaitTimeout = static_cast<int32_t>(0x887A0027u);
inline constexpr int32_t kErrorSuccess = 0;
inline constexpr int32_t kErrorInsufficientBuffer = 122;

struct OutputDesc {
    std::string device_name;  // GDI device name, for example "\\.\DISPLAY2"
    int32_t left = 0, top = 0, right = 0, bottom = 0;
    bool attached = false;    // AttachedToDesktop
};

// DXGI_OUTDUPL_FRAME_INFO, the parts capture reads.
struct DuplicationFrameInfo {
    int64_t last_present_time = 0;       // 0: no new desktop image
    int64_t last_mouse_update_time = 0;  // 0: the pointer did not change
    bool pointer_visible = false;
    int32_t pointer_x = 0, pointer_y = 0;  // relative to the output
    uint32_t pointer_shape_buffer_size = 0;  // non-zero: a new shape can be read
};

// DXGI_OUTDUPL_POINTER_SHAPE_INFO.
struct PointerShapeInfo {
    uint32_t type = 0;  // 1 monochrome, 2 colour, 4 masked colour
    uint32_t width = 0, height = 0, pitch = 0;
    int32_t hot_x = 0, hot_y = 0;
};

class IOutputDuplication {
public:
    virtual ~IOutputDuplication() = default;
    // AcquireNextFrame: on success the texture is valid until release_frame.
    virtual int32_t acquire_next_frame(uint32_t timeout_ms, DuplicationFrameInfo& info,
                                       const CpuTexture*& texture) = 0;
    virtual int32_t release_frame() = 0;
    // GetFramePointerShape into a buffer of the size the frame announced.
    virtual int32_t get_frame_pointer_shape(std::vector<uint8_t>& buffer, PointerShapeInfo& info) = 0;
};

// One active display path (DISPLAYCONFIG_PATH_INFO, the ids capture reads).
struct DisplayPath {
    uint64_t source_adapter_luid = 0;
    uint32_t source_id = 0;
    uint64_t target_adapter_luid = 0;
    uint32_t target_id = 0;
};

// EnumDisplayDevicesW's answer.
struct DisplayDevice {
    std::string name;    // adapter: "\\.\DISPLAY1"; monitor: "\\.\DISPLAY1\Monitor0"
    std::string id;      // monitor: its device interface path
    bool attached_to_desktop = false;
};

class IDuplication {
public:
    virtual ~IDuplication() = default;

    // DXGI: adapters in factory order, outputs of one adapter in EnumOutputs order.
    virtual int32_t enum_adapters(std::vector<AdapterDesc>& out) = 0;
    virtual int32_t enum_outputs(uint32_t adapter_index, std::vector<OutputDesc>& out) = 0;
    // D3D11CreateDevice on an adapter.
    virtual int32_t create_device(uint32_t adapter_index, std::shared_ptr<GpuDevice>& out) = 0;
    // IDXGIOutput1::DuplicateOutput.
    virtual int32_t duplicate_output(uint32_t adapter_index, uint32_t output_index, const GpuDevice& device,
                                     std::unique_ptr<IOutputDuplication>& out) = 0;

    // GetDisplayConfigBufferSizes and QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS):
    // the query fails with kErrorInsufficientBuffer when more than capacity
    // paths are active (the topology may change between the two calls).
    virtual int32_t display_config_buffer_sizes(uint32_t& path_count) = 0;
    virtual int32_t query_display_config(uint32_t capacity, std::vector<DisplayPath>& paths) = 0;
    // DisplayConfigGetDeviceInfo(GET_SOURCE_NAME): the GDI device name of a source.
    virtual int32_t source_gdi_name(uint64_t adapter_luid, uint32_t source_id, std::string& out) = 0;
    // EnumDisplayDevicesW: adapter == nullptr walks the display adapters,
    // otherwise the monitors of that adapter (with their interface names).
    virtual bool enum_display_devices(const std::string* adapter, uint32_t index, DisplayDevice& out) = 0;

    // BitBlt of the rectangle's pixels from the screen into top-down BGRA rows.
    virtual bool snapshot_gdi(int32_t left, int32_t top, uint32_t width, uint32_t height,
                              std::vector<uint8_t>& bgra) = 0;
    // Shows a 4 x 4 nearly transparent window on the monitor for two short
    // moments so that the compositor presents a frame there.
    virtual void nudge(int32_t left, int32_t top, int32_t right, int32_t bottom) = 0;

    // The performance counter (ticks of 100 ns).
    virtual int64_t performance_counter() = 0;
};

// Desktop Duplication of this machine's desktop (on Linux: the simulated
// machine's desktop, following its display topology).
std::unique_ptr<IDuplication> make_duplication();

}  // namespace sorvane::platform
