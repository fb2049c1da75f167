#include "platform/sim/iddcx_sim.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "platform/power.h"
#include "platform/sim/power_sim.h"

namespace sorvane::sim {

namespace {

using platform::IddObject;

// Target ids the framework gives the monitors of an indirect adapter.
constexpr uint32_t kIndirectTargetBase = 256;

platform::AdapterLuid to_port(const SimLuid& l) { return {l.high, l.low}; }
SimLuid to_sim(const platform::AdapterLuid& l) { return {l.high, l.low}; }

}  // namespace

SimIddCx::SimIddCx(std::shared_ptr<Machine> machine, platform::IClock& clock, Mode mode)
    : machine_(std::move(machine)), clock_(clock), mode_(mode) {
    if (mode_ == Mode::automatic) thread_ = std::thread([this] { worker(); });
}

SimIddCx::SimIddCx(std::shared_ptr<Machine> machine)
    : machine_(std::move(machine)), owned_clock_(platform::make_system_clock()), clock_(*owned_clock_),
      mode_(Mode::automatic) {
    thread_ = std::thread([this] { worker(); });
}

// The power listener's way to the framework, cut when the framework goes.
struct SimIddCx::PowerLink {
    std::mutex mutex;
    SimIddCx* framework = nullptr;
};

SimIddCx::SimIddCx(std::shared_ptr<Machine> machine, const std::string& device_instance_id)
    : SimIddCx(std::move(machine)) {
    for_node_ = true;
    become_driver_host_process();
    auto host = std::make_unique<DriverHostLock>();
    std::string error;
    bool acquired = false;
    if (!machine_->update("driver host for " + device_instance_id, [&](MachineState& s) {
            acquired = host->acquire(machine_->folder(), s, device_instance_id, error);
        })) {
        error = machine_->last_error();
        host->release();
        acquired = false;
    }
    if (acquired) {
        host_ = std::move(host);
    } else {
        host_error_ = error;
    }
    power_link_ = std::make_shared<PowerLink>();
    power_link_->framework = this;
    std::weak_ptr<PowerLink> weak = power_link_;
    uint32_t code = 0;
    process_power_events().register_callback(
        [weak](uint32_t type) {
            const auto link = weak.lock();
            if (!link) return;
            std::lock_guard<std::mutex> g(link->mutex);
            if (link->framework != nullptr) link->framework->on_machine_power(type);
        },
        code);
    std::string ignored;
    listen_for_machine_power_events(machine_->folder(), ignored);
}

SimIddCx::~SimIddCx() {
    if (power_link_) {
        std::lock_guard<std::mutex> g(power_link_->mutex);
        power_link_->framework = nullptr;
    }
    {
        std::lock_guard<std::mutex> g(task_mutex_);
        stop_ = true;
    }
    task_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (host_ && host_->held()) {
        // The device was never removed: the record goes with the framework.
        machine_->update("driver host ended", [&](MachineState& s) {
            take_adapter_away(s, adapter_luid());
            host_->clear_record(s);
        });
        host_->release();
    }
}

void SimIddCx::on_machine_power(uint32_t type) {
    // The power manager takes the device out of D0 on suspend and back on
    // resume (either notification of it), on the framework's thread.
    post([this, type] {
        if (type == platform::kPowerSuspend && powered_) {
            powered_ = false;
            power_down();
        } else if (type != platform::kPowerSuspend && !powered_) {
            powered_ = true;
            power_up();
        }
    });
}

void SimIddCx::take_adapter_away(MachineState& s, const platform::AdapterLuid& luid) {
    if (!(luid == platform::AdapterLuid{})) remove_driver_adapter(s.display, to_sim(luid));
    if (!host_) return;
    DeviceNode* node = s.devices.find(host_->instance_id());
    if (node != nullptr && node->driver_adapter == luid_string(to_sim(luid))) node->driver_adapter.clear();
}

void SimIddCx::set_completes_init_inline(bool inline_completion) {
    std::lock_guard<std::mutex> g(mutex_);
    init_inline_ = inline_completion;
}

void SimIddCx::set_framework(const platform::IddFrameworkInfo& info) {
    std::lock_guard<std::mutex> g(mutex_);
    framework_ = info;
}

void SimIddCx::fail(const std::string& point, uint32_t status, uint64_t nth, uint64_t times) {
    std::lock_guard<std::mutex> g(mutex_);
    faults_.arm(point, nth, status, times);
}

void SimIddCx::set_keeps_departed_monitors(bool keep) {
    std::lock_guard<std::mutex> g(mutex_);
    keep_departed_ = keep;
}

uint32_t SimIddCx::check(const std::string& point, bool coarse) {
    uint32_t code = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++calls_[point];
        code = faults_.hit(point);
    }
    if (code == 0 && coarse && machine_ && !machine_->in_memory()) {
        // The machine's own fault points, armed with sorvane-sim fault.
        bool armed = false;
        machine_->read([&](const MachineState& s) {
            for (const auto& f : s.faults.faults())
                if (f.point == "iddcx." + point) armed = true;
        });
        if (armed) code = machine_->fault("iddcx." + point);
    }
    return code;
}

uint64_t SimIddCx::calls(const std::string& point) const {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = calls_.find(point);
    return it == calls_.end() ? 0 : it->second;
}

void SimIddCx::post(std::function<void()> task) {
    if (mode_ != Mode::automatic) return;
    {
        std::lock_guard<std::mutex> g(task_mutex_);
        tasks_.push_back(std::move(task));
    }
    task_cv_.notify_all();
}

void SimIddCx::worker() {
    std::unique_lock<std::mutex> lock(task_mutex_);
    while (!stop_) {
        if (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        // Offer the frames that are due, then sleep until the next one.
        const uint64_t now = clock_.now_us();
        uint64_t next = now + 100'000;
        std::vector<std::shared_ptr<platform::Event>> signal;
        {
            std::lock_guard<std::mutex> g(mutex_);
            for (auto& [handle, sc] : swap_chains_) {
                if (sc.info.deleted || !sc.info.device_set || sc.info.device_removed) continue;
                if (sc.next_frame_us == 0) sc.next_frame_us = now;
                if (now >= sc.next_frame_us) {
                    ++sc.info.offered;
                    if (sc.info.offered - sc.info.acquired > 2) sc.info.acquired = sc.info.offered - 2;  // dropped
                    sc.next_frame_us += 1'000'000 / std::max<uint32_t>(sc.info.refresh, 1);
                    if (sc.next_frame_us < now) sc.next_frame_us = now + 1'000'000 / std::max<uint32_t>(sc.info.refresh, 1);
                    signal.push_back(sc.new_frame);
                }
                next = std::min(next, sc.next_frame_us);
            }
        }
        for (auto& e : signal) e->set();
        const uint64_t deadline_ms = (next + 999) / 1000;
        clock_.wait_until(lock, task_cv_, deadline_ms, [this] { return stop_ || !tasks_.empty(); });
    }
}

// ---- steering ----

bool SimIddCx::complete_adapter_init(uint32_t status) {
    platform::IIddCxDriver* driver = nullptr;
    IddObject adapter = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!init_pending_ || driver_ == nullptr) return false;
        init_pending_ = false;
        driver = driver_;
        adapter = adapter_;
    }
    const uint32_t fault = check("adapter_init_finished");
    if (fault != 0) status = fault;
    if (!platform::nt_success(status)) {
        // A failed adapter is gone from the topology again.
        const platform::AdapterLuid luid = adapter_luid();
        machine_->update("iddcx adapter init failed", [&](MachineState& s) { take_adapter_away(s, luid); });
        std::lock_guard<std::mutex> g(mutex_);
        adapter_ = 0;
    }
    driver->adapter_init_finished(adapter, status);
    return true;
}

uint32_t SimIddCx::power_down() {
    platform::IIddCxDriver* driver = nullptr;
    {
        std::lock_guard<std::mutex> g(mutex_);
        driver = driver_;
    }
    return driver == nullptr ? platform::kStatusInvalidDeviceState : driver->d0_exit();
}

uint32_t SimIddCx::power_up() {
    platform::IIddCxDriver* driver = nullptr;
    {
        std::lock_guard<std::mutex> g(mutex_);
        driver = driver_;
    }
    return driver == nullptr ? platform::kStatusInvalidDeviceState : driver->d0_entry();
}

platform::AdapterLuid SimIddCx::render_luid_locked() const { return render_set_; }

IddObject SimIddCx::assign_swap_chain(IddObject monitor) {
    platform::AdapterLuid render;
    bool preferred = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        preferred = render_set_valid_;
        render = render_luid_locked();
    }
    SimLuid chosen;
    bool found = false;
    machine_->read([&](const MachineState& s) {
        const SimGpu* gpu = preferred ? s.display.find_gpu(to_sim(render)) : nullptr;
        if (gpu == nullptr || !gpu->renders || gpu->indirect) gpu = s.display.default_render_gpu();
        if (gpu != nullptr) {
            chosen = gpu->luid;
            found = true;
        }
    });
    if (!found) chosen = {0, 0};
    platform::IIddCxDriver* driver = nullptr;
    IddObject sc = 0;
    std::shared_ptr<platform::Event> event;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = monitors_.find(monitor);
        if (driver_ == nullptr || it == monitors_.end() || !it->second.arrived || it->second.departed) return 0;
        if (it->second.swap_chain != 0) swap_chains_[it->second.swap_chain].info.deleted = true;
        sc = next_handle_++;
        SwapChainObj obj;
        obj.info.monitor = monitor;
        obj.info.refresh = it->second.refresh;
        obj.new_frame = std::make_shared<platform::Event>(false);
        event = obj.new_frame;
        swap_chains_[sc] = obj;
        it->second.swap_chain = sc;
        driver = driver_;
    }
    driver->assign_swap_chain(monitor, sc, to_port(chosen), event);
    return sc;
}

void SimIddCx::unassign_swap_chain(IddObject monitor) {
    platform::IIddCxDriver* driver = nullptr;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = monitors_.find(monitor);
        if (driver_ == nullptr || it == monitors_.end() || it->second.swap_chain == 0) return;
        swap_chains_[it->second.swap_chain].info.deleted = true;
        it->second.swap_chain = 0;
        driver = driver_;
    }
    driver->unassign_swap_chain(monitor);
}

void SimIddCx::present(IddObject swap_chain, uint32_t frames) {
    std::shared_ptr<platform::Event> e;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = swap_chains_.find(swap_chain);
        if (it == swap_chains_.end() || it->second.info.deleted) return;
        it->second.info.offered += frames;
        e = it->second.new_frame;
    }
    e->set();
}

void SimIddCx::remove_device(IddObject swap_chain) {
    std::shared_ptr<platform::Event> e;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = swap_chains_.find(swap_chain);
        if (it == swap_chains_.end()) return;
        it->second.info.device_removed = true;
        e = it->second.new_frame;
    }
    e->set();
}

void SimIddCx::destroy_monitor(IddObject monitor) { object_delete(monitor); }

bool SimIddCx::swap_chain_info(IddObject swap_chain, SwapChainInfo& out) const {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = swap_chains_.find(swap_chain);
    if (it == swap_chains_.end()) return false;
    out = it->second.info;
    return true;
}

IddObject SimIddCx::swap_chain_of(IddObject monitor) const {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = monitors_.find(monitor);
    return it == monitors_.end() ? 0 : it->second.swap_chain;
}

std::vector<IddObject> SimIddCx::monitors() const {
    std::lock_guard<std::mutex> g(mutex_);
    std::vector<IddObject> out;
    for (const auto& [h, m] : monitors_) out.push_back(h);
    return out;
}

bool SimIddCx::monitor_departed(IddObject monitor) const {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = monitors_.find(monitor);
    return it != monitors_.end() && it->second.departed;
}

IddObject SimIddCx::adapter() const {
    std::lock_guard<std::mutex> g(mutex_);
    return adapter_;
}

platform::AdapterLuid SimIddCx::adapter_luid() const {
    std::lock_guard<std::mutex> g(mutex_);
    return adapter_luid_;
}

platform::IddClientConfig SimIddCx::client_config() const {
    std::lock_guard<std::mutex> g(mutex_);
    return client_config_;
}

platform::IddAdapterCaps SimIddCx::adapter_caps() const {
    std::lock_guard<std::mutex> g(mutex_);
    return caps_;
}

platform::AdapterLuid SimIddCx::render_adapter_set() const {
    std::lock_guard<std::mutex> g(mutex_);
    return render_set_;
}

// ---- the framework ----

platform::IddFrameworkInfo SimIddCx::framework() {
    std::lock_guard<std::mutex> g(mutex_);
    return framework_;
}

uint32_t SimIddCx::device_init_config(const platform::IddClientConfig& config) {
    if (const uint32_t f = check("device_init_config")) return f;
    std::lock_guard<std::mutex> g(mutex_);
    client_config_ = config;
    return 0;
}

uint32_t SimIddCx::device_create(platform::IIddCxDriver* driver) {
    if (const uint32_t f = check("device_create")) return f;
    // One driver instance per device node.
    if (for_node_ && !host_) return platform::kStatusInvalidDeviceState;
    std::lock_guard<std::mutex> g(mutex_);
    driver_ = driver;
    return 0;
}

uint32_t SimIddCx::device_initialize() { return check("device_initialize"); }

void SimIddCx::device_remove() {
    {
        std::lock_guard<std::mutex> g(task_mutex_);
        stop_ = true;
        tasks_.clear();
    }
    task_cv_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    platform::AdapterLuid luid;
    bool had_adapter = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        driver_ = nullptr;
        had_adapter = adapter_ != 0 || !(adapter_luid_ == platform::AdapterLuid{});
        luid = adapter_luid_;
        adapter_ = 0;
        monitors_.clear();
        for (auto& [h, sc] : swap_chains_) sc.info.deleted = true;
    }
    if (had_adapter || (host_ && host_->held())) {
        machine_->update("iddcx device removed", [&](MachineState& s) {
            if (had_adapter) take_adapter_away(s, luid);
            if (host_) host_->clear_record(s);
        });
    }
    if (host_) host_->release();
}

uint32_t SimIddCx::adapter_init_async(const platform::IddAdapterCaps& caps, IddObject& adapter) {
    if (const uint32_t f = check("adapter_init_async")) return f;
    SimLuid luid;
    if (!machine_->update("iddcx adapter " + caps.friendly_name, [&](MachineState& s) {
            luid = s.display.add_indirect_adapter(caps.friendly_name, s.meta.adapter_count++);
            DeviceNode* node = host_ ? s.devices.find(host_->instance_id()) : nullptr;
            if (node != nullptr) node->driver_adapter = luid_string(luid);
        })) {
        return platform::kStatusUnsuccessful;
    }
    bool inline_completion = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        caps_ = caps;
        adapter_ = next_handle_++;
        adapter_luid_ = to_port(luid);
        adapter = adapter_;
        init_pending_ = true;
        inline_completion = init_inline_;
    }
    if (inline_completion) {
        complete_adapter_init(0);
    } else {
        post([this] { complete_adapter_init(0); });
    }
    return 0;
}

uint32_t SimIddCx::adapter_set_render_adapter(IddObject adapter, const platform::AdapterLuid& luid) {
    if (const uint32_t f = check("set_render_adapter")) return f;
    std::lock_guard<std::mutex> g(mutex_);
    if (adapter == 0 || adapter != adapter_) return platform::kStatusInvalidHandle;
    render_set_ = luid;
    render_set_valid_ = !(luid == platform::AdapterLuid{});
    return 0;
}

uint32_t SimIddCx::monitor_create(IddObject adapter, const platform::IddMonitorInfo& info, IddObject& monitor) {
    if (const uint32_t f = check("monitor_create")) return f;
    std::lock_guard<std::mutex> g(mutex_);
    if (adapter == 0 || adapter != adapter_) return platform::kStatusInvalidHandle;
    if (info.edid.size() < 128) return platform::kStatusInvalidParameter;
    monitor = next_handle_++;
    MonitorObj m;
    m.info = info;
    monitors_[monitor] = m;
    return 0;
}

void SimIddCx::publish_arrival(IddObject monitor, const platform::IddMonitorInfo& info, uint32_t target) {
    platform::IIddCxDriver* driver = nullptr;
    {
        std::lock_guard<std::mutex> g(mutex_);
        driver = driver_;
    }
    std::vector<DisplayMode> modes;
    if (driver != nullptr) {
        uint32_t count = 0;
        uint32_t preferred = 0;
        if (driver->parse_monitor_description(info.edid, 0, nullptr, count, preferred) == 0 && count > 0) {
            std::vector<platform::IddMode> list(count);
            if (driver->parse_monitor_description(info.edid, count, list.data(), count, preferred) == 0) {
                for (uint32_t i = 0; i < count && i < list.size(); ++i) {
                    const auto& m = list[i];
                    const uint32_t den = std::max<uint32_t>(m.vsync_denominator, 1);
                    const DisplayMode d{m.width, m.height, (m.vsync_numerator + den / 2) / den};
                    if (std::find(modes.begin(), modes.end(), d) == modes.end()) modes.push_back(d);
                }
                if (preferred < modes.size()) std::rotate(modes.begin(), modes.begin() + preferred, modes.begin() + preferred + 1);
            }
        }
        uint32_t targets = 0;
        driver->monitor_query_target_modes(monitor, 0, nullptr, targets);
    }
    const std::string key = edid_monitor_key(info.edid);
    SimTarget t;
    t.adapter = to_sim(adapter_luid());
    t.id = target;
    t.indirect = true;
    t.device = "DISPLAY\\" + key.substr(0, key.find('/')) + "\\5&2f1d8a7&0&UID" + std::to_string(target);
    t.monitor_name = edid_monitor_name(info.edid);
    t.monitor_key = key;
    t.modes = modes;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = monitors_.find(monitor);
        if (it != monitors_.end() && !modes.empty()) it->second.refresh = modes.front().refresh;
    }
    machine_->update("monitor arrival " + key, [&](MachineState& s) {
        platform::RegistryValue v{platform::kRegBinary, info.edid};
        s.registry.set_value(platform::RegistryHive::local_machine, monitor_parameters_key(t.device), "EDID", v);
        s.display.arrive(t);
    });
}

uint32_t SimIddCx::monitor_arrival(IddObject monitor, platform::AdapterLuid& os_adapter, uint32_t& os_target) {
    if (const uint32_t f = check("monitor_arrival")) return f;
    platform::IddMonitorInfo info;
    uint32_t target = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = monitors_.find(monitor);
        if (it == monitors_.end()) return platform::kStatusInvalidHandle;
        if (it->second.arrived) return platform::kStatusInvalidDeviceState;
        it->second.arrived = true;
        target = kIndirectTargetBase + it->second.info.connector_index;
        it->second.target = target;
        info = it->second.info;
        os_adapter = adapter_luid_;
        os_target = target;
    }
    publish_arrival(monitor, info, target);
    post([this, monitor] { assign_swap_chain(monitor); });
    return 0;
}

uint32_t SimIddCx::monitor_departure(IddObject monitor) {
    if (const uint32_t f = check("monitor_departure")) return f;
    uint32_t target = 0;
    bool keep = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto it = monitors_.find(monitor);
        if (it == monitors_.end()) return platform::kStatusInvalidHandle;
        if (it->second.departed || !it->second.arrived) return platform::kStatusInvalidDeviceState;
        it->second.departed = true;
        target = it->second.target;
        keep = keep_departed_;
    }
    const SimLuid luid = to_sim(adapter_luid());
    machine_->update("monitor departure " + std::to_string(target),
                     [&](MachineState& s) { s.display.depart(luid, target); });
    post([this, monitor, keep] {
        unassign_swap_chain(monitor);
        if (!keep) destroy_monitor(monitor);
    });
    return 0;
}

uint32_t SimIddCx::monitor_setup_hardware_cursor(IddObject monitor, const platform::IddCursorCaps&,
                                                 std::shared_ptr<platform::Event>) {
    if (const uint32_t f = check("setup_hardware_cursor")) return f;
    std::lock_guard<std::mutex> g(mutex_);
    return monitors_.count(monitor) != 0 ? 0 : platform::kStatusInvalidHandle;
}

void SimIddCx::object_delete(IddObject object) {
    platform::IIddCxDriver* driver = nullptr;
    bool was_monitor = false;
    bool reassign = false;
    IddObject monitor = 0;
    uint32_t target = 0;
    bool arrived_not_departed = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        const auto m = monitors_.find(object);
        if (m != monitors_.end()) {
            was_monitor = true;
            target = m->second.target;
            arrived_not_departed = m->second.arrived && !m->second.departed;
            if (m->second.swap_chain != 0) swap_chains_[m->second.swap_chain].info.deleted = true;
            monitors_.erase(m);
            driver = driver_;
        } else {
            const auto s = swap_chains_.find(object);
            if (s == swap_chains_.end()) return;
            s->second.info.deleted = true;
            monitor = s->second.info.monitor;
            const auto owner = monitors_.find(monitor);
            // The framework gives a monitor that still needs one a new swap chain.
            reassign = owner != monitors_.end() && owner->second.swap_chain == object && owner->second.arrived &&
                       !owner->second.departed;
            if (owner != monitors_.end() && owner->second.swap_chain == object) owner->second.swap_chain = 0;
        }
    }
    if (was_monitor) {
        if (arrived_not_departed) {
            const SimLuid luid = to_sim(adapter_luid());
            machine_->update("monitor removed " + std::to_string(target),
                             [&](MachineState& s) { s.display.depart(luid, target); });
        }
        if (driver != nullptr) driver->monitor_cleanup(object);
        return;
    }
    if (reassign) post([this, monitor] { assign_swap_chain(monitor); });
}

uint32_t SimIddCx::create_dxgi_factory() { return check("dxgi.create_factory"); }

uint32_t SimIddCx::enum_adapter_by_luid(const platform::AdapterLuid& luid, platform::RenderAdapterDesc& desc) {
    if (const uint32_t f = check("dxgi.enum_adapter")) return f;
    bool found = false;
    machine_->read([&](const MachineState& s) {
        const SimGpu* gpu = s.display.find_gpu(to_sim(luid));
        if (gpu == nullptr || gpu->indirect) return;
        found = true;
        desc.description = gpu->name;
        desc.vendor_id = gpu->vendor_id;
        desc.device_id = gpu->device_id;
        desc.software = gpu->software;
    });
    return found ? 0 : platform::kDxgiErrorNotFound;
}

uint32_t SimIddCx::create_d3d_device(const platform::AdapterLuid& luid, IddObject& device) {
    if (const uint32_t f = check("d3d11.create_device")) return f;
    std::lock_guard<std::mutex> g(mutex_);
    device = next_handle_++;
    devices_[device] = luid;
    return 0;
}

uint32_t SimIddCx::query_dxgi_device(IddObject device) {
    if (const uint32_t f = check("dxgi.query_device", false)) return f;
    std::lock_guard<std::mutex> g(mutex_);
    return devices_.count(device) != 0 ? 0 : platform::kDxgiErrorNotFound;
}

void SimIddCx::release_device(IddObject device) {
    std::lock_guard<std::mutex> g(mutex_);
    devices_.erase(device);
}

uint32_t SimIddCx::swap_chain_set_device(IddObject swap_chain, IddObject device) {
    if (const uint32_t f = check("swap_chain.set_device", false)) return f;
    std::lock_guard<std::mutex> g(mutex_);
    auto it = swap_chains_.find(swap_chain);
    if (it == swap_chains_.end() || it->second.info.deleted) return platform::kDxgiErrorAccessLost;
    if (devices_.count(device) == 0) return platform::kDxgiErrorNotFound;
    it->second.info.device_set = true;
    return 0;
}

uint32_t SimIddCx::swap_chain_release_and_acquire(IddObject swap_chain, bool) {
    if (const uint32_t f = check("swap_chain.acquire", false)) return f;
    std::lock_guard<std::mutex> g(mutex_);
    auto it = swap_chains_.find(swap_chain);
    if (it == swap_chains_.end() || it->second.info.deleted) return platform::kDxgiErrorAccessLost;
    SwapChainInfo& i = it->second.info;
    if (i.device_removed) return platform::kDxgiErrorDeviceRemoved;
    if (i.acquired >= i.offered) return platform::kEPending;
    ++i.acquired;
    return 0;
}

uint32_t SimIddCx::swap_chain_finished_processing_frame(IddObject swap_chain) {
    if (const uint32_t f = check("swap_chain.finished", false)) return f;
    std::lock_guard<std::mutex> g(mutex_);
    auto it = swap_chains_.find(swap_chain);
    if (it == swap_chains_.end()) return platform::kDxgiErrorAccessLost;
    ++it->second.info.finished;
    return 0;
}

}  // namespace sorvane::sim
