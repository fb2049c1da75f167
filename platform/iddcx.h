// Display framework port: what an indirect display driver does with the
// framework that hosts it (the WDF device, the IddCx adapter, monitors and
// swap chains) and with DXGI/Direct3D on the render adapter, and the
// callbacks the framework makes into the driver. Framework objects are opaque
// handles; every call returns the NTSTATUS (or HRESULT for DXGI/Direct3D and
// the swap chain) the driver branches on and logs.
//
// On Linux the framework is the simulated machine's (platform/sim/iddcx_sim.h):
// monitors that arrive appear in the machine's display topology.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"

namespace sorvane::platform {

// NTSTATUS values.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
inline constexpr uint32_t kStatusNotImplemented = 0xC0000002;
inline constexpr uint32_t kStatusInvalidHandle = 0xC0000008;
inline constexpr uint32_t kStatusInvalidParameter = 0xC000000D;
inline constexpr uint32_t kStatusBufferTooSmall = 0xC0000023;
inline constexpr uint32_t kStatusInsufficientResources = 0xC000009A;
inline constexpr uint32_t kStatusDeviceNotReady = 0xC00000A3;
inline constexpr uint32_t kStatusNotSupported = 0xC00000BB;
inline constexpr uint32_t kStatusInvalidDeviceState = 0xC0000184;
inline bool nt_success(uint32_t status) { return (status & 0x80000000u) == 0; }

// HRESULT values of DXGI, Direct3D and the swap chain.
inline constexpr uint32_t kSOk = 0;
inline constexpr uint32_t kEPending = 0x8000000A;
inline constexpr uint32_t kDxgiErrorDeviceRemoved = 0x887A0005;
inline constexpr uint32_t kDxgiErrorAccessLost = 0x887A0026;
inline constexpr uint32_t kDxgiErrorNotFound = 0x887A0002;

// A framework or device object; 0 is none.
using IddObject = uint64_t;

struct AdapterLuid {
    uint32_t high = 0;
    uint32_t low = 0;
    bool operator==(const AdapterLuid&) const = default;
};

// The running framework: its version, the number of entries of its function
// table, whether it is older than the one the driver was built against, and
// its size of the client configuration structure (0 when it does not know it).
struct IddFrameworkInfo {
    uint32_t version = 0;
    uint32_t function_count = 0;
    bool older_than_driver = false;
    uint32_t client_config_size = 0;
};

inline constexpr uint32_t kIddClientConfigSize = 200;  // the driver's own structure size

// Which callbacks the driver registers.
struct IddClientConfig {
    uint32_t size = kIddClientConfigSize;
    bool description2 = true;  // the "2" set (parse, target modes, HDR, gamma) instead of the first
};

struct IddAdapterCaps {
    uint32_t flags = 0;
    uint32_t max_monitors = 0;
    uint32_t transmission_type = 0;
    std::string friendly_name;
    std::string model_name;
    std::string manufacturer;
    uint32_t hardware_version[3] = {0, 0, 0};
    uint32_t firmware_version[3] = {0, 0, 0};
    bool gamma_support = false;
};

struct IddMonitorInfo {
    uint32_t monitor_type = 0;     // 5: HDMI
    uint32_t connector_index = 0;
    std::vector<uint8_t> edid;     // the monitor description
    std::string container_id;      // "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"
};

// One mode as the driver reports it to the framework.
struct IddMode {
    uint32_t width = 0;
    uint32_t height = 0;
    uint64_t pixel_rate = 0;
    uint32_t vsync_numerator = 0;
    uint32_t vsync_denominator = 1;
    uint32_t total_width = 0;
    uint32_t total_height = 0;
    uint32_t bits_per_component = 0;  // "2" variants: RGB bit depths (6 = 8 and 10 bits)
};

struct IddCursorCaps {
    uint32_t color_xor_support = 0;
    bool alpha_support = false;
    uint32_t max_x = 0;
    uint32_t max_y = 0;
};

struct RenderAdapterDesc {
    std::string description;
    uint32_t vendor_id = 0;
    uint32_t device_id = 0;
    bool software = false;
};

// The driver's side: the framework calls these on its own threads.
class IIddCxDriver {
public:
    virtual ~IIddCxDriver() = default;
    virtual uint32_t d0_entry() = 0;
    virtual uint32_t d0_exit() = 0;
    virtual uint32_t adapter_init_finished(IddObject adapter, uint32_t status) = 0;
    // Modes of a monitor description. capacity 0 is a size query; modes may be
    // null with a non-zero capacity (an error).
    virtual uint32_t parse_monitor_description(const std::vector<uint8_t>& description, uint32_t capacity,
                                               IddMode* modes, uint32_t& count, uint32_t& preferred) = 0;
    virtual uint32_t monitor_get_default_modes(IddObject monitor) = 0;
    virtual uint32_t monitor_query_target_modes(IddObject monitor, uint32_t capacity, IddMode* modes,
                                                uint32_t& count) = 0;
    virtual uint32_t assign_swap_chain(IddObject monitor, IddObject swap_chain, const AdapterLuid& render_adapter,
                                       std::shared_ptr<Event> new_frame) = 0;
    virtual uint32_t unassign_swap_chain(IddObject monitor) = 0;
    // Clean-up of a monitor object, on whichever thread deletes it.
    virtual void monitor_cleanup(IddObject monitor) = 0;
};

class IIddCx {
public:
    virtual ~IIddCx() = default;

    virtual IddFrameworkInfo framework() = 0;
    // Device set-up, in the order a device add makes these calls.
    virtual uint32_t device_init_config(const IddClientConfig& config) = 0;
    virtual uint32_t device_create(IIddCxDriver* driver) = 0;
    virtual uint32_t device_initialize() = 0;
    // Removes the device (the driver's unload); the driver must not be called afterwards.
    virtual void device_remove() = 0;

    // Starts the adapter; completion arrives through adapter_init_finished.
    virtual uint32_t adapter_init_async(const IddAdapterCaps& caps, IddObject& adapter) = 0;
    virtual uint32_t adapter_set_render_adapter(IddObject adapter, const AdapterLuid& luid) = 0;

    virtual uint32_t monitor_create(IddObject adapter, const IddMonitorInfo& info, IddObject& monitor) = 0;
    virtual uint32_t monitor_arrival(IddObject monitor, AdapterLuid& os_adapter, uint32_t& os_target) = 0;
    virtual uint32_t monitor_departure(IddObject monitor) = 0;
    virtual uint32_t monitor_setup_hardware_cursor(IddObject monitor, const IddCursorCaps& caps,
                                                   std::shared_ptr<Event> cursor_event) = 0;
    // Deletes a monitor or swap-chain object (a monitor's clean-up runs inside).
    virtual void object_delete(IddObject object) = 0;

    // DXGI and Direct3D on a render adapter (HRESULTs).
    virtual uint32_t create_dxgi_factory() = 0;
    virtual uint32_t enum_adapter_by_luid(const AdapterLuid& luid, RenderAdapterDesc& desc) = 0;
    virtual uint32_t create_d3d_device(const AdapterLuid& luid, IddObject& device) = 0;
    virtual uint32_t query_dxgi_device(IddObject device) = 0;
    virtual void release_device(IddObject device) = 0;

    // The swap chain (HRESULTs).
    virtual uint32_t swap_chain_set_device(IddObject swap_chain, IddObject device) = 0;
    // Releases the previous buffer and acquires the next; kEPending when none is ready.
    virtual uint32_t swap_chain_release_and_acquire(IddObject swap_chain, bool version2) = 0;
    virtual uint32_t swap_chain_finished_processing_frame(IddObject swap_chain) = 0;
};

// The framework of this machine for the driver of the device node
// device_instance_id (on Linux the simulated machine's, in its automatic
// mode, with this process as the node's driver host).
std::unique_ptr<IIddCx> make_system_iddcx(const std::string& device_instance_id);

}  // namespace sorvane::platform
