#include "driver/core/control_plane.h"

#include <algorithm>
#include <new>
#include <optional>

#include "driver/core/edid.h"

namespace sorvane::vdd {

namespace {

// Time since then; 0 when the clock reads earlier than then.
uint64_t elapsed(uint64_t now, uint64_t then) { return now > then ? now - then : 0; }

bool valid_key(std::string_view key) {
    return !key.empty() && key.size() <= 64 && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

uint64_t pixel_rate(uint32_t width, uint32_t height, uint32_t refresh) {
    return static_cast<uint64_t>(width) * height * refresh;
}

// 2 s after the first failure, doubling up to 32 s.
uint64_t retry_delay_ms(uint32_t failures) { return 1000ull << std::min<uint32_t>(failures, 5); }

std::string monitor_summary(const MonitorEntry& e, uint64_t lease_ms) {
    std::string s;
    s.reserve(128);
    s.append("id:").append(std::to_string(e.id));
    s.append(",slot:").append(std::to_string(e.slot));
    s.append(",serial:").append(hex32(e.serial));
    s.append(",mode:").append(mode_text({e.width, e.height, e.refresh}));
    s.append(",os:").append(luid_text(e.os_luid)).append("/").append(std::to_string(e.os_target));
    s.append(",state:").append(state_name(e.state));
    s.append(",owner:").append(std::to_string(e.owner));
    s.append(",lease_ms:").append(std::to_string(lease_ms));
    return s;
}

// The answer when a request ends in an exception. The request's seq is echoed
// whenever it was read: the host treats a seq mismatch as a broken pipe and
// would drop every monitor of its connection over one internal error.
std::string internal_error(const ControlRequest& request, const char* msg) noexcept {
    try {
        return format_err(request.has_seq ? request.seq : 0, kInternal, msg);
    } catch (...) {
        return std::string();
    }
}

}  // namespace

ControlPlane::ControlPlane(IDriverBackend& backend, platform::IClock& clock, ControlConfig config)
    : backend_(backend), clock_(clock), config_(std::move(config)), registry_(config_.max_monitors) {
    backend_.set_event_sink(this);
}

ControlPlane::~ControlPlane() { backend_.set_event_sink(nullptr); }

std::string ControlPlane::handle_request(uint32_t connection_id, std::string_view bytes) noexcept {
    ControlRequest request;
    try {
        return dispatch(connection_id, bytes, request);
    } catch (const std::bad_alloc&) {
        return internal_error(request, "out_of_memory");
    } catch (...) {
        return internal_error(request, "exception");
    }
}

std::string ControlPlane::dispatch(uint32_t connection_id, std::string_view bytes, ControlRequest& request) {
    ParseFailure failure;
    if (!parse_request(bytes, request, failure)) return format_err(failure.seq, failure.code, failure.detail);
    if (request.version != kProtocolVersion) return format_err(request.seq, kProto, "", {{"supported", "1"}});
    {
        // Only requests that get this far keep the connection's lease alive.
        const uint64_t now = clock_.now_ms();
        std::lock_guard<std::mutex> g(mutex_);
        if (ended_connections_.count(connection_id) == 0) connections_[connection_id].last_request_ms = now;
    }
    const std::string& verb = request.verb;
    if (verb == "PING") return verb_ping(request);
    if (verb == "GET_STATE") return verb_get_state(request);
    if (verb == "MONITOR_ADD") return verb_monitor_add(connection_id, request);
    if (verb == "MONITOR_REMOVE") return verb_monitor_remove(connection_id, request);
    if (verb == "GPU_LUID") return verb_gpu_luid(connection_id, request);
    if (verb == "LOG") return verb_log(request);
    return format_err(request.seq, kBadRequest, "unknown_verb");
}

std::string ControlPlane::verb_ping(const ControlRequest& request) {
    if (!request.positional.empty()) return format_err(request.seq, kBadRequest, "arg_count");
    return format_ok(request.seq, {{"proto", kProtocolRevision}, {"driver", backend_.driver_version()}});
}

std::string ControlPlane::verb_get_state(const ControlRequest& request) {
    if (!request.positional.empty()) return format_err(request.seq, kBadRequest, "arg_count");
    const uint64_t now = clock_.now_ms();
    std::vector<MonitorEntry> entries;
    std::map<uint32_t, uint64_t> last_request;
    Luid preference;
    uint32_t max_monitors = 0;
    {
        std::lock_guard<std::mutex> g(mutex_);
        entries = registry_.entries();
        for (const MonitorEntry& e : entries) {
            const auto it = connections_.find(e.owner);
            if (it != connections_.end()) last_request[e.owner] = it->second.last_request_ms;
        }
        preference = render_preference_;
        max_monitors = registry_.max_monitors();
    }
    std::sort(entries.begin(), entries.end(), [](const MonitorEntry& a, const MonitorEntry& b) { return a.id < b.id; });

    const bool ready = backend_.adapter_ready();
    const uint32_t adapter_error = backend_.adapter_error();
    Pairs pairs;
    pairs.reserve(10 + entries.size());
    pairs.emplace_back("proto", kProtocolRevision);
    pairs.emplace_back("driver", backend_.driver_version());
    pairs.emplace_back("adapter", ready ? "ready" : adapter_error != 0 ? "failed" : "starting");
    if (adapter_error != 0) pairs.emplace_back("adapter_error", hex32(adapter_error));
    pairs.emplace_back("max", std::to_string(max_monitors));
    pairs.emplace_back("count", std::to_string(entries.size()));
    pairs.emplace_back("render_pref", luid_or_none(preference));
    pairs.emplace_back("render_actual", luid_or_none(backend_.actual_render_adapter()));
    pairs.emplace_back("iddcx", hex32(backend_.iddcx_version()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const MonitorEntry& e = entries[i];
        uint64_t lease_left = 0;
        const auto it = last_request.find(e.owner);
        if ((e.state == MonitorState::arrived || e.state == MonitorState::active) && it != last_request.end()) {
            const uint64_t silent = elapsed(now, it->second);
            lease_left = silent < config_.lease_ms ? config_.lease_ms - silent : 0;
        }
        std::string key = "m";
        key.append(std::to_string(i));
        pairs.emplace_back(std::move(key), monitor_summary(e, lease_left));
    }
    return format_ok(request.seq, pairs);
}

std::string ControlPlane::verb_monitor_add(uint32_t connection_id, const ControlRequest& request) {
    const uint32_t seq = request.seq;
    if (request.positional.size() != 3) return format_err(seq, kBadRequest, "arg_count");
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    if (!parse_number(request.positional[0], width) || !parse_number(request.positional[1], height) ||
        !parse_number(request.positional[2], refresh)) {
        return format_err(seq, kBadRequest, "number");
    }
    if (const char* detail = check_mode_shape(width, height, refresh)) return format_err(seq, kBadArgs, detail);
    const std::string* key = request.named_value("key");
    if (key != nullptr && !valid_key(*key)) return format_err(seq, kBadArgs, "key");
    if (const char* detail = check_pixel_clock(width, height, refresh)) return format_err(seq, kBadArgs, detail);
    uint32_t width_mm = 0;
    uint32_t height_mm = 0;
    const std::string* mmw = request.named_value("mmw");
    const std::string* mmh = request.named_value("mmh");
    if (mmw != nullptr || mmh != nullptr) {
        if (mmw == nullptr || mmh == nullptr || !parse_number(*mmw, width_mm) || !parse_number(*mmh, height_mm) ||
            check_size_mm(width_mm, height_mm) != nullptr) {
            return format_err(seq, kBadArgs, "size_mm");
        }
    }
    if (!take_rate_slot(connection_id)) return format_err(seq, kBusy, "rate");
    if (!backend_.adapter_ready()) return format_err(seq, kNotReady, "adapter");

    MonitorParams params;
    {
        std::lock_guard<std::mutex> g(mutex_);
        const auto& entries = registry_.entries();
        if (entries.size() >= registry_.max_monitors()) return format_err(seq, kLimit, "monitors");
        uint64_t budget = pixel_rate(width, height, refresh);
        for (const MonitorEntry& e : entries) budget += pixel_rate(e.width, e.height, e.refresh);
        if (budget > config_.pixel_budget) return format_err(seq, kLimit, "budget");
        const MonitorEntry* e = registry_.add_entry(
            connection_id, width, height, refresh,
            key != nullptr ? std::optional<std::string_view>(*key) : std::optional<std::string_view>());
        if (e == nullptr) return format_err(seq, kLimit, "monitors");
        if (ended_connections_.count(connection_id) != 0) {
            // The connection ended after its rate slot: nobody will ever
            // remove this monitor but the maintenance tick.
            MonitorEntry* added = registry_.find(e->id);
            added->owner_gone = true;
            added->next_retry_ms = 0;
            e = added;
        }
        params.id = e->id;
        params.slot = e->slot;
        params.serial = e->serial;
    }
    params.width = width;
    params.height = height;
    params.refresh = refresh;
    params.modes = build_mode_list(width, height, refresh);
    EdidInput edid_input{config_.edid_maker, config_.product_code, params.serial, config_.name,
                         width,              height,               refresh,       width_mm,
                         height_mm};
    std::string detail;
    params.edid = build_edid(edid_input, detail);
    if (params.edid.empty()) {
        erase_entry(params.id);
        return format_err(seq, kInternal, "edid_" + detail);
    }

    Luid os_luid;
    uint32_t os_target = 0;
    OpResult result;
    try {
        result = backend_.add_monitor(params, os_luid, os_target);
    } catch (...) {
        erase_entry(params.id);
        throw;
    }

    std::lock_guard<std::mutex> g(mutex_);
    MonitorEntry* e = registry_.find(params.id);
    if (!result.ok) {
        if (e != nullptr) registry_.erase_entry(params.id);
        return format_err(seq, kIddcx, "", {{"status", hex32(result.status)}});
    }
    if (e == nullptr) return format_err(seq, kInternal, "monitor_vanished");
    // An entry the OS already made active stays active.
    if (e->state == MonitorState::creating) e->state = MonitorState::arrived;
    e->os_luid = os_luid;
    e->os_target = os_target;
    return format_ok(seq, {{"id", std::to_string(params.id)},
                           {"serial", hex32(params.serial)},
                           {"slot", std::to_string(params.slot)},
                           {"os_luid", luid_text(os_luid)},
                           {"os_target", std::to_string(os_target)},
                           {"mode", mode_text({width, height, refresh})}});
}

std::string ControlPlane::verb_monitor_remove(uint32_t connection_id, const ControlRequest& request) {
    const uint32_t seq = request.seq;
    if (request.positional.size() != 1) return format_err(seq, kBadRequest, "arg_count");
    uint32_t id = 0;
    if (!parse_number(request.positional[0], id)) return format_err(seq, kBadRequest, "number");
    if (!take_rate_slot(connection_id)) return format_err(seq, kBusy, "rate");
    // Any connection may remove any monitor: the pipe admits only the
    // accounts the installer allowed.
    const RemoveResult r = remove_monitor(id, true);
    if (r.ok()) return format_ok(seq, {{"id", std::to_string(id)}});
    if (r.code == kIddcx) return format_err(seq, kIddcx, "", {{"status", hex32(r.status)}});
    return format_err(seq, r.code, r.detail);
}

std::string ControlPlane::verb_gpu_luid(uint32_t connection_id, const ControlRequest& request) {
    const uint32_t seq = request.seq;
    if (request.positional.size() != 1) return format_err(seq, kBadRequest, "arg_count");
    Luid luid;
    if (!parse_luid(request.positional[0], luid)) return format_err(seq, kBadArgs, "luid");
    if (!take_rate_slot(connection_id)) return format_err(seq, kBusy, "rate");
    std::lock_guard<std::mutex> serial(gpu_mutex_);
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!registry_.entries().empty()) return format_err(seq, kBusy, "monitors_present");
    }
    if (!luid.zero() && !backend_.is_valid_render_adapter(luid)) return format_err(seq, kGpuInvalid, "luid");
    const OpResult r = backend_.set_render_preference(luid);
    if (!r.ok) return format_err(seq, kIddcx, "", {{"status", hex32(r.status)}});
    {
        std::lock_guard<std::mutex> g(mutex_);
        render_preference_ = luid;
    }
    Pairs pairs{{"render_pref", luid_or_none(luid)}};
    // Applied by the backend once the adapter becomes ready.
    if (!backend_.adapter_ready()) pairs.emplace_back("pending", "1");
    return format_ok(seq, pairs);
}

std::string ControlPlane::verb_log(const ControlRequest& request) {
    const uint32_t seq = request.seq;
    if (request.positional.size() != 1) return format_err(seq, kBadRequest, "arg_count");
    const std::string& arg = request.positional[0];
    int level = 0;
    if (arg == "off") {
        level = kLogOff;
    } else if (arg == "info") {
        level = kLogInfo;
    } else if (arg == "debug") {
        level = kLogDebug;
    } else {
        return format_err(seq, kBadArgs, "level");
    }
    backend_.set_log_level(level);
    return format_ok(seq, {{"level", arg}});
}

bool ControlPlane::take_rate_slot(uint32_t connection_id) {
    const uint64_t now = clock_.now_ms();
    std::lock_guard<std::mutex> g(mutex_);
    ConnectionState scratch;
    const auto known = connections_.find(connection_id);
    auto& times = known != connections_.end()                          ? known->second.rate_times
                  : ended_connections_.count(connection_id) != 0 ? scratch.rate_times
                                                                     : connections_[connection_id].rate_times;
    times.erase(std::remove_if(times.begin(), times.end(),
                               [&](uint64_t t) { return elapsed(now, t) >= config_.rate_window_ms; }),
                times.end());
    if (times.size() >= config_.rate_limit) return false;
    times.push_back(now);
    return true;
}

void ControlPlane::erase_entry(uint32_t id) {
    std::lock_guard<std::mutex> g(mutex_);
    registry_.erase_entry(id);
}

RemoveResult ControlPlane::remove_monitor(uint32_t id, bool forced) {
    const uint64_t now = clock_.now_ms();
    {
        std::lock_guard<std::mutex> g(mutex_);
        MonitorEntry* e = registry_.find(id);
        if (e == nullptr) return {kNotFound, "id", 0};
        if (e->state == MonitorState::creating) return {kBusy, "creating", 0};
        if (e->state == MonitorState::departing) return {};
        MonitorState previous = e->state;
        if (e->state == MonitorState::stuck) {
            if (forced) e->failure_count = 0;
            previous = MonitorState::arrived;
        }
        e->previous_state = previous;
        e->state = MonitorState::departing;
        e->departure_start_ms = now;
    }
    // Unlocked: the departure reaches the OS, which may call back into
    // on_monitor_gone before it returns.
    OpResult r;
    try {
        r = backend_.depart_monitor(id);
    } catch (...) {
        // Not left departing: the entry would hold its slot for the whole
        // departing time-out although no departure is under way.
        std::string line;
        {
            std::lock_guard<std::mutex> g(mutex_);
            line = departure_failed_locked(id, forced, now);
        }
        log_lines({line});
        throw;
    }
    if (r.ok) return {};
    std::string line;
    {
        std::lock_guard<std::mutex> g(mutex_);
        line = departure_failed_locked(id, forced, now);
    }
    log_lines({line});
    return {kIddcx, "", r.status};
}

void ControlPlane::log_lines(const std::vector<std::string>& lines) const {
    for (const std::string& l : lines)
        if (!l.empty()) config_.logger.write(l);
}

std::string ControlPlane::departure_failed_locked(uint32_t id, bool /*forced*/, uint64_t now) {
    MonitorEntry* e = registry_.find(id);
    if (e == nullptr) return {};
    e->state = e->previous_state;
    ++e->failure_count;
    e->next_retry_ms = now + retry_delay_ms(e->failure_count);
    // Past the limit a monitor is never retried automatically, so it is
    // stuck whichever removal pushed it there (a forced one included).
    if (e->failure_count > kMaxAutomaticRemovalFailures) {
        e->state = MonitorState::stuck;
        if (config_.logger.enabled()) {
            return "monitor " + std::to_string(id) + " stuck: removal failed " + std::to_string(e->failure_count) +
                   " times";
        }
    }
    return {};
}

void ControlPlane::on_disconnect(uint32_t connection_id) {
    std::vector<uint32_t> ids;
    {
        std::lock_guard<std::mutex> g(mutex_);
        connections_.erase(connection_id);
        ended_connections_.insert(connection_id);
        for (MonitorEntry& e : registry_.entries()) {
            if (e.owner != connection_id) continue;
            e.owner_gone = true;
            e.next_retry_ms = 0;
            if (e.state == MonitorState::arrived || e.state == MonitorState::active) ids.push_back(e.id);
        }
    }
    for (const uint32_t id : ids) {
        RemoveResult r;
        try {
            r = remove_monitor(id, false);
        } catch (...) {
            r.code = kInternal;
        }
        if (!r.ok() && r.code != kNotFound) {
            config_.logger.log(
                [&] { return "disconnect cleanup: remove " + std::to_string(id) + " failed, will retry"; });
        }
    }
}

void ControlPlane::tick() {
    const uint64_t now = clock_.now_ms();
    std::vector<uint32_t> ids;
    std::vector<uint32_t> overdue;
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> g(mutex_);
        auto& entries = registry_.entries();
        for (const auto& entry : connections_) {
            // A named copy: structured bindings cannot be captured by every compiler we build with.
            const uint32_t connection = entry.first;
            if (elapsed(now, entry.second.last_request_ms) <= config_.lease_ms) continue;
            // The connection record stays: the pipe may still be open, and a
            // later request refreshes it without bringing the monitors back.
            for (MonitorEntry& e : entries) {
                if (e.owner != connection || e.owner_gone || e.state == MonitorState::departing) continue;
                e.owner_gone = true;
                e.next_retry_ms = now;
                if (config_.logger.enabled()) {
                    lines.push_back("lease expired: monitor " + std::to_string(e.id) + " of connection " +
                                    std::to_string(connection));
                }
            }
        }
        for (const MonitorEntry& e : entries) {
            if (e.state == MonitorState::departing &&
                elapsed(now, e.departure_start_ms) > config_.departing_timeout_ms) {
                overdue.push_back(e.id);
                continue;
            }
            if (e.owner_gone && (e.state == MonitorState::arrived || e.state == MonitorState::active) &&
                now >= e.next_retry_ms && e.failure_count <= kMaxAutomaticRemovalFailures) {
                ids.push_back(e.id);
            }
        }
    }
    // A monitor still departing after the time-out gives its slot up, unless
    // its OS object still exists: the slot is its connector, which a new
    // monitor must not share with it.
    std::vector<uint32_t> freeable;
    for (const uint32_t id : overdue)
        if (!backend_.monitor_present(id)) freeable.push_back(id);
    if (!freeable.empty()) {
        std::lock_guard<std::mutex> g(mutex_);
        for (const uint32_t id : freeable) {
            const MonitorEntry* e = registry_.find(id);
            if (e == nullptr || e->state != MonitorState::departing ||
                elapsed(now, e->departure_start_ms) <= config_.departing_timeout_ms) {
                continue;
            }
            registry_.erase_entry(id);
            if (config_.logger.enabled()) {
                lines.push_back("monitor " + std::to_string(id) + " still departing after " +
                                std::to_string(config_.departing_timeout_ms) + " ms; slot force-freed");
            }
        }
    }
    log_lines(lines);
    for (const uint32_t id : ids) {
        try {
            remove_monitor(id, false);
        } catch (...) {
            // Counted as a failed attempt; retried after its back-off.
        }
    }
    backend_.sweep();
}

void ControlPlane::on_monitor_active(uint32_t id) {
    std::lock_guard<std::mutex> g(mutex_);
    MonitorEntry* e = registry_.find(id);
    if (e != nullptr && (e->state == MonitorState::creating || e->state == MonitorState::arrived)) {
        e->state = MonitorState::active;
    }
}

void ControlPlane::on_monitor_gone(uint32_t id) {
    std::lock_guard<std::mutex> g(mutex_);
    registry_.erase_entry(id);
}

std::vector<MonitorEntry> ControlPlane::entries() const {
    std::lock_guard<std::mutex> g(mutex_);
    return registry_.entries();
}

Luid ControlPlane::render_preference() const {
    std::lock_guard<std::mutex> g(mutex_);
    return render_preference_;
}

MaintenanceThread::MaintenanceThread(std::function<void()> tick, platform::IClock& clock, uint64_t interval_ms)
    : tick_(std::move(tick)), clock_(clock), interval_ms_(interval_ms) {}

MaintenanceThread::~MaintenanceThread() { stop(); }

void MaintenanceThread::start() {
    std::lock_guard<std::mutex> g(mutex_);
    if (thread_.joinable()) return;
    stop_ = false;
    thread_ = std::thread([this] { run(); });
}

void MaintenanceThread::stop() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void MaintenanceThread::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        const uint64_t deadline = clock_.now_ms() + interval_ms_;
        clock_.wait_until(lock, cv_, deadline, [this] { return stop_; });
        if (stop_) break;
        lock.unlock();
        try {
            tick_();
        } catch (...) {
            // The next round runs normally.
        }
        lock.lock();
    }
}

}  // namespace sorvane::vdd
