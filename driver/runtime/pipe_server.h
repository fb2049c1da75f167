// The driver's control pipe: it keeps the pipe name, admits the accounts its
// security descriptor grants, runs one thread per client (at most four),
// reads one request message at a time, hands it to the control plane and
// writes the one response back. A connection that sends nothing for 30 s is
// closed; its monitors then go as if it had closed the pipe.
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
#include <vector>

#include "driver/core/log.h"
#include "platform/clock.h"
#include "platform/pipe.h"
#include "platform/registry.h"

namespace sorvane::vdd {

inline constexpr char kControlPipeName[] = "\\\\.\\pipe\\SorvaneVddPipe";
inline constexpr char kVddRegistryKey[] = "SOFTWARE\\Sorvane\\VDD";
inline constexpr char kAllowListValue[] = "ControlPipeSids";

// At most this many allow-list strings are read, and at most kMaxListedSids
// of them admitted.
inline constexpr size_t kMaxAllowListStrings = 64;
inline constexpr size_t kMaxListedSids = 8;

// The strings of ControlPipeSids (REG_MULTI_SZ or REG_SZ of 2 to 8192
// bytes); empty for anything else.
std::vector<std::string> read_allow_list(platform::IRegistry& registry);

struct SecurityDescriptor {
    std::string sddl;
    size_t rejected = 0;  // the own account when not valid, plus list strings not admitted
};

// "D:P(A;;0x120183;;;SY)(A;;0x120183;;;BA)", the own account with 0x12019f
// (which may create pipe instances), then each valid, new list SID with
// 0x120183, at most kMaxListedSids of them.
SecurityDescriptor build_security_descriptor(std::string_view own_sid, const std::vector<std::string>& list);

struct PipeServerOptions {
    std::string name = kControlPipeName;
    std::string sddl;
    int client_limit = 4;
    uint32_t idle_timeout_ms = 30'000;
    uint32_t write_timeout_ms = 5'000;
    // After a failed accept the loop waits this long (or for stop) before the next.
    uint32_t accept_retry_ms = 200;
    // At most one accept failure line per this many ms; the next one counts the lines left out.
    uint32_t accept_log_every_ms = 10'000;
    LineLogger logger;  // the driver gives it "[pipe] " at debug level
    platform::IClock* clock = nullptr;  // null: the system clock
    // Takes the pipe name (null: platform::create_pipe_listener).
    std::function<std::unique_ptr<platform::IPipeListener>(const std::string& name, const std::string& sddl,
                                                           uint32_t& error)>
        listen;
};

// What the server calls for each request and when a connection ends.
struct PipeHandlers {
    std::function<std::string(uint32_t connection_id, std::string_view request)> request;
    std::function<void(uint32_t connection_id)> disconnect;
};

class PipeServer {
public:
    PipeServer(PipeServerOptions options, PipeHandlers handlers);
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // True when running or started; otherwise false with "event",
    // "CreateNamedPipe failed, error <n>".
    bool start(std::string& error);
    // Wakes and joins every thread and gives the name up. Harmless twice.
    void stop();

    int active_connections() const { return active_.load(); }
    uint64_t accepted_total() const { return total_.load(); }

private:
    struct Connection {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void accept_loop();
    // A failed accept: its line (within the budget), then the retry wait. False when stopping.
    bool after_failed_accept(uint32_t error);
    void serve(std::unique_ptr<platform::IPipeConnection> pipe, uint32_t id,
               std::shared_ptr<std::atomic<bool>> done);
    void reap(bool all);

    PipeServerOptions options_;
    PipeHandlers handlers_;
    std::unique_ptr<platform::IPipeListener> listener_;
    std::thread accept_thread_;
    std::mutex threads_mutex_;
    std::vector<Connection> connections_;
    std::atomic<int> active_{0};
    std::atomic<uint64_t> total_{0};
    std::atomic<uint32_t> next_id_{1};
    std::mutex state_mutex_;  // start/stop
    bool running_ = false;
    std::unique_ptr<platform::IClock> own_clock_;
    platform::IClock* clock_;
    std::mutex wait_mutex_;  // the retry wait and stopping_
    std::condition_variable wait_cv_;
    bool stopping_ = false;
    uint64_t next_failure_line_ms_ = 0;  // accept thread only
    uint64_t failures_left_out_ = 0;
};

}  // namespace sorvane::vdd
