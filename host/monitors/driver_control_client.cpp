#include "host/monitors/driver_control_client.h"

#include <cinttypes>
#include <cstdio>

#include "common/text.h"
#include "platform/crash.h"
#include "platform/crypto.h"
#include "platform/win_error.h"

namespace sorvane {

namespace {

constexpr size_t kReplyBuffer = 8192;
constexpr size_t kMaxReply = 4096;
constexpr size_t kMaxMonitorsParsed = 64;

// 1 to 10 decimal digits, no leading zero unless "0", at most 4294967295.
bool parse_decimal(std::string_view t, uint32_t& out) {
    if (t.empty() || t.size() > 10 || (t.size() > 1 && t[0] == '0')) return false;
    uint64_t v = 0;
    for (const char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// Decimal, or hexadecimal after "0x" / "0X" (at least one digit).
bool parse_value(std::string_view t, uint32_t& out) {
    if (t.size() >= 3 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        return parse_hex_u32(t.substr(2), out);
    }
    uint64_t v = 0;
    if (t.empty() || t.size() > 10) return false;
    for (const char c : t) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parse_hex8(std::string_view t, uint32_t& out) {
    if (t.size() != 8) return false;
    return parse_value("0x" + std::string(t), out);
}

bool parse_luid(std::string_view t, DriverLuid& out) {
    if (t == "none") {
        out = {};
        return true;
    }
    return t.size() == 17 && t[8] == ':' && parse_hex8(t.substr(0, 8), out.high) && parse_hex8(t.substr(9), out.low);
}

std::vector<std::string_view> split(std::string_view t, char sep) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (true) {
        const size_t at = t.find(sep, start);
        out.push_back(t.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) break;
        start = at + 1;
    }
    return out;
}

uint32_t value_or_zero(const ControlReply& r, std::string_view key) {
    uint32_t v = 0;
    if (const std::string* s = r.find(key)) parse_value(*s, v);
    return v;
}

}  // namespace

const std::string* ControlReply::find(std::string_view key) const {
    for (const auto& [k, v] : pairs)
        if (k == key) return &v;
    return nullptr;
}

std::string driver_luid_text(const DriverLuid& luid) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%08" PRIx32 ":%08" PRIx32, luid.high, luid.low);
    return buf;
}

bool parse_control_reply(std::string_view text, ControlReply& out) {
    out = ControlReply{};
    if (text.empty() || text.size() > kMaxReply) return false;
    for (const char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    const std::vector<std::string_view> tokens = split(text, ' ');
    if (tokens.size() < 3) return false;
    for (const auto& t : tokens)
        if (t.empty()) return false;
    if (tokens[0].substr(0, 4) != "SVC/" || !parse_decimal(tokens[0].substr(4), out.version) ||
        !parse_decimal(tokens[1], out.seq)) {
        return false;
    }
    size_t first_pair = 0;
    if (tokens[2] == "OK") {
        out.ok = true;
        first_pair = 3;
    } else if (tokens[2] == "ERR" && tokens.size() >= 5) {
        if (!parse_decimal(tokens[3], out.code)) return false;
        out.name = std::string(tokens[4]);
        first_pair = 5;
    } else {
        return false;
    }
    for (size_t i = first_pair; i < tokens.size(); ++i) {
        const size_t eq = tokens[i].find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        out.pairs.emplace_back(std::string(tokens[i].substr(0, eq)), std::string(tokens[i].substr(eq + 1)));
    }
    return true;
}

bool parse_monitor_summary(std::string_view text, DriverMonitorState& out) {
    out = DriverMonitorState{};
    bool have_id = false;
    for (const std::string_view part : split(text, ',')) {
        const size_t colon = part.find(':');
        if (colon == std::string_view::npos) return false;
        const std::string_view key = part.substr(0, colon);
        const std::string_view value = part.substr(colon + 1);
        bool ok = true;
        if (key == "id") {
            ok = parse_value(value, out.id);
            have_id = ok;
        } else if (key == "slot") {
            ok = parse_value(value, out.slot);
        } else if (key == "serial") {
            ok = parse_value(value, out.serial);
        } else if (key == "mode") {
            const size_t x = value.find('x');
            const size_t at = value.find('@');
            ok = x != std::string_view::npos && at != std::string_view::npos && x < at &&
                 parse_value(value.substr(0, x), out.width) && parse_value(value.substr(x + 1, at - x - 1), out.height) &&
                 parse_value(value.substr(at + 1), out.refresh);
        } else if (key == "os") {
            // The LUID itself holds a colon: "os:hhhhhhhh:llllllll/target".
            const size_t slash = value.find('/');
            ok = slash != std::string_view::npos && parse_luid(value.substr(0, slash), out.os_luid) &&
                 parse_value(value.substr(slash + 1), out.os_target);
        } else if (key == "state") {
            out.state = std::string(value);
        } else if (key == "owner") {
            ok = parse_value(value, out.owner);
        } else if (key == "lease_ms") {
            ok = parse_value(value, out.lease_ms);
        }
        if (!ok) return false;
    }
    return have_id;
}

DriverControlClient::DriverControlClient(platform::IClock& clock, std::string pipe_name)
    : clock_(clock), pipe_name_(pipe_name.empty() ? std::string(kDriverPipeName) : std::move(pipe_name)) {}

DriverControlClient::~DriverControlClient() {
    stop_keepalive();
    close();
    std::lock_guard<std::mutex> g(callback_mutex_);
    on_lost_ = nullptr;
}

bool DriverControlClient::connected() const {
    std::lock_guard<std::mutex> g(handle_mutex_);
    return pipe_ != nullptr;
}

void DriverControlClient::close() {
    std::shared_ptr<platform::IPipeConnection> p;
    {
        std::lock_guard<std::mutex> g(handle_mutex_);
        p = std::move(pipe_);
    }
    if (p) p->close();
}

bool DriverControlClient::connect(uint32_t timeout_ms, std::string& error) {
    close();
    loss_reported_ = false;
    const uint64_t start = clock_.now_ms();
    uint32_t code = 0;
    std::unique_ptr<platform::IPipeConnection> pipe;
    while (true) {
        pipe = platform::open_pipe(pipe_name_, code);
        if (pipe) break;
        const bool retry = code == platform::kErrorPipeBusy || code == platform::kErrorFileNotFound;
        if (!retry || clock_.now_ms() - start >= timeout_ms) break;
        clock_.sleep_ms(code == platform::kErrorPipeBusy ? 200 : 50);
    }
    if (!pipe) {
        error = "cannot open the driver control pipe (error " + std::to_string(code) + ")";
        if (code == platform::kErrorFileNotFound) error += ": driver not loaded";
        if (code == platform::kErrorAccessDenied) error += ": this user is not in the pipe's allow list (ControlPipeSids)";
        return false;
    }
    std::lock_guard<std::mutex> g(handle_mutex_);
    pipe_ = std::move(pipe);
    return true;
}

void DriverControlClient::request(std::string_view command, ControlReply& reply) {
    reply = ControlReply{};
    std::string failure;
    {
        std::lock_guard<std::mutex> g(request_mutex_);
        std::shared_ptr<platform::IPipeConnection> pipe;
        {
            std::lock_guard<std::mutex> h(handle_mutex_);
            pipe = pipe_;
        }
        if (!pipe) {
            reply.error = "not connected";
            return;
        }
        const uint32_t seq = next_seq_.fetch_add(1);
        std::string message = "SVC/1 " + std::to_string(seq) + " ";
        message.append(command);
        std::string buf(kReplyBuffer, '\0');
        if (!pipe->write_message(message.data(), message.size(), kIoTimeoutMs).ok()) {
            failure = "write failed";
        } else {
            const platform::PipeResult r = pipe->read_message(buf.data(), buf.size(), kIoTimeoutMs);
            if (!r.ok() || r.message_size > buf.size()) {
                failure = "no reply (read failed or timed out)";
            } else if (!parse_control_reply(std::string_view(buf.data(), r.bytes), reply) || reply.seq != seq) {
                reply = ControlReply{};
                failure = "malformed reply";
            }
        }
        if (!failure.empty()) {
            reply.error = failure;
            pipe->close();
            std::lock_guard<std::mutex> h(handle_mutex_);
            if (pipe_ == pipe) pipe_.reset();
        }
    }
    if (failure.empty()) return;
    if (!loss_reported_.exchange(true)) {
        std::function<void()> cb;
        {
            std::lock_guard<std::mutex> g(callback_mutex_);
            cb = on_lost_;
        }
        if (cb) cb();
    }
}

bool DriverControlClient::get_state(ControlReply& reply, DriverState& state) {
    request("GET_STATE", reply);
    state = DriverState{};
    if (!reply.ok) return false;
    const auto text = [&](std::string_view k) {
        const std::string* v = reply.find(k);
        return v ? *v : std::string();
    };
    state.proto = text("proto");
    state.driver = text("driver");
    state.iddcx = value_or_zero(reply, "iddcx");
    state.adapter = text("adapter");
    state.adapter_ready = state.adapter == "ready";
    state.adapter_error = text("adapter_error");
    state.max = value_or_zero(reply, "max");
    state.count = value_or_zero(reply, "count");
    parse_luid(text("render_pref"), state.render_pref);
    parse_luid(text("render_actual"), state.render_actual);
    for (uint32_t i = 0; i < state.count && i < kMaxMonitorsParsed; ++i) {
        std::string key = "m";
        key += std::to_string(i);  // not "m" + ...: gcc 12 -O2 warns falsely on that form
        const std::string* v = reply.find(key);
        DriverMonitorState m;
        if (v != nullptr && parse_monitor_summary(*v, m)) state.monitors.push_back(std::move(m));
    }
    return true;
}

bool DriverControlClient::monitor_add(uint32_t width, uint32_t height, uint32_t refresh, std::string_view key,
                                      uint32_t mmw, uint32_t mmh, ControlReply& reply, MonitorAddReply& result) {
    std::string command = "MONITOR_ADD " + std::to_string(width) + " " + std::to_string(height) + " " +
                          std::to_string(refresh);
    if (!key.empty()) command.append(" key=").append(key);
    if (mmw != 0 && mmh != 0) command += " mmw=" + std::to_string(mmw) + " mmh=" + std::to_string(mmh);
    request(command, reply);
    result = MonitorAddReply{};
    if (!reply.ok) return false;
    result.id = value_or_zero(reply, "id");
    result.serial = value_or_zero(reply, "serial");
    result.slot = value_or_zero(reply, "slot");
    if (const std::string* l = reply.find("os_luid")) parse_luid(*l, result.os_luid);
    result.os_target = value_or_zero(reply, "os_target");
    if (const std::string* m = reply.find("mode")) result.mode = *m;
    return true;
}

bool DriverControlClient::monitor_remove(uint32_t id, ControlReply& reply) {
    request("MONITOR_REMOVE " + std::to_string(id), reply);
    return reply.ok;
}

bool DriverControlClient::gpu_luid(const DriverLuid& luid, ControlReply& reply) {
    request("GPU_LUID " + driver_luid_text(luid), reply);
    return reply.ok;
}

template <class F>
bool DriverControlClient::retry_busy(ControlReply& reply, F&& send) {
    for (int attempt = 1;; ++attempt) {
        const bool ok = send();
        if (ok || !reply.error.empty() || reply.name != "BUSY" || attempt >= kBusyAttempts) return ok;
        clock_.sleep_ms(kBusyRetryMs);
    }
}

bool DriverControlClient::monitor_add_retrying(uint32_t width, uint32_t height, uint32_t refresh,
                                               std::string_view key, uint32_t mmw, uint32_t mmh, ControlReply& reply,
                                               MonitorAddReply& result) {
    return retry_busy(reply, [&] { return monitor_add(width, height, refresh, key, mmw, mmh, reply, result); });
}

bool DriverControlClient::monitor_remove_retrying(uint32_t id, ControlReply& reply) {
    return retry_busy(reply, [&] { return monitor_remove(id, reply); });
}

bool DriverControlClient::gpu_luid_retrying(const DriverLuid& luid, ControlReply& reply) {
    return retry_busy(reply, [&] { return gpu_luid(luid, reply); });
}

std::string DriverControlClient::describe(const ControlReply& reply) {
    if (!reply.error.empty()) return "transport: " + reply.error;
    if (reply.ok) return "OK";
    std::string s = "ERR " + std::to_string(reply.code) + " " + reply.name;
    if (const std::string* msg = reply.find("msg")) s += " (" + *msg + ")";
    if (const std::string* status = reply.find("status")) s += " status=" + *status;
    return s;
}

void DriverControlClient::start_keepalive(uint32_t interval_ms, std::function<void()> on_lost) {
    stop_keepalive();
    {
        std::lock_guard<std::mutex> g(callback_mutex_);
        on_lost_ = std::move(on_lost);
    }
    {
        std::lock_guard<std::mutex> g(keepalive_mutex_);
        keepalive_stop_ = false;
    }
    keepalive_ = std::thread([this, interval_ms] {
        platform::install_thread_fault_stack();
        keepalive_loop(interval_ms);
    });
}

void DriverControlClient::stop_keepalive() {
    {
        std::lock_guard<std::mutex> g(keepalive_mutex_);
        keepalive_stop_ = true;
    }
    keepalive_cv_.notify_all();
    if (keepalive_.joinable() && keepalive_.get_id() != std::this_thread::get_id()) keepalive_.join();
}

void DriverControlClient::keepalive_loop(uint32_t interval_ms) {
    std::unique_lock<std::mutex> lock(keepalive_mutex_);
    while (!keepalive_stop_) {
        clock_.wait_until(lock, keepalive_cv_, clock_.now_ms() + interval_ms, [this] { return keepalive_stop_; });
        if (keepalive_stop_) break;
        lock.unlock();
        ControlReply reply;
        request("PING", reply);
        pings_.fetch_add(1);
        lock.lock();
    }
}

std::string DriverControlClient::monitor_key(std::string_view client_id) {
    const std::string text = "sorvane-monitor-v1:" + std::string(client_id);
    platform::Sha256Digest digest{};
    if (!platform::sha256(text.data(), text.size(), digest)) return {};
    static const char kHex[] = "0123456789abcdef";
    std::string key;
    for (size_t i = 0; i < 16; ++i) {
        key.push_back(kHex[digest[i] >> 4]);
        key.push_back(kHex[digest[i] & 0xF]);
    }
    return key;
}

}  // namespace sorvane
