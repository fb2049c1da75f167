// The host's end of the driver's control pipe: one request at a time in the
// driver's protocol "SVC/1", the parsed replies, a periodic PING that keeps
// the driver's lease on this host's monitors alive, one notification when the
// connection is lost, and the per-viewer monitor key.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/pipe.h"

namespace sorvane {

inline constexpr char kDriverPipeName[] = "\\\\.\\pipe\\SorvaneVddPipe";

struct ControlReply {
    bool ok = false;
    uint32_t version = 0;
    uint32_t seq = 0;
    uint32_t code = 0;
    std::string name;
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string error;  // transport error; empty when the driver answered

    // The value of key, or null.
    const std::string* find(std::string_view key) const;
};

// An adapter LUID, high part first.
struct DriverLuid {
    uint32_t high = 0;
    uint32_t low = 0;
    bool zero() const { return high == 0 && low == 0; }
    bool operator==(const DriverLuid&) const = default;
};
// "%08x:%08x".
std::string driver_luid_text(const DriverLuid& luid);

struct DriverMonitorState {
    uint32_t id = 0;
    uint32_t slot = 0;
    uint32_t serial = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t refresh = 0;
    DriverLuid os_luid;
    uint32_t os_target = 0;
    std::string state;
    uint32_t owner = 0;
    uint32_t lease_ms = 0;
};

struct DriverState {
    std::string proto;
    std::string driver;
    uint32_t iddcx = 0;
    std::string adapter;
    bool adapter_ready = false;
    std::string adapter_error;
    uint32_t max = 0;
    uint32_t count = 0;
    DriverLuid render_pref;
    DriverLuid render_actual;
    std::vector<DriverMonitorState> monitors;
};

struct MonitorAddReply {
    uint32_t id = 0;
    uint32_t serial = 0;
    uint32_t slot = 0;
    DriverLuid os_luid;
    uint32_t os_target = 0;
    std::string mode;
};

// Parses one reply message; false when it is not a reply.
bool parse_control_reply(std::string_view text, ControlReply& out);
// Parses one monitor summary of GET_STATE.
bool parse_monitor_summary(std::string_view text, DriverMonitorState& out);

class DriverControlClient {
public:
    // pipe_name empty: the driver's pipe.
    DriverControlClient(platform::IClock& clock, std::string pipe_name = {});
    ~DriverControlClient();
    DriverControlClient(const DriverControlClient&) = delete;
    DriverControlClient& operator=(const DriverControlClient&) = delete;

    // Opens the pipe, retrying a missing or busy pipe until timeout_ms of the
    // clock have passed. The error names the Windows error number.
    bool connect(uint32_t timeout_ms, std::string& error);
    void close();
    bool connected() const;

    // Sends "SVC/1 <seq> <command>" and waits for its reply. A transport
    // failure closes the connection and reports the loss once per connection.
    void request(std::string_view command, ControlReply& reply);
    bool get_state(ControlReply& reply, DriverState& state);
    bool monitor_add(uint32_t width, uint32_t height, uint32_t refresh, std::string_view key, uint32_t mmw,
                     uint32_t mmh, ControlReply& reply, MonitorAddReply& result);
    bool monitor_remove(uint32_t id, ControlReply& reply);
    bool gpu_luid(const DriverLuid& luid, ControlReply& reply);

    // The same, sent again after 300 ms while the driver answers BUSY, six
    // attempts at most; the last reply is returned.
    bool monitor_add_retrying(uint32_t width, uint32_t height, uint32_t refresh, std::string_view key, uint32_t mmw,
                              uint32_t mmh, ControlReply& reply, MonitorAddReply& result);
    bool monitor_remove_retrying(uint32_t id, ControlReply& reply);
    bool gpu_luid_retrying(const DriverLuid& luid, ControlReply& reply);

    // "transport: <error>", "OK", or "ERR <code> <name>" with " (<msg>)" and " status=<value>".
    static std::string describe(const ControlReply& reply);

    // A PING every interval_ms; on_lost runs once when the connection is lost.
    void start_keepalive(uint32_t interval_ms, std::function<void()> on_lost);
    void stop_keepalive();
    uint64_t pings_sent() const { return pings_.load(); }

    // The key that gives a viewer's monitor the same EDID serial every time:
    // the first 16 bytes of SHA-256("sorvane-monitor-v1:" + client_id) in
    // lowercase hex; empty when hashing fails.
    static std::string monitor_key(std::string_view client_id);

    // Time-outs of one exchange (write, then read).
    static constexpr uint32_t kIoTimeoutMs = 5'000;
    static constexpr uint32_t kBusyRetryMs = 300;
    static constexpr int kBusyAttempts = 6;

private:
    template <class F>
    bool retry_busy(ControlReply& reply, F&& send);
    void keepalive_loop(uint32_t interval_ms);

    platform::IClock& clock_;
    const std::string pipe_name_;
    std::mutex request_mutex_;
    std::shared_ptr<platform::IPipeConnection> pipe_;  // guarded by request_mutex_ (and handle_mutex_ for reads)
    mutable std::mutex handle_mutex_;
    std::atomic<uint32_t> next_seq_{1};

    std::mutex keepalive_mutex_;
    std::condition_variable keepalive_cv_;
    bool keepalive_stop_ = false;
    std::thread keepalive_;
    std::atomic<uint64_t> pings_{0};
    std::mutex callback_mutex_;
    std::function<void()> on_lost_;
    std::atomic<bool> loss_reported_{false};
};

}  // namespace sorvane
