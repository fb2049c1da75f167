#include "driver/runtime/driver_backend.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "driver/core/edid.h"

namespace sorvane::vdd {

namespace {

bool info_enabled() { return log_enabled(kLogInfo); }
void info(const std::string& text) { write_log(kLogInfo, text); }

std::string hex_plain(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%" PRIx32, v);
    return buf;
}

platform::AdapterLuid to_port(const Luid& l) { return {l.high, l.low}; }
Luid to_luid(const platform::AdapterLuid& l) { return {l.high, l.low}; }

// {serial-D8D4-4E01-4458-564444C0DE01}
std::string container_id(uint32_t serial) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "{%08" PRIX32 "-D8D4-4E01-4458-564444C0DE01}", serial);
    return buf;
}

// Bits per component of the "2" mode structures: RGB at 8 and 10 bits.
constexpr uint32_t kRgb8And10 = 6;

}  // namespace

DriverBackend::DriverBackend(platform::IIddCx& iddcx, platform::IClock& clock)
    : iddcx_(iddcx), clock_(clock), framework_(iddcx.framework()) {}

DriverBackend::~DriverBackend() {
    std::vector<Record> records;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        for (auto& [id, r] : by_id_) records.push_back(r);
        tick_hook_ = nullptr;
    }
    for (auto& r : records) {
        std::unique_ptr<SwapChainProcessor> p;
        {
            std::lock_guard<std::mutex> g(monitor_mutex_);
            p = std::move(r->processor);
        }
        p.reset();
    }
    iddcx_.device_remove();
}

void DriverBackend::set_tick_hook(std::function<void()> hook) {
    std::lock_guard<std::mutex> g(monitor_mutex_);
    tick_hook_ = std::move(hook);
}

uint32_t DriverBackend::device_add() {
    platform::IddClientConfig config;
    const bool older = framework_.older_than_driver;
    if (older) config.size = framework_.client_config_size;  // 0: the framework does not know it
    description2_ = !older || framework_.client_config_size > 176;
    config.description2 = description2_;
    uint32_t status = iddcx_.device_init_config(config);
    if (status != 0) {
        info("IddCxDeviceInitConfig failed: " + hex_short(status));
        return status;
    }
    status = iddcx_.device_create(this);
    if (status != 0) {
        info("WdfDeviceCreate failed: " + hex_short(status));
        return status;
    }
    status = iddcx_.device_initialize();
    if (status != 0) {
        info("IddCxDeviceInitialize failed: " + hex_short(status));
        return status;
    }
    device_context_ = true;
    return 0;
}

void DriverBackend::set_event_sink(MonitorEventSink* sink) {
    std::lock_guard<std::mutex> g(sink_mutex_);
    sink_ = sink;
}

uint32_t DriverBackend::d0_entry() {
    if (!device_context_) {
        info("D0Entry: no device context");
        return platform::kStatusInsufficientResources;
    }
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        if (adapter_ != 0) {
            adapter_error_ = 0;
            ready_ = true;
            info("D0Entry: adapter already registered, reused (ready)");
            return 0;
        }
    }
    platform::IddAdapterCaps caps;
    caps.flags = framework_.older_than_driver && framework_.function_count < 32 ? 0 : 0x40;
    caps.max_monitors = kMaxMonitorsSupported;
    caps.transmission_type = 3;
    caps.friendly_name = "Sorvane Display";
    caps.model_name = "Sorvane IDD";
    caps.manufacturer = "Sorvane";
    caps.hardware_version[0] = caps.firmware_version[0] = 1;
    caps.gamma_support = true;
    platform::IddObject adapter = 0;
    // A new attempt: the error of an earlier one no longer describes the
    // adapter. Cleared before the call, because the framework may report the
    // attempt's outcome on its own thread before the call returns.
    adapter_error_ = 0;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        init_finished_ = false;
    }
    const uint32_t status = iddcx_.adapter_init_async(caps, adapter);
    info("IddCxAdapterInitAsync: " + hex_short(status));
    if (status != 0) {
        adapter_error_ = status;
    } else {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        // An outcome already reported stands: a failed adapter is not taken back.
        if (!init_finished_) adapter_ = adapter;
    }
    return 0;
}

uint32_t DriverBackend::d0_exit() {
    ready_ = false;
    info("D0Exit: adapter kept, not ready while powered down");
    return 0;
}

uint32_t DriverBackend::adapter_init_finished(platform::IddObject adapter, uint32_t status) {
    if (!platform::nt_success(status)) {
        info("adapter initialisation failed: " + hex_short(status));
        adapter_error_ = status;
        // The failed adapter is never reused: the next D0 entry starts a new one.
        std::lock_guard<std::mutex> g(monitor_mutex_);
        adapter_ = 0;
        init_finished_ = true;
        return 0;
    }
    Luid preference;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        adapter_ = adapter;
        init_finished_ = true;
        preference = render_preference_;
    }
    adapter_error_ = 0;
    if (!preference.zero()) apply_render_adapter(adapter, preference);
    ready_ = true;
    info("adapter ready (max monitors 8)");
    return 0;
}

OpResult DriverBackend::add_monitor(const MonitorParams& params, Luid& os_luid, uint32_t& os_target) {
    platform::IddObject adapter = 0;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        adapter = adapter_;
    }
    if (adapter == 0 || !ready_.load()) {
        return OpResult::failure(platform::kStatusDeviceNotReady, "adapter not ready");
    }
    auto record = std::make_shared<MonitorRecord>();
    record->params = params;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        by_id_[params.id] = record;
        by_serial_[params.serial] = record;
    }
    const auto forget = [&] {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        const auto a = by_id_.find(params.id);
        if (a != by_id_.end() && a->second == record) by_id_.erase(a);
        const auto b = by_serial_.find(params.serial);
        if (b != by_serial_.end() && b->second == record) by_serial_.erase(b);
    };
    platform::IddMonitorInfo info_block;
    info_block.monitor_type = 5;  // HDMI
    info_block.connector_index = params.slot;
    info_block.edid = params.edid;
    info_block.container_id = container_id(params.serial);
    platform::IddObject monitor = 0;
    uint32_t status = iddcx_.monitor_create(adapter, info_block, monitor);
    if (status != 0) {
        info("IddCxMonitorCreate failed: " + hex_short(status) + " (id " + std::to_string(params.id) + ", slot " +
             std::to_string(params.slot) + ")");
        forget();
        return OpResult::failure(status, "IddCxMonitorCreate");
    }
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        record->monitor = monitor;
        by_object_[monitor] = record;
    }
    platform::AdapterLuid luid;
    status = iddcx_.monitor_arrival(monitor, luid, os_target);
    if (status != 0) {
        info("IddCxMonitorArrival failed: " + hex_short(status));
        iddcx_.object_delete(monitor);  // its clean-up drops the record
        forget();
        return OpResult::failure(status, "IddCxMonitorArrival");
    }
    os_luid = to_luid(luid);
    if (info_enabled()) {
        info("monitor added: id " + std::to_string(params.id) + " slot " + std::to_string(params.slot) + " serial " +
             hex_short(params.serial) + " " + mode_text({params.width, params.height, params.refresh}) +
             " os target " + std::to_string(os_target));
    }
    return OpResult::success();
}

OpResult DriverBackend::depart_monitor(uint32_t id) {
    Record record;
    platform::IddObject monitor = 0;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        const auto it = by_id_.find(id);
        if (it == by_id_.end() || it->second->monitor == 0) return OpResult::success();
        record = it->second;
        monitor = record->monitor;
    }
    const uint32_t status = iddcx_.monitor_departure(monitor);
    info("IddCxMonitorDeparture id " + std::to_string(id) + ": " + hex_short(status));
    if (status == platform::kStatusInvalidDeviceState || status == platform::kStatusInvalidHandle) {
        return OpResult::success();  // already gone
    }
    if (!platform::nt_success(status)) return OpResult::failure(status, "IddCxMonitorDeparture");
    record->departure_ms = std::max<uint64_t>(clock_.now_ms(), 1);
    return OpResult::success();
}

bool DriverBackend::monitor_present(uint32_t id) {
    std::lock_guard<std::mutex> g(monitor_mutex_);
    const auto it = by_id_.find(id);
    return it != by_id_.end() && it->second->monitor != 0;
}

void DriverBackend::monitor_cleanup(platform::IddObject monitor) {
    Record record;
    std::unique_ptr<SwapChainProcessor> processor;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        const auto it = by_object_.find(monitor);
        if (it == by_object_.end()) return;
        record = it->second;
        by_object_.erase(it);
        record->monitor = 0;
        const auto a = by_id_.find(record->params.id);
        if (a != by_id_.end() && a->second == record) by_id_.erase(a);
        const auto b = by_serial_.find(record->params.serial);
        if (b != by_serial_.end() && b->second == record) by_serial_.erase(b);
        processor = std::move(record->processor);
    }
    if (info_enabled()) {
        info("monitor object cleaned up: id " + std::to_string(record->params.id) + " slot " +
             std::to_string(record->params.slot) + (record->forced_delete.load() ? " (after forced delete)" : ""));
    }
    {
        std::lock_guard<std::mutex> g(sink_mutex_);
        if (sink_ != nullptr) sink_->on_monitor_gone(record->params.id);
    }
    processor.reset();
}

void DriverBackend::sweep() {
    const uint64_t now = clock_.now_ms();
    std::vector<platform::IddObject> doomed;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        for (auto& [object, r] : by_object_) {
            const uint64_t departed = r->departure_ms.load();
            // Also monitors that never had a swap chain: nothing will ever unassign them.
            if (departed != 0 && !r->has_swap_chain.load() && !r->forced_delete.load() && r->monitor != 0 &&
                now > departed && now - departed > kForcedDeleteAfterMs) {
                r->forced_delete = true;
                doomed.push_back(object);
            }
        }
    }
    for (const platform::IddObject m : doomed) {
        info("WARNING: monitor object still alive 5000 ms after Departure + Unassign; deleting it (IddCx does not "
             "delete it itself)");
        iddcx_.object_delete(m);
    }
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        hook = tick_hook_;
    }
    if (hook) hook();
}

DriverBackend::Record DriverBackend::record_of(platform::IddObject monitor) {
    std::lock_guard<std::mutex> g(monitor_mutex_);
    const auto it = by_object_.find(monitor);
    return it == by_object_.end() ? nullptr : it->second;
}

uint32_t DriverBackend::assign_swap_chain(platform::IddObject monitor, platform::IddObject swap_chain,
                                          const platform::AdapterLuid& render_adapter,
                                          std::shared_ptr<platform::Event> new_frame) {
    try {
        return assign_swap_chain_inner(monitor, swap_chain, render_adapter, std::move(new_frame));
    } catch (...) {
        info("AssignSwapChain threw; deleting the swap chain so the OS retries");
        iddcx_.object_delete(swap_chain);
        return 0;
    }
}

uint32_t DriverBackend::assign_swap_chain_inner(platform::IddObject monitor, platform::IddObject swap_chain,
                                                const platform::AdapterLuid& render_adapter,
                                                std::shared_ptr<platform::Event> new_frame) {
    Record record = record_of(monitor);
    if (!record) {
        info("AssignSwapChain: monitor has no context; deleting the swap chain");
        iddcx_.object_delete(swap_chain);
        return 0;
    }
    const uint32_t id = record->params.id;
    info("AssignSwapChain: monitor id " + std::to_string(id) + " render adapter " + hex_plain(render_adapter.high) +
         ":" + hex_plain(render_adapter.low));
    record->unassigned = false;
    record->has_swap_chain = true;
    std::unique_ptr<SwapChainProcessor> old;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        old = std::move(record->processor);
    }
    old.reset();
    std::shared_ptr<RenderDevice> device;
    if (create_render_device(iddcx_, render_adapter, device) != 0) {
        info("D3D initialisation failed; deleting the swap chain so the OS retries");
        iddcx_.object_delete(swap_chain);
        return 0;
    }
    auto processor = std::make_unique<SwapChainProcessor>(iddcx_, clock_, swap_chain, device, std::move(new_frame));
    std::shared_ptr<platform::Event> cursor;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        record->processor = std::move(processor);
        if (!record->cursor_event) record->cursor_event = std::make_shared<platform::Event>(false);
        cursor = record->cursor_event;
    }
    const platform::IddCursorCaps caps{2, true, 128, 128};
    const uint32_t status = iddcx_.monitor_setup_hardware_cursor(monitor, caps, cursor);
    if (status != 0) info("IddCxMonitorSetupHardwareCursor failed: " + hex_short(status));
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        render_actual_ = to_luid(render_adapter);
    }
    {
        std::lock_guard<std::mutex> g(sink_mutex_);
        if (sink_ != nullptr) sink_->on_monitor_active(id);
    }
    return 0;
}

uint32_t DriverBackend::unassign_swap_chain(platform::IddObject monitor) {
    try {
        Record record = record_of(monitor);
        if (!record) return 0;
        info("UnassignSwapChain: monitor id " + std::to_string(record->params.id) +
             (record->departure_ms.load() != 0 ? " (departing)" : ""));
        record->unassigned = true;
        record->has_swap_chain = false;
        std::unique_ptr<SwapChainProcessor> p;
        {
            std::lock_guard<std::mutex> g(monitor_mutex_);
            p = std::move(record->processor);
        }
        p.reset();
    } catch (...) {
        // Unassignment always succeeds.
    }
    return 0;
}

void DriverBackend::fill_modes(const ModeList& list, bool monitor_modes, platform::IddMode* out) {
    for (size_t i = 0; i < list.size(); ++i) {
        const Mode& m = list[i];
        const VideoSignalInfo s = monitor_modes ? monitor_signal_info(m.width, m.height, m.refresh)
                                                : target_signal_info(m.width, m.height, m.refresh);
        platform::IddMode& o = out[i];
        o.width = s.active_width;
        o.height = s.active_height;
        o.pixel_rate = s.pixel_rate;
        o.vsync_numerator = s.v_sync_freq.numerator;
        o.vsync_denominator = s.v_sync_freq.denominator;
        o.total_width = s.total_width;
        o.total_height = s.total_height;
        o.bits_per_component = description2_ ? kRgb8And10 : 0;
    }
}

uint32_t DriverBackend::parse_monitor_description(const std::vector<uint8_t>& description, uint32_t capacity,
                                                  platform::IddMode* modes, uint32_t& count, uint32_t& preferred) {
    try {
        const ModeLookup lookup = [this](uint32_t serial, ModeList& out) {
            std::lock_guard<std::mutex> g(monitor_mutex_);
            const auto it = by_serial_.find(serial);
            if (it == by_serial_.end()) return false;
            out = it->second->params.modes;
            return true;
        };
        const ModeList list = modes_from_description(description.data(), description.size(), lookup,
                                                     make_line_logger(kLogInfo, ""));
        if (list.empty()) return platform::kStatusInvalidParameter;
        count = static_cast<uint32_t>(list.size());
        preferred = 0;
        if (capacity >= count) {
            if (modes == nullptr) return platform::kStatusInvalidParameter;
            fill_modes(list, true, modes);
            return 0;
        }
        return capacity != 0 ? platform::kStatusBufferTooSmall : 0;
    } catch (...) {
        return platform::kStatusInsufficientResources;
    }
}

uint32_t DriverBackend::monitor_get_default_modes(platform::IddObject) { return platform::kStatusNotImplemented; }

uint32_t DriverBackend::monitor_query_target_modes(platform::IddObject monitor, uint32_t capacity,
                                                   platform::IddMode* modes, uint32_t& count) {
    try {
        Record record = record_of(monitor);
        if (!record || record->params.modes.empty()) return platform::kStatusInvalidParameter;
        const ModeList& list = record->params.modes;
        count = static_cast<uint32_t>(list.size());
        if (capacity >= count && modes != nullptr) fill_modes(list, false, modes);
        return 0;
    } catch (...) {
        return platform::kStatusInsufficientResources;
    }
}

bool DriverBackend::is_valid_render_adapter(const Luid& luid) {
    if (iddcx_.create_dxgi_factory() != 0) return false;
    platform::RenderAdapterDesc desc;
    return iddcx_.enum_adapter_by_luid(to_port(luid), desc) == 0 && !desc.software;
}

OpResult DriverBackend::set_render_preference(const Luid& luid) {
    platform::IddObject adapter = 0;
    bool ready = false;
    {
        std::lock_guard<std::mutex> g(monitor_mutex_);
        render_preference_ = luid;
        adapter = adapter_;
        ready = ready_.load();
    }
    info("render adapter preference: " + luid_text(luid) + (ready ? "" : " (stored; applied when the adapter is ready)"));
    if (adapter != 0 && ready) return apply_render_adapter(adapter, luid);
    return OpResult::success();
}

OpResult DriverBackend::apply_render_adapter(platform::IddObject adapter, const Luid& luid) {
    if (framework_.older_than_driver && framework_.function_count <= 23) {
        return OpResult::failure(platform::kStatusNotSupported, "IddCxAdapterSetRenderAdapter unavailable");
    }
    iddcx_.adapter_set_render_adapter(adapter, to_port(luid));
    return OpResult::success();
}

Luid DriverBackend::actual_render_adapter() {
    std::lock_guard<std::mutex> g(monitor_mutex_);
    return render_actual_;
}

uint32_t DriverBackend::iddcx_version() { return framework_.version; }

void DriverBackend::set_log_level(int level) { vdd::set_log_level(level); }

size_t DriverBackend::monitor_records() {
    std::lock_guard<std::mutex> g(monitor_mutex_);
    return by_id_.size();
}

bool DriverBackend::processor_counts(uint32_t id, uint64_t& acquired, uint64_t& finished) {
    std::lock_guard<std::mutex> g(monitor_mutex_);
    const auto it = by_id_.find(id);
    if (it == by_id_.end() || !it->second->processor) return false;
    acquired = it->second->processor->frames_acquired();
    finished = it->second->processor->frames_finished();
    return true;
}

}  // namespace sorvane::vdd
