// Sits between the transport and the sessions: admits control connections,
// routes control, input and VideoHello to their session, drives every
// session's timers from one tick thread, and answers the host's questions
// about connected devices.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/core/options.h"
#include "host/net/transport.h"
#include "host/session/session.h"
#include "host/session/session_env.h"

namespace sorvane {

struct DeviceStreamInfo {
    std::string client_id;
    std::string name;
    StreamInfo stream;
    bool over_usb = false;
};

struct InputCountersSnapshot {
    uint32_t accepted = 0, unknown_session = 0, wrong_device = 0, wrong_ip = 0, not_active = 0, malformed = 0;
};

class SessionManager final : public ITransportSink, public ISessionEnv {
public:
    SessionManager(ITransport& transport, const HostOptions& options, ISessionMonitors& monitors,
                   const SessionServices& services);
    ~SessionManager() override;
    SessionManager(const SessionManager&) = delete;
    SessionManager& operator=(const SessionManager&) = delete;

    // ITransportSink
    void on_control_connected(ConnId conn_id, const Endpoint& peer, const Fingerprint& fingerprint) override;
    void on_control_message(ConnId conn_id, uint8_t type, proto::ByteView payload) override;
    void on_control_closed(ConnId conn_id) override;
    void on_input_message(const Endpoint& peer, const Fingerprint& fingerprint, uint8_t type,
                          proto::ByteView payload) override;
    bool device_has_session(const Fingerprint& fingerprint) override;
    void on_video_hello(const Endpoint& source, uint32_t session_id, proto::ByteView datagram) override;

    // ISessionEnv
    ISessionMonitors& monitor_provider() override { return monitors_; }
    void supersede_older_sessions(const std::string& client_id, uint32_t session_id) override;
    DeviceAdmission admit_device(const std::string& client_id, uint32_t session_id) override;
    LineBudget& peer_lines() override { return peer_lines_; }

    // Host-facing.
    void start_ticks();
    void stop_ticks();
    // One pass of the tick thread (tests drive it directly).
    void tick_all();
    size_t open_session_count() const;
    std::vector<std::string> connected_device_names() const;
    std::vector<DeviceStreamInfo> device_stream_info() const;
    bool disconnect_device(const std::string& client_id, const std::string& text);
    InputCountersSnapshot input_counters() const;
    std::shared_ptr<Session> session_by_id(uint32_t session_id) const;

private:
    std::vector<std::shared_ptr<Session>> sessions_in_order() const;
    void log_input_counters();
    // The summary of the peer lines the budget left out: of ended windows,
    // or (at the end) all of them.
    void report_suppressed_lines(bool all);
    // Sessions that still count: a refused or ended one holds no place while
    // its connection winds down.
    size_t open_locked() const;

    ITransport& transport_;
    const HostOptions options_;
    ISessionMonitors& monitors_;
    const SessionServices services_;

    mutable std::mutex mutex_;
    std::map<ConnId, std::shared_ptr<Session>> by_conn_;
    std::map<uint32_t, std::shared_ptr<Session>> by_id_;
    std::map<uint32_t, std::string> admitted_;
    uint32_t next_id_ = 1;

    std::mutex tick_mutex_;
    std::condition_variable tick_cv_;
    std::thread tick_thread_;
    std::atomic<bool> running_{false};
    bool counters_logged_ = false;

    std::atomic<uint32_t> accepted_{0}, unknown_session_{0}, wrong_device_{0}, wrong_ip_{0}, not_active_{0},
        malformed_{0};
    std::atomic<uint32_t> unknown_hello_{0};
    std::atomic<uint32_t> refused_connections_{0};
    // Every line a peer can cause beyond its first sight goes through this.
    LineBudget peer_lines_;
};

}  // namespace sorvane
