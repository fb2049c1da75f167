// One TLS connection from the viewer to the host's control or input port,
// carrying framed messages. A reader thread moves everything received into a
// buffer, so that waiting for the host is always bounded by a time-out read
// on the injected clock, and the connection can be ended from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/protocol/wire.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "viewer/protocol/control_client.h"
#include "viewer/tls/tls_client.h"
#include "viewer/tls/viewer_identity.h"

namespace sorvane::viewer {

struct LinkOptions {
    uint32_t timeout_ms = 5'000;  // connect, handshake and every write
    uint32_t local_address = 0;   // appear from this local address (0: any)
};

class HostLink {
public:
    enum class Wait : uint8_t { data, timed_out, closed };

    explicit HostLink(platform::IClock& clock) : clock_(clock), client_(clock) {}
    ~HostLink();
    HostLink(const HostLink&) = delete;
    HostLink& operator=(const HostLink&) = delete;

    // TLS to host, pinning its certificate and presenting identity (null: no
    // certificate); starts the reader. False with last_error on failure.
    bool connect(const platform::Endpoint& host, const Fingerprint& pin, const ViewerIdentity* identity,
                 const LinkOptions& options = {});
    // Writes bytes whole (bounded by the time-out of the options).
    bool send(proto::ByteView bytes);
    // Takes what arrived; waits up to timeout_ms when nothing is there yet.
    // closed once the host ended the connection and everything was taken.
    Wait receive(proto::Bytes& out, uint64_t timeout_ms);
    // Ends the connection and joins the reader. Safe to call twice.
    void close();

    bool closed() const;
    std::string last_error() const;
    platform::Endpoint local_endpoint();

private:
    void read_loop();

    platform::IClock& clock_;
    TlsClient client_;
    std::thread reader_;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    proto::Bytes received_;
    bool ended_ = false;
    std::string error_;
};

// The control connection: a HostLink with the protocol's client state.
class ControlLink {
public:
    ControlLink(platform::IClock& clock, proto::Handshake hello) : link_(clock), client_(std::move(hello)), clock_(clock) {}

    bool connect(const platform::Endpoint& host, const Fingerprint& pin, const ViewerIdentity* identity,
                 const LinkOptions& options = {}) {
        return link_.connect(host, pin, identity, options);
    }
    // Sends the Handshake.
    bool start();
    // Waits up to timeout_ms for messages, answers heartbeats, sends a
    // heartbeat when one is due, and appends what happened to events.
    // False once the connection is gone.
    bool pump(uint64_t timeout_ms, std::vector<ClientEvent>& events);
    // Writes whatever the client has queued.
    bool flush();

    ControlClient& client() { return client_; }
    HostLink& link() { return link_; }

private:
    HostLink link_;
    ControlClient client_;
    platform::IClock& clock_;
};

}  // namespace sorvane::viewer
