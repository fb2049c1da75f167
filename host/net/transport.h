// The host's network face as the sessions see it: TCP control and input
// connections that are already authenticated, framed messages in both
// directions, VideoHello datagrams in and sealed video datagrams out.
#pragma once

#include <cstdint>

#include "host/core/options.h"
#include "host/protocol/wire.h"
#include "host/trust/fingerprint.h"
#include "platform/socket.h"

namespace sorvane {

using Endpoint = platform::Endpoint;

// Connection ids count from 1, across the control and input listeners.
using ConnId = uint64_t;

// What the video socket has received, for diagnostics.
struct UdpStats {
    uint64_t udp_rx = 0;     // every datagram received
    uint64_t from_peer = 0;  // those from the address asked about (0 when not tracked)
    uint64_t malformed = 0;  // those that were not a VideoHello
    Endpoint last_source;    // where the last one came from
};

// Receives everything the transport learns. Called on the transport's
// threads, never with a transport lock held; implementations may call back
// into the transport.
class ITransportSink {
public:
    virtual ~ITransportSink() = default;
    // A control connection passed TLS with a paired certificate.
    virtual void on_control_connected(ConnId conn_id, const Endpoint& peer, const Fingerprint& fingerprint) = 0;
    // One frame of a control connection; payload is valid during the call.
    virtual void on_control_message(ConnId conn_id, uint8_t type, proto::ByteView payload) = 0;
    // The control connection ended (told once, only after on_control_connected).
    virtual void on_control_closed(ConnId conn_id) = 0;
    // One frame of an authenticated input connection; fingerprint is the
    // certificate that connection presented.
    virtual void on_input_message(const Endpoint& peer, const Fingerprint& fingerprint, uint8_t type,
                                  proto::ByteView payload) = 0;
    // Whether the device of this certificate has a session now (an input
    // connection without one is closed once the handshake time is over).
    virtual bool device_has_session(const Fingerprint& fingerprint) = 0;
    // A datagram whose header reads as a VideoHello (the tag is not checked
    // yet); datagram is valid during the call.
    virtual void on_video_hello(const Endpoint& source, uint32_t session_id, proto::ByteView datagram) = 0;
};

class ITransport {
public:
    virtual ~ITransport() = default;
    virtual UdpStats udp_stats(uint32_t peer_address) = 0;
    // Opens the listeners and the video socket and starts serving sink. False
    // (with everything closed again) when any step failed.
    virtual bool start(const HostOptions& options, ITransportSink& sink) = 0;
    // Writes bytes through the connection's TLS channel; false when the
    // connection is unknown, closed or the write failed.
    virtual bool send_control(ConnId conn_id, proto::ByteView bytes) = 0;
    // Ends the connection: what was sent before still reaches the peer.
    virtual void close_connection(ConnId conn_id) = 0;
    // The ports the listeners and the video socket are bound to (0 when not
    // started); what a session announces to its viewer.
    virtual uint16_t video_port() const = 0;
    virtual uint16_t input_port() const = 0;
    // One datagram; true only when the whole of it was accepted.
    virtual bool send_video(const Endpoint& to, proto::ByteView datagram) = 0;
    // count datagrams to one address, in order; sent[i] tells what send_video
    // would have said of datagram i. One by one unless the transport can do
    // better.
    virtual void send_video_batch(const Endpoint& to, const proto::ByteView* datagrams, size_t count, bool* sent) {
        for (size_t i = 0; i < count; ++i) sent[i] = send_video(to, datagrams[i]);
    }
    // Ends every connection (each control connection reaches
    // on_control_closed) and closes the sockets. Safe when not started.
    virtual void stop() = 0;
};

}  // namespace sorvane
