#include "host/monitors/driver_monitor_provider.h"

#include <algorithm>
#include <cinttypes>
#include <limits>
#include <vector>

#include "host/core/gpu_preference.h"
#include "host/core/log.h"
#include "host/layout/placement.h"
#include "platform/crash.h"

namespace sorvane {

namespace {

constexpr uint32_t kConnectTimeoutMs = 3'000;
constexpr uint32_t kKeepAliveMs = 3'000;
constexpr uint32_t kPollMs = 50;
constexpr uint32_t kRefreshSteps[] = {240, 165, 144, 120, 100, 90, 75, 60, 50, 30, 24};

std::mutex& readiness_mutex() {
    static std::mutex m;
    return m;
}
std::pair<bool, std::string>& readiness() {
    static std::pair<bool, std::string> note;
    return note;
}
void set_readiness(bool set, std::string text) {
    std::lock_guard<std::mutex> g(readiness_mutex());
    readiness() = {set, std::move(text)};
}

std::string short_id(const std::string& client_id) { return client_id.substr(0, 8); }

uint64_t luid64(const DriverLuid& l) { return (static_cast<uint64_t>(l.high) << 32) | l.low; }

layout::DisplayId display_of(const DriverLuid& l, uint32_t target) {
    return layout::DisplayId{l.low, static_cast<int32_t>(l.high), target};
}

MonitorRef ref_of(const DriverLuid& l, uint32_t target) {
    MonitorRef r;
    r.by_target = true;
    r.adapter_luid = luid64(l);
    r.target_id = target;
    return r;
}

const DriverMonitorState* listed(const DriverState& s, uint32_t id) {
    for (const auto& m : s.monitors)
        if (m.id == id) return &m;
    return nullptr;
}

bool refused_pixel_clock(const ControlReply& r) {
    const std::string* msg = r.find("msg");
    return !r.ok && r.error.empty() && r.code == 2 && msg != nullptr && *msg == "pixel_clock";
}

}  // namespace

std::optional<RenderGpu> find_driver_render_gpu(platform::IGpuAdapters& gpus) {
    const std::optional<RenderGpuChoice> gpu = find_render_gpu(gpus);
    if (!gpu) return std::nullopt;
    return RenderGpu{DriverLuid{static_cast<uint32_t>(gpu->luid >> 32), static_cast<uint32_t>(gpu->luid)}, gpu->name};
}

std::pair<bool, std::string> driver_readiness_note() {
    std::lock_guard<std::mutex> g(readiness_mutex());
    return readiness();
}

MonitorRequest normalise_request(const MonitorRequest& in) {
    MonitorRequest r = in;
    if (r.width == 0 || r.height == 0) r.width = 1920, r.height = 1080;
    r.width = std::clamp<uint32_t>(r.width & ~1u, 320, 4094);
    r.height = std::clamp<uint32_t>(r.height & ~1u, 320, 4094);
    while (static_cast<uint64_t>(r.width) * r.height > 8'847'360u) {
        r.width = (r.width * 9 / 20) * 2;
        r.height = (r.height * 9 / 20) * 2;
    }
    r.refresh = std::clamp<uint32_t>(r.refresh, 24, 240);
    if (r.mm_width == 0 || r.mm_height == 0 || r.mm_width > 2550 || r.mm_height > 2550) r.mm_width = r.mm_height = 0;
    return r;
}

DriverMonitorProvider::DriverMonitorProvider(platform::IClock& clock, platform::IDisplayConfigApi& display,
                                             DriverMonitorConfig config)
    : clock_(clock), display_(display), config_(std::move(config)), client_(clock, config_.pipe_name) {
    grace_thread_ = std::thread([this] {
        platform::install_thread_fault_stack();
        grace_loop();
    });
}

DriverMonitorProvider::~DriverMonitorProvider() { shutdown(); }

size_t DriverMonitorProvider::entry_count() {
    std::lock_guard<std::mutex> g(entries_mutex_);
    return entries_.size();
}

bool DriverMonitorProvider::ensure_connected(std::string& error) {
    if (ever_connected_ && connected_ && (lost_->load() || !client_.connected())) {
        log("[monitor] driver control connection lost: the driver has removed the monitors of this host");
        client_.stop_keepalive();
        client_.close();
        connected_ = false;
        std::lock_guard<std::mutex> g(entries_mutex_);
        entries_.clear();
    }
    if (connected_) return true;
    lost_->store(false);
    std::string cerr;
    if (!client_.connect(kConnectTimeoutMs, cerr)) {
        error = "driver control pipe: " + cerr;
        return false;
    }
    ControlReply reply;
    DriverState state;
    if (!client_.get_state(reply, state)) {
        error = "GET_STATE: " + DriverControlClient::describe(reply);
        client_.close();
        return false;
    }
    if (!state.adapter_ready) {
        error = "driver adapter is not ready (adapter=" + state.adapter;
        if (!state.adapter_error.empty()) error += " adapter_error=" + state.adapter_error;
        error += " driver=" + state.driver + " iddcx=" + std::to_string(state.iddcx) + ")";
        set_readiness(true, error);
        client_.close();
        return false;
    }
    set_readiness(false, {});
    log("[monitor] driver connected: %s proto %s, %u/%u monitors, render_pref=%s", state.driver.c_str(),
        state.proto.c_str(), state.count, state.max,
        state.render_pref.zero() ? "none" : driver_luid_text(state.render_pref).c_str());
    choose_render_gpu(state);
    auto lost = lost_;
    client_.start_keepalive(kKeepAliveMs, [lost] { lost->store(true); });
    connected_ = true;
    ever_connected_ = true;
    return true;
}

void DriverMonitorProvider::choose_render_gpu(const DriverState& state) {
    const std::optional<RenderGpu> gpu = config_.find_render_gpu ? config_.find_render_gpu() : std::nullopt;
    if (!gpu) {
        log("[monitor] warning: no hardware adapter with RenderSupported=1 found; the driver keeps its default render GPU");
        return;
    }
    const std::string text = driver_luid_text(gpu->luid);
    if (state.render_pref == gpu->luid) {
        log("[monitor] render GPU already %s (%s)", text.c_str(), gpu->name.c_str());
    } else if (state.count == 0) {
        ControlReply reply;
        if (client_.gpu_luid_retrying(gpu->luid, reply))
            log("[monitor] GPU_LUID %s (%s)", text.c_str(), gpu->name.c_str());
        else
            log("[monitor] warning: GPU_LUID %s rejected: %s", text.c_str(), DriverControlClient::describe(reply).c_str());
    } else {
        log("[monitor] warning: %u monitor(s) already exist and render_pref differs from %s (%s); GPU_LUID needs an "
            "empty adapter",
            state.count, text.c_str(), gpu->name.c_str());
    }
}

bool DriverMonitorProvider::acquire_monitor(const MonitorRequest& request, uint32_t session_id, AcquiredMonitor& monitor,
                                            std::string& error) {
    if (request.client_id.empty()) {
        error = "empty client_id";
        return false;
    }
    const MonitorRequest mode = normalise_request(request);
    const std::string& client_id = request.client_id;
    std::lock_guard<std::mutex> provider(provider_mutex_);
    if (!ensure_connected(error)) return false;

    std::optional<Entry> existing;
    {
        std::lock_guard<std::mutex> g(entries_mutex_);
        const auto it = entries_.find(client_id);
        if (it != entries_.end()) existing = it->second;
    }
    if (existing) {
        ControlReply reply;
        DriverState state;
        const bool asked = client_.get_state(reply, state);
        const DriverMonitorState* still = asked ? listed(state, existing->id) : nullptr;
        if (still != nullptr && mode.width == existing->width && mode.height == existing->height &&
            mode.refresh == existing->refresh && mode.mm_width == existing->mmw && mode.mm_height == existing->mmh) {
            Entry taken;
            {
                std::lock_guard<std::mutex> g(entries_mutex_);
                Entry& e = entries_[client_id];
                log("[monitor] client %s: %s monitor id=%u taken back (%ux%u@%u)", short_id(client_id).c_str(),
                    e.suspended ? "suspended" : "still-open", e.id, e.width, e.height, e.refresh);
                e.session = session_id;
                e.suspended = false;
                e.os_luid = still->os_luid;
                e.os_target = still->os_target;
                taken = e;
            }
            monitor.ref = ref_of(taken.os_luid, taken.os_target);
            monitor.width = taken.width;
            monitor.height = taken.height;
            monitor.refresh = taken.actual_refresh;
            monitor.reused = true;
            return true;
        }
        log("[monitor] client %s: monitor id=%u cannot be reused (%s): replacing it", short_id(client_id).c_str(),
            existing->id, still != nullptr ? "mode changed" : "gone from the driver");
        {
            std::lock_guard<std::mutex> g(entries_mutex_);
            entries_.erase(client_id);
        }
        if (still != nullptr) remove_restore(client_id, *existing, "replaced");
    }

    Entry entry;
    if (!create(client_id, mode, entry, error)) return false;
    const MonitorRef ref = ref_of(entry.os_luid, entry.os_target);
    const uint64_t start = clock_.now_ms();
    for (;;) {
        if (config_.has_output && config_.has_output(ref)) break;
        if (clock_.now_ms() - start >= config_.output_wait_ms) {
            error = "the new monitor has no DXGI output after " + std::to_string(config_.output_wait_ms) + " ms";
            remove_restore(client_id, entry, "no DXGI output");
            return false;
        }
        clock_.sleep_ms(kPollMs);
    }
    log("[monitor] DXGI output of the new monitor after %llu ms", static_cast<unsigned long long>(clock_.now_ms() - start));
    entry.session = session_id;
    {
        std::lock_guard<std::mutex> g(entries_mutex_);
        entries_[client_id] = entry;
    }
    monitor.ref = ref;
    monitor.width = entry.width;
    monitor.height = entry.height;
    monitor.refresh = entry.actual_refresh;
    monitor.reused = false;
    return true;
}

bool DriverMonitorProvider::create(const std::string& client_id, const MonitorRequest& mode, Entry& entry,
                                   std::string& error) {
    std::string reason;
    if (!display_.check_input_desktop(reason)) {
        log("[monitor] masaustu kullanilamiyor, monitor eklenmedi: %s", reason.c_str());
        error = "desktop unavailable: " + reason;
        return false;
    }
    layout::Layout snapshot;
    if (!display_.snapshot(true, snapshot, reason)) {
        error = "display layout snapshot failed: " + reason;
        return false;
    }
    const std::string key = DriverControlClient::monitor_key(client_id);
    const uint64_t start = clock_.now_ms();
    ControlReply reply;
    MonitorAddReply added;
    uint32_t refresh = mode.refresh;
    for (;;) {
        if (client_.monitor_add_retrying(mode.width, mode.height, refresh, key, mode.mm_width, mode.mm_height, reply, added))
            break;
        // A large mode at a high refresh can exceed the pixel clock the
        // driver's timings allow; the next lower refresh still gives a monitor.
        const auto lower = std::find_if(std::begin(kRefreshSteps), std::end(kRefreshSteps),
                                        [&](uint32_t r) { return r < refresh; });
        if (!refused_pixel_clock(reply) || lower == std::end(kRefreshSteps)) {
            error = "MONITOR_ADD: " + DriverControlClient::describe(reply);
            return false;
        }
        log("[monitor] MONITOR_ADD %ux%u@%u refused (pixel clock too high): trying %u Hz", mode.width, mode.height, refresh,
            *lower);
        refresh = *lower;
    }
    const std::string edid = mode.mm_width != 0 ? " edid=" + std::to_string(mode.mm_width) + "x" +
                                                      std::to_string(mode.mm_height) + "mm"
                                                : std::string();
    log("[monitor] MONITOR_ADD %ux%u@%u%s key=%s -> id=%u serial=0x%08x os=%s/%u (%llu ms)", mode.width, mode.height,
        refresh, edid.c_str(), key.substr(0, 8).c_str(), added.id, added.serial, driver_luid_text(added.os_luid).c_str(),
        added.os_target, static_cast<unsigned long long>(clock_.now_ms() - start));
    entry = Entry{};
    entry.id = added.id;
    entry.serial = added.serial;
    entry.os_luid = added.os_luid;
    entry.os_target = added.os_target;
    entry.width = mode.width;
    entry.height = mode.height;
    entry.refresh = mode.refresh;
    entry.actual_refresh = refresh;
    entry.mmw = mode.mm_width;
    entry.mmh = mode.mm_height;

    std::optional<std::pair<int32_t, int32_t>> position;
    if (config_.positions != nullptr) {
        if (const auto saved = config_.positions->position_of(client_id)) {
            std::pair<int32_t, int32_t> at;
            const std::string text = layout::saved_position_text(*saved);
            if (layout::resolve_position(snapshot, *saved, mode.width, mode.height, at, reason)) {
                log("[monitor] kayitli konum (K86): %s -> (%ld,%ld)", text.c_str(), static_cast<long>(at.first),
                    static_cast<long>(at.second));
                position = at;
            } else {
                log("[monitor] kayitli konum kullanilamiyor (K86): %s: %s; sag kenar kullanilacak", text.c_str(),
                    reason.c_str());
            }
        }
    }
    layout::Placement placement(display_, clock_);
    const layout::DisplayId target = display_of(added.os_luid, added.os_target);
    const layout::AddResult r =
        placement.add_extended(target, {mode.width, mode.height, refresh}, config_.output_wait_ms, snapshot, position);
    if (position && !r.placed_at_saved) log("[monitor] kayitli konum uygulanamadi (K86): %s; sag kenar", r.saved_note.c_str());
    if (!r.ok) {
        ControlReply removed;
        client_.monitor_remove_retrying(added.id, removed);
        error = "K10 layout: " + r.error;
        for (const auto& issue : r.issues) error += "; " + issue;
        return false;
    }
    log("[monitor] K10 add_extended OK (waited %u ms for the target, %d repair attempt(s))", r.waited_ms,
        static_cast<int>(r.repairs));
    for (const auto& d : r.final.displays)
        if (d.id == target) {
            const double hz = d.refresh.denominator != 0 ? static_cast<double>(d.refresh.numerator) / d.refresh.denominator : 0.0;
            log("[monitor] our display: %ux%u @%.2f at (%d,%d)", d.width, d.height, hz, d.x, d.y);
        }
    entry.base = r.base;
    return true;
}

void DriverMonitorProvider::remove_restore(const std::string& client_id, const Entry& entry, const std::string& reason) {
    const uint64_t start = clock_.now_ms();
    const layout::DisplayId ours = display_of(entry.os_luid, entry.os_target);
    layout::Layout before;
    std::string error;
    const bool snapped = display_.snapshot(true, before, error);
    if (snapped && reason != "no DXGI output") {
        SavedPosition record;
        if (!layout::record_position(before, ours, record)) {
            log("[monitor] konum kaydedilmedi (K86): ekranimiz baska bir ekrana dokunmuyor");
        } else if (config_.positions != nullptr && config_.positions->set(client_id, record)) {
            log("[monitor] konum kaydedildi (K86, client %s): %s", short_id(client_id).c_str(),
                layout::saved_position_text(record).c_str());
        }
    }
    if (!connected_ || !client_.connected()) {
        log("[monitor] driver connection is gone: the driver has already removed monitor id=%u (%s)", entry.id,
            reason.c_str());
    } else {
        ControlReply reply;
        const bool removed = client_.monitor_remove_retrying(entry.id, reply);
        if (removed || (reply.error.empty() && reply.name == "NOT_FOUND")) {
            log("[monitor] MONITOR_REMOVE id=%u (client %s, %s)", entry.id, short_id(client_id).c_str(), reason.c_str());
        } else {
            log("[monitor] MONITOR_REMOVE id=%u: %s", entry.id, DriverControlClient::describe(reply).c_str());
            return;
        }
    }
    bool gone = false;
    layout::Layout now;
    for (int i = 0; i < 100; ++i) {
        if (display_.snapshot(true, now, error) &&
            std::none_of(now.displays.begin(), now.displays.end(), [&](const layout::DisplayInfo& d) { return d.id == ours; })) {
            gone = true;
            break;
        }
        clock_.sleep_ms(kPollMs);
    }
    if (!gone) log("[monitor] warning: display id=%u still active 5 s after MONITOR_REMOVE", entry.os_target);
    layout::DiffOptions options;
    options.ignore_ids = {ours};
    std::vector<std::string> changes = layout::describe_changes(entry.base, now, options);
    auto elapsed = [&] { return static_cast<unsigned long long>(clock_.now_ms() - start); };
    if (changes.empty()) {
        log("[monitor] K10 remove OK: other displays unchanged (%llu ms)", elapsed());
        return;
    }
    for (const auto& c : changes) log("[monitor] K10: after removal %s", c.c_str());
    std::vector<layout::DisplayId> ids;
    for (const auto& d : now.displays) ids.push_back(d.id);
    std::vector<std::string> notes;
    const layout::Layout restored = layout::restore_layout(
        entry.base, ids, [&](const layout::DisplayId& id) { return display_.target_device_path(id); }, notes);
    if (restored.paths.empty()) {
        log("[monitor] K10 restore impossible: %s", notes.empty() ? "no display of the saved layout exists" : notes.back().c_str());
        return;
    }
    if (display_.apply_layout(restored, layout::ApplyMode::apply_and_save, error) != 0) {
        log("[monitor] K10 restore impossible: %s", error.c_str());
        return;
    }
    layout::Layout after;
    display_.snapshot(true, after, error);
    changes = layout::describe_changes(entry.base, after, options);
    std::string outcome = "other displays are as before";
    if (!changes.empty()) {
        outcome = "FAILED";
        for (const auto& c : changes) outcome += " " + c + ";";
    }
    log("[monitor] K10 restore after removal: %s (%llu ms)", outcome.c_str(), elapsed());
}

void DriverMonitorProvider::release_after_grace(const std::string& client_id, uint32_t session_id, uint32_t grace_ms) {
    std::lock_guard<std::mutex> g(entries_mutex_);
    const auto it = entries_.find(client_id);
    if (it == entries_.end() || it->second.session != session_id || it->second.suspended) return;
    const uint32_t grace = grace_ms != 0 ? grace_ms : config_.grace_ms;
    it->second.session = 0;
    it->second.suspended = true;
    it->second.deadline = clock_.now_ms() + grace;
    log("[monitor] client %s: session %u lost: monitor id=%u stays for %u s", short_id(client_id).c_str(), session_id,
        it->second.id, grace / 1000);
    ++wake_;
    grace_cv_.notify_all();
}

void DriverMonitorProvider::release_monitor(const std::string& client_id, uint32_t session_id) {
    std::lock_guard<std::mutex> provider(provider_mutex_);
    std::optional<Entry> entry;
    {
        std::lock_guard<std::mutex> g(entries_mutex_);
        const auto it = entries_.find(client_id);
        if (it == entries_.end() || it->second.session != session_id) return;
        entry = it->second;
        entries_.erase(it);
    }
    remove_restore(client_id, *entry, "session ended");
}

void DriverMonitorProvider::grace_loop() {
    std::unique_lock<std::mutex> lock(entries_mutex_);
    while (!stop_) {
        uint64_t earliest = std::numeric_limits<uint64_t>::max();
        for (const auto& [id, e] : entries_)
            if (e.suspended) earliest = std::min(earliest, e.deadline);
        if (earliest != std::numeric_limits<uint64_t>::max() && clock_.now_ms() >= earliest) {
            lock.unlock();
            {
                std::lock_guard<std::mutex> provider(provider_mutex_);
                std::vector<std::pair<std::string, Entry>> expired;
                {
                    std::lock_guard<std::mutex> g(entries_mutex_);
                    const uint64_t now = clock_.now_ms();
                    for (auto it = entries_.begin(); it != entries_.end();) {
                        if (it->second.suspended && it->second.deadline <= now) {
                            expired.emplace_back(it->first, it->second);
                            it = entries_.erase(it);
                        } else {
                            ++it;
                        }
                    }
                }
                for (const auto& [client, e] : expired) remove_restore(client, e, "grace period expired");
            }
            lock.lock();
            continue;
        }
        const uint64_t seen = wake_;
        clock_.wait_until(lock, grace_cv_, earliest, [&] { return stop_ || wake_ != seen; });
    }
}

void DriverMonitorProvider::shutdown() {
    std::call_once(shutdown_once_, [this] {
        {
            std::lock_guard<std::mutex> g(entries_mutex_);
            stop_ = true;
            grace_cv_.notify_all();
        }
        if (grace_thread_.joinable()) grace_thread_.join();
        std::lock_guard<std::mutex> provider(provider_mutex_);
        std::map<std::string, Entry> all;
        {
            std::lock_guard<std::mutex> g(entries_mutex_);
            all.swap(entries_);
        }
        for (const auto& [client, e] : all) remove_restore(client, e, "host shutdown");
        if (connected_) {
            client_.stop_keepalive();
            client_.close();
            connected_ = false;
        }
    });
}

bool DriverMonitorProvider::monitor_alive(const std::string& client_id, uint32_t session_id) {
    uint32_t id = 0;
    {
        std::lock_guard<std::mutex> g(entries_mutex_);
        const auto it = entries_.find(client_id);
        if (it == entries_.end() || it->second.session != session_id || !connected_) return true;
        id = it->second.id;
    }
    ControlReply reply;
    DriverState state;
    if (!client_.get_state(reply, state) || !state.adapter_ready) return true;
    if (const DriverMonitorState* m = listed(state, id)) return m->state != "departing" && m->state != "stuck";
    {
        std::lock_guard<std::mutex> g(entries_mutex_);
        const auto it = entries_.find(client_id);
        if (it != entries_.end() && it->second.id == id) entries_.erase(it);
    }
    log("[monitor] client %s: monitor id=%u is gone from the driver (lease expired / removed while the PC slept?)",
        short_id(client_id).c_str(), id);
    return false;
}

}  // namespace sorvane
