// The simulated display framework an indirect display driver runs on. It
// keeps the framework's objects (device, adapter, monitors, swap chains,
// render devices), calls the driver's callbacks as the framework would, and
// puts arriving monitors into the machine's display topology (and takes
// departing ones out), with the EDID stored where Windows keeps it.
//
// Two ways to run it:
// - manual: nothing happens by itself; a test steps the framework
//   (complete_adapter_init, assign_swap_chain, present, remove_device,
//   destroy_monitor, power_down/power_up);
// - automatic (the driver process): adapter initialisation completes at once,
//   arrived monitors get a swap chain on the render adapter, frames are
//   offered at each mode's refresh rate, a deleted swap chain is replaced
//   while its monitor is still there, and departed monitors are unassigned
//   and destroyed.
// The framework of a device node (the driver process) also makes its process
// that node's driver host (driver_host.h): LOCAL SERVICE, one per node, its
// adapter gone with the process; and the machine's power events (`sorvane-sim
// power`) take the device out of D0 and back.
//
// Injected failures: fail(point, status) makes calls of a point fail; points
// are the framework calls ("device_init_config", "device_create",
// "device_initialize", "adapter_init_async", "adapter_init_finished" (the
// completion's status), "monitor_create", "monitor_arrival",
// "monitor_departure", "setup_hardware_cursor", "set_render_adapter",
// "dxgi.create_factory", "dxgi.enum_adapter", "d3d11.create_device",
// "dxgi.query_device", "swap_chain.set_device", "swap_chain.acquire",
// "swap_chain.finished"). The coarse ones (all but the swap-chain points)
// also obey the machine's fault points "iddcx.<point>".
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/iddcx.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/machine.h"

namespace sorvane::sim {

class SimIddCx final : public platform::IIddCx {
public:
    enum class Mode { manual, automatic };

    SimIddCx(std::shared_ptr<Machine> machine, platform::IClock& clock, Mode mode);
    // Automatic, on a system clock of its own.
    explicit SimIddCx(std::shared_ptr<Machine> machine);
    // Automatic, as the framework of the driver loaded for the device node
    // device_instance_id: this process becomes its driver host. When another
    // process hosts the node's driver, device creation fails with
    // STATUS_INVALID_DEVICE_STATE and host_error() says why.
    SimIddCx(std::shared_ptr<Machine> machine, const std::string& device_instance_id);
    ~SimIddCx() override;
    SimIddCx(const SimIddCx&) = delete;
    SimIddCx& operator=(const SimIddCx&) = delete;

    // ---- steering ----
    void set_framework(const platform::IddFrameworkInfo& info);
    void fail(const std::string& point, uint32_t status, uint64_t nth = 1, uint64_t times = 1);
    // Automatic mode: keep monitor objects after departure and unassignment
    // (as the framework sometimes does), so only the driver can delete them.
    void set_keeps_departed_monitors(bool keep);

    // The framework calls the adapter's completion before adapter_init_async
    // returns (as it may on another thread).
    void set_completes_init_inline(bool inline_completion);
    const std::string& host_error() const { return host_error_; }

    // Completes a pending adapter initialisation with status (or the
    // "adapter_init_finished" fault). False when none is pending.
    bool complete_adapter_init(uint32_t status = 0);
    uint32_t power_down();
    uint32_t power_up();
    // Gives the monitor a new swap chain on the render adapter and calls the
    // driver; returns it (0 when the monitor does not exist).
    platform::IddObject assign_swap_chain(platform::IddObject monitor);
    void unassign_swap_chain(platform::IddObject monitor);
    // Offers frames on a swap chain and signals its new-frame event.
    void present(platform::IddObject swap_chain, uint32_t frames = 1);
    // The render device is lost: the swap chain's next acquire fails.
    void remove_device(platform::IddObject swap_chain);
    // The framework destroys a monitor object (its clean-up runs).
    void destroy_monitor(platform::IddObject monitor);

    // ---- observations ----
    struct SwapChainInfo {
        platform::IddObject monitor = 0;
        bool device_set = false;
        bool deleted = false;
        bool device_removed = false;
        uint64_t offered = 0;
        uint64_t acquired = 0;
        uint64_t finished = 0;
        uint32_t refresh = 60;
    };
    bool swap_chain_info(platform::IddObject swap_chain, SwapChainInfo& out) const;
    // The monitor's current (not deleted) swap chain, 0 when none.
    platform::IddObject swap_chain_of(platform::IddObject monitor) const;
    std::vector<platform::IddObject> monitors() const;
    bool monitor_departed(platform::IddObject monitor) const;
    platform::IddObject adapter() const;
    platform::AdapterLuid adapter_luid() const;
    platform::IddClientConfig client_config() const;
    platform::IddAdapterCaps adapter_caps() const;
    platform::AdapterLuid render_adapter_set() const;
    // Calls of a framework function so far.
    uint64_t calls(const std::string& point) const;

    // ---- the framework ----
    platform::IddFrameworkInfo framework() override;
    uint32_t device_init_config(const platform::IddClientConfig& config) override;
    uint32_t device_create(platform::IIddCxDriver* driver) override;
    uint32_t device_initialize() override;
    void device_remove() override;
    uint32_t adapter_init_async(const platform::IddAdapterCaps& caps, platform::IddObject& adapter) override;
    uint32_t adapter_set_render_adapter(platform::IddObject adapter, const platform::AdapterLuid& luid) override;
    uint32_t monitor_create(platform::IddObject adapter, const platform::IddMonitorInfo& info,
                            platform::IddObject& monitor) override;
    uint32_t monitor_arrival(platform::IddObject monitor, platform::AdapterLuid& os_adapter,
                             uint32_t& os_target) override;
    uint32_t monitor_departure(platform::IddObject monitor) override;
    uint32_t monitor_setup_hardware_cursor(platform::IddObject monitor, const platform::IddCursorCaps& caps,
                                           std::shared_ptr<platform::Event> cursor_event) override;
    void object_delete(platform::IddObject object) override;
    uint32_t create_dxgi_factory() override;
    uint32_t enum_adapter_by_luid(const platform::AdapterLuid& luid, platform::RenderAdapterDesc& desc) override;
    uint32_t create_d3d_device(const platform::AdapterLuid& luid, platform::IddObject& device) override;
    uint32_t query_dxgi_device(platform::IddObject device) override;
    void release_device(platform::IddObject device) override;
    uint32_t swap_chain_set_device(platform::IddObject swap_chain, platform::IddObject device) override;
    uint32_t swap_chain_release_and_acquire(platform::IddObject swap_chain, bool version2) override;
    uint32_t swap_chain_finished_processing_frame(platform::IddObject swap_chain) override;

private:
    struct MonitorObj {
        platform::IddMonitorInfo info;
        bool arrived = false;
        bool departed = false;
        uint32_t target = 0;
        uint32_t refresh = 60;
        platform::IddObject swap_chain = 0;
    };
    struct SwapChainObj {
        SwapChainInfo info;
        std::shared_ptr<platform::Event> new_frame;
        uint64_t next_frame_us = 0;
    };

    struct PowerLink;

    uint32_t check(const std::string& point, bool coarse = true);
    void on_machine_power(uint32_t type);
    // The adapter's LUID leaves the topology (and the node's record).
    void take_adapter_away(MachineState& s, const platform::AdapterLuid& luid);
    void post(std::function<void()> task);
    void worker();
    platform::AdapterLuid render_luid_locked() const;
    // Adds the monitor to the topology with the modes the driver reports.
    void publish_arrival(platform::IddObject monitor, const platform::IddMonitorInfo& info, uint32_t target);

    std::shared_ptr<Machine> machine_;
    std::unique_ptr<platform::IClock> owned_clock_;
    platform::IClock& clock_;
    const Mode mode_;
    mutable std::mutex mutex_;
    platform::IIddCxDriver* driver_ = nullptr;
    platform::IddFrameworkInfo framework_{0x1A00, 40, false, platform::kIddClientConfigSize};
    platform::IddClientConfig client_config_;
    platform::IddAdapterCaps caps_;
    platform::IddObject adapter_ = 0;
    platform::AdapterLuid adapter_luid_;
    bool init_pending_ = false;
    platform::AdapterLuid render_set_;
    bool render_set_valid_ = false;
    bool keep_departed_ = false;
    uint64_t next_handle_ = 1;
    std::map<platform::IddObject, MonitorObj> monitors_;
    std::map<platform::IddObject, SwapChainObj> swap_chains_;
    std::map<platform::IddObject, platform::AdapterLuid> devices_;
    FaultTable faults_;
    std::map<std::string, uint64_t> calls_;
    bool init_inline_ = false;

    // The driver host of a device node.
    bool for_node_ = false;
    std::unique_ptr<DriverHostLock> host_;
    std::string host_error_;
    std::shared_ptr<PowerLink> power_link_;
    bool powered_ = true;  // the worker's view of D0

    // Automatic mode.
    std::mutex task_mutex_;
    std::condition_variable task_cv_;
    std::deque<std::function<void()>> tasks_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace sorvane::sim
