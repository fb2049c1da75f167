// Everything the driver does with the display framework: device add, power
// transitions, the adapter, creation and departure of monitors on request of
// the control plane, the mode callbacks, swap-chain assignment, clean-up of
// monitor objects and the render adapter preference. One object per loaded
// driver; the framework's callbacks land here.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "driver/core/backend.h"
#include "driver/core/log.h"
#include "driver/runtime/swap_chain.h"
#include "platform/clock.h"
#include "platform/iddcx.h"

namespace sorvane::vdd {

inline constexpr char kDriverVersion[] = "SorvaneVDD-0.1.3";
inline constexpr uint32_t kMaxMonitorsSupported = 8;
// How long a departed, unassigned monitor object may live before the sweep deletes it.
inline constexpr uint64_t kForcedDeleteAfterMs = 5'000;

class DriverBackend final : public IDriverBackend, public platform::IIddCxDriver {
public:
    DriverBackend(platform::IIddCx& iddcx, platform::IClock& clock);
    // Stops every swap-chain processor and removes the device.
    ~DriverBackend() override;
    DriverBackend(const DriverBackend&) = delete;
    DriverBackend& operator=(const DriverBackend&) = delete;

    // Device add: client configuration, device creation and initialisation.
    uint32_t device_add();
    // Runs at the end of every sweep (the control pipe's start retry).
    void set_tick_hook(std::function<void()> hook);

    // ---- the control plane's backend ----
    void set_event_sink(MonitorEventSink* sink) override;
    bool adapter_ready() override { return ready_.load(); }
    uint32_t adapter_error() override { return adapter_error_.load(); }
    OpResult add_monitor(const MonitorParams& params, Luid& os_luid, uint32_t& os_target) override;
    OpResult depart_monitor(uint32_t id) override;
    bool is_valid_render_adapter(const Luid& luid) override;
    OpResult set_render_preference(const Luid& luid) override;
    Luid actual_render_adapter() override;
    std::string driver_version() override { return kDriverVersion; }
    uint32_t iddcx_version() override;
    void set_log_level(int level) override;
    void sweep() override;
    bool monitor_present(uint32_t id) override;

    // ---- the framework's callbacks ----
    uint32_t d0_entry() override;
    uint32_t d0_exit() override;
    uint32_t adapter_init_finished(platform::IddObject adapter, uint32_t status) override;
    uint32_t parse_monitor_description(const std::vector<uint8_t>& description, uint32_t capacity,
                                       platform::IddMode* modes, uint32_t& count, uint32_t& preferred) override;
    uint32_t monitor_get_default_modes(platform::IddObject monitor) override;
    uint32_t monitor_query_target_modes(platform::IddObject monitor, uint32_t capacity, platform::IddMode* modes,
                                        uint32_t& count) override;
    uint32_t assign_swap_chain(platform::IddObject monitor, platform::IddObject swap_chain,
                               const platform::AdapterLuid& render_adapter,
                               std::shared_ptr<platform::Event> new_frame) override;
    uint32_t unassign_swap_chain(platform::IddObject monitor) override;
    void monitor_cleanup(platform::IddObject monitor) override;

    // ---- diagnostics and tests ----
    size_t monitor_records();
    // Frames acquired and finished by the monitor's current processor; false when it has none.
    bool processor_counts(uint32_t id, uint64_t& acquired, uint64_t& finished);

private:
    struct MonitorRecord {
        MonitorParams params;
        platform::IddObject monitor = 0;
        std::unique_ptr<SwapChainProcessor> processor;
        std::shared_ptr<platform::Event> cursor_event;
        std::atomic<uint64_t> departure_ms{0};
        std::atomic<bool> has_swap_chain{false};
        std::atomic<bool> unassigned{false};
        std::atomic<bool> forced_delete{false};
    };
    using Record = std::shared_ptr<MonitorRecord>;

    uint32_t assign_swap_chain_inner(platform::IddObject monitor, platform::IddObject swap_chain,
                                     const platform::AdapterLuid& render_adapter,
                                     std::shared_ptr<platform::Event> new_frame);
    OpResult apply_render_adapter(platform::IddObject adapter, const Luid& luid);
    Record record_of(platform::IddObject monitor);
    void fill_modes(const ModeList& list, bool monitor_modes, platform::IddMode* out);

    platform::IIddCx& iddcx_;
    platform::IClock& clock_;
    const platform::IddFrameworkInfo framework_;
    bool device_context_ = false;
    bool description2_ = true;

    std::mutex monitor_mutex_;
    platform::IddObject adapter_ = 0;
    bool init_finished_ = false;  // the framework reported the outcome of the current adapter start
    std::map<uint32_t, Record> by_id_;
    std::map<uint32_t, Record> by_serial_;
    std::map<platform::IddObject, Record> by_object_;  // the monitor objects' contexts
    Luid render_preference_;
    Luid render_actual_;
    std::function<void()> tick_hook_;

    std::mutex sink_mutex_;
    MonitorEventSink* sink_ = nullptr;

    std::atomic<uint32_t> adapter_error_{0};
    std::atomic<bool> ready_{false};
};

}  // namespace sorvane::vdd
