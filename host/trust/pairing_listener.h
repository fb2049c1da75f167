// The pairing window: for a short time the host listens for phones that
// scanned its pairing code, checks the one-time token they send over TLS and
// stores their certificate fingerprints.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/protocol/defaults.h"
#include "host/protocol/pairing_messages.h"
#include "host/trust/log_rate_limiter.h"
#include "host/trust/pairing_store.h"
#include "host/trust/tls_identity.h"
#include "host/trust/tls_server.h"
#include "platform/clock.h"

namespace sorvane {

// Where the listener listens and how long it waits; the defaults are the
// product's, tests shorten them.
struct PairingListenerTuning {
    std::string bind_address = "0.0.0.0";
    uint16_t port = proto::kDefaultPairingPort;  // 0: chosen by the system (see bound_port)
    uint32_t accept_poll_ms = 200;      // how often (on the clock) the window's end is looked for
    uint32_t socket_timeout_ms = 4'000; // receive and send time-out of a connection
    uint32_t request_budget_ms = 5'000; // time to deliver the PairRequest
    uint32_t drain_ms = 1'000;          // reading what follows the reply
    uint32_t connection_deadline_ms = 10'000;  // whole exchange, handshake included
    uint32_t handshake_deadline_ms = 3'000;    // from accept to a finished TLS handshake
    int max_connections = 4;                   // when full, the oldest still in its handshake makes room
    int max_connections_per_address = 2;
    uint32_t log_budget = 8;  // connection lines per window
    uint64_t log_window_ms = 10'000;
};

// The refusal reason of a pairing whose record could not be saved.
inline constexpr const char* kPairReasonNotSaved = "pairing_not_saved";

// The longest URI that still fits a version 10 code.
inline constexpr size_t kPairingUriLimit = 213;

// The host name for the URI: digits, letters, "-", ".", "_" and "~" stay;
// every other byte becomes "%" and two uppercase hexadecimal digits.
std::string encode_uri_name(const std::string& name);

// "sorvane://pair?host=...&port=...&fp=...&token=...&ip=a,b[&name=...]".
std::string build_pairing_uri(const std::string& host_id, uint16_t control_port, const std::string& fingerprint_hex,
                              const std::string& token, const std::vector<std::string>& addresses,
                              const std::string& encoded_name);

// Applies the length limit: drops addresses from the end (keeping one), then
// whole units of the encoded name from its end. Returns the URI; over_limit
// tells whether it is still too long.
std::string fit_pairing_uri(const std::string& host_id, uint16_t control_port, const std::string& fingerprint_hex,
                            const std::string& token, std::vector<std::string> addresses, std::string encoded_name,
                            bool& over_limit);

// "1A2B-3C4D" from the first eight digits of the fingerprint text.
std::string verify_code_of(const std::string& fingerprint_hex);

class PairingListener final : private TlsServer::Handler {
public:
    PairingListener(const TlsIdentity& identity, PairingStore& store, std::string host_id, std::string host_name,
                    platform::IClock& clock, PairingListenerTuning tuning = {});
    ~PairingListener() override;
    PairingListener(const PairingListener&) = delete;
    PairingListener& operator=(const PairingListener&) = delete;

    // Opens (or, unless force, reuses) the window for seconds and returns the
    // pairing URI. Listening failures are logged (and kept in last_error); the
    // URI is returned anyway. When no fresh token can be made the window is
    // closed and the result is empty (last_error says why).
    std::string open_window(uint16_t control_port, const std::vector<std::string>& addresses, bool force,
                            uint32_t seconds);
    // Closes the window at once and ends every pairing connection.
    void close_window();
    // Seconds left, rounded up; 0 when closed.
    uint32_t remaining_seconds();
    std::string verify_code() const;
    // The port listened on (after open_window); 0 when not listening.
    uint16_t bound_port() const { return bound_port_.load(); }
    // Pairing connections still being served.
    int active_connections() { return static_cast<int>(server_.active_count()); }
    // The step that failed when the window last tried to listen; empty when it listens.
    std::string last_error() const;
    // Set for the rest of the run once a pairing was refused because its
    // record could not be saved (the panel shows it).
    bool pairing_not_saved() const { return pairing_not_saved_.load(); }
    // Connections refused, shut down by a deadline, or shut down to make room.
    uint64_t refused_count() const { return server_.refused_count(); }
    uint64_t deadline_count() const { return server_.deadline_count(); }
    uint64_t evicted_count() const { return server_.evicted_count(); }

private:
    bool start_listening();
    void reply(TlsConnection& conn, bool ok, const char* reason);
    bool window_accepting_locked(uint64_t now) const;
    bool log_allowed();
    void report_suppressed_lines(bool all);
    void pair(TlsConnection& conn, const proto::PairRequest& request, const std::string& peer);

    // TlsServer::Handler
    bool on_accepted(TlsConnection& conn) override;
    void on_refused(TlsConnection& conn) override;
    void on_admitted(TlsConnection& conn) override;
    void serve(TlsConnection& conn) override;
    void on_tick() override;

    const TlsIdentity& identity_;
    PairingStore& store_;
    const std::string host_id_;
    const std::string host_name_;
    const std::string fingerprint_hex_;
    platform::IClock& clock_;
    const PairingListenerTuning tuning_;

    // The window: token, deadline, used, open.
    mutable std::mutex window_mutex_;
    std::string token_;
    uint64_t deadline_ms_ = 0;
    bool token_used_ = false;
    bool window_open_ = false;
    uint32_t seconds_ = 0;

    // Whether the server listens; taken before window_mutex_.
    mutable std::mutex listen_mutex_;
    bool listening_ = false;
    std::string last_error_;
    std::atomic<uint16_t> bound_port_{0};
    std::atomic<bool> pairing_not_saved_{false};

    std::mutex limiter_mutex_;  // innermost
    LogRateLimiter limiter_;

    TlsServer server_;
};

}  // namespace sorvane
