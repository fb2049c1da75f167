// The simulated machine's graphics: the GPUs (adapters with their LUIDs,
// vendor and device ids, names, whether they render), and the display
// topology Windows keeps: one target per monitor connector of an adapter,
// the monitor on it with its modes, the path (active or not, position on the
// desktop, mode, rotation) and the persistence database in which Windows
// remembers where each monitor was. The EDID Windows read from a monitor is
// kept in the registry, under the monitor's device key
// (HKLM\SYSTEM\CurrentControlSet\Enum\<device>\Device Parameters, value EDID).
//
// A fresh machine has one rendering GPU with one physical monitor;
// `sorvane-sim init --gpus N --monitors WxH@R,...` chooses others.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"
#include "platform/sim/json.h"

namespace sorvane::sim {

struct SimLuid {
    uint32_t high = 0;
    uint32_t low = 0;
    bool operator==(const SimLuid&) const = default;
};
// "%08x:%08x", high part first.
std::string luid_string(const SimLuid& luid);
bool parse_luid_string(std::string_view text, SimLuid& out);

struct DisplayMode {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    bool operator==(const DisplayMode&) const = default;
};
// "<w>x<h>@<r>".
std::string mode_string(const DisplayMode& mode);
bool parse_mode_string(std::string_view text, DisplayMode& out);

struct SimGpu {
    SimLuid luid;
    uint32_t vendor_id = 0;
    uint32_t device_id = 0;
    std::string name;
    bool renders = true;    // a render adapter (RenderSupported)
    bool software = false;  // the basic render adapter
    bool indirect = false;  // an indirect display driver's adapter (no rendering)
    // The integrated adapter of a hybrid machine: what DXGI lists first for
    // minimum power and after the others for high performance.
    bool low_power = false;
};

// One target: a connector of an adapter, the monitor on it and its path.
struct SimTarget {
    SimLuid adapter;
    uint32_t id = 0;             // target id, unique per adapter
    bool indirect = false;       // created by an indirect display driver
    std::string device;          // monitor device instance, "DISPLAY\SVN0001\..."
    std::string monitor_name;    // from the EDID's name descriptor
    std::string monitor_key;     // "<maker><product hex4>/<serial hex8>": what Windows remembers it by
    std::vector<DisplayMode> modes;  // the monitor's modes, preferred first
    // The path of the target.
    bool active = false;
    int32_t x = 0;
    int32_t y = 0;
    DisplayMode mode;
    uint32_t rotation = 0;  // 0, 90, 180 or 270 degrees
    bool primary = false;
    uint32_t source = 0;    // the adapter's source (desktop surface) that feeds the path
};

// What the persistence database remembers of a monitor that left.
struct RememberedPosition {
    std::string monitor_key;
    int32_t x = 0;
    int32_t y = 0;
    DisplayMode mode;
    uint32_t rotation = 0;
};

class DisplayModel {
public:
    static constexpr const char* kName = "display";

    std::vector<SimGpu> gpus;
    std::vector<SimTarget> targets;  // ordered by adapter, then id
    std::vector<RememberedPosition> persistence;
    // The name of the desktop that receives input: "Default", or "Winlogon"
    // while the lock screen or a permission prompt shows.
    std::string input_desktop = "Default";

    const SimGpu* find_gpu(const SimLuid& luid) const;
    SimTarget* find_target(const SimLuid& adapter, uint32_t id);
    const SimTarget* find_target(const SimLuid& adapter, uint32_t id) const;
    // The first GPU that renders and is not a software adapter; null when none.
    const SimGpu* default_render_gpu() const;

    // Adds an adapter of an indirect display driver and returns its LUID: the
    // first free one from the number-th of the indirect LUIDs (Windows never
    // hands a LUID out twice while it runs).
    SimLuid add_indirect_adapter(const std::string& name, uint32_t number = 0);
    void remove_gpu(const SimLuid& luid);

    // A monitor arrives on a target of adapter: Windows activates it in its
    // preferred mode (modes[0]) at the position it remembers for monitor_key,
    // or else to the right of the rightmost active display, top at 0.
    // Replaces a target with the same id.
    SimTarget& arrive(SimTarget target);
    // The monitor leaves: its position is remembered and the target removed.
    // False when there is no such target.
    bool depart(const SimLuid& adapter, uint32_t id);

    // The lowest source id of adapter that no active target other than
    // (adapter, except_id) uses.
    uint32_t free_source(const SimLuid& adapter, uint32_t except_id) const;

    // The bounding width of a path (rotated by 90 or 270 degrees: its height).
    static uint32_t path_width(const SimTarget& t);
    static uint32_t path_height(const SimTarget& t);

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

// The registry key of a monitor device's parameters.
std::string monitor_parameters_key(const std::string& device);

// A 128-byte EDID 1.3 of a physical monitor: maker (three letters), product,
// serial, name and one detailed timing of the preferred mode.
std::vector<uint8_t> make_physical_edid(std::string_view maker, uint16_t product, uint32_t serial,
                                        std::string_view name, const DisplayMode& mode);
// The monitor name of an EDID's name descriptor (empty when it has none) and
// its identity "<maker><product hex4>/<serial hex8>" (empty when too short).
std::string edid_monitor_name(const std::vector<uint8_t>& edid);
std::string edid_monitor_key(const std::vector<uint8_t>& edid);

// The GPUs and monitors of a fresh machine: render_gpus GPUs (at least the
// first has the monitors), and one physical monitor per mode, side by side.
// Writes the monitors' EDIDs into registry.
void fresh_display(DisplayModel& display, class RegistryModel& registry, uint32_t render_gpus,
                   const std::vector<DisplayMode>& monitors);

}  // namespace sorvane::sim
