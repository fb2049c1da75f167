// The server side of one TLS connection (control, input or pairing), made
// with the host's identity. It asks the client for a certificate, accepts a
// client without one, and reports the fingerprint of the one presented; what
// a missing or unknown certificate means is the caller's decision.
//
// All calls block on the caller's thread. The channel has no deadlines of its
// own: callers bound it with the socket's receive and send time-outs, or wake
// it by shutting the socket down from another thread.
//
// Threads: one thread runs handshake and then read; any number of threads may
// call write once the handshake succeeded. Socket receives happen outside any
// lock; every engine call runs under the channel's lock together with the
// send of the bytes it produced, so records leave in the order they were made.
// Each write's bytes go out contiguously even when writers race.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/printf_format.h"
#include "host/trust/fingerprint.h"
#include "host/trust/tls_identity.h"
#include "platform/socket.h"
#include "platform/tls.h"

namespace sorvane {

// Whether a channel writes its "[tls]" lines.
enum class TlsLines : uint8_t { written, quiet };

class TlsChannel {
public:
    // Room for the largest TLS record and its overhead.
    static constexpr size_t kReceiveBufferSize = 16896;

    // A server channel on a connected socket with identity; both are borrowed
    // and must outlive the channel. Allocates its buffers, does no I/O.
    static std::unique_ptr<TlsChannel> create(platform::TcpStream& socket, const TlsIdentity& identity,
                                              TlsLines lines = TlsLines::written);
    TlsChannel(platform::TcpStream& socket, const TlsIdentity& identity, TlsLines lines = TlsLines::written);
    // Sends no closing alert and leaves the socket to its owner.
    ~TlsChannel();
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    // Runs the server handshake. True when it completed, with or without a
    // client certificate; bytes that followed it wait for the first read.
    // Only the first call does anything; later calls report its result.
    bool handshake();

    bool has_peer_certificate() const { return has_peer_; }
    // The SHA-256 of the client's certificate; empty when it presented none.
    std::optional<Fingerprint> peer_fingerprint() const;

    // Delivers 1 to n bytes of plaintext; 0 when the peer closed the TCP
    // connection or ended the TLS session; -1 on an error (also a receive
    // time-out, or a read before a successful handshake). Blocks only while
    // it has delivered nothing: what is already decrypted is returned at once.
    int64_t read(void* buf, size_t n);

    // Encrypts and sends all n bytes (records of at most the engine's maximum
    // size). True when everything was sent; n = 0 is true at once.
    // A send that fails or times out may have put part of a record on the
    // wire: the channel is dead from then on (every later write and read
    // fails), since nothing sent after it could be read by the peer.
    bool write(const void* data, size_t n);

    // True once a send of this channel failed (see write).
    bool broken() const { return broken_.load(); }

    // The negotiated protocol ("TLSv1.3"); empty before the handshake.
    std::string protocol() const;

private:
    bool send_output_locked();
    // This channel's "[tls]" lines: nothing when it was made quiet.
    void tls_log(const char* format, ...) const SORVANE_PRINTF(2, 3);

    platform::TcpStream& socket_;
    const TlsIdentity& identity_;
    const TlsLines lines_;

    std::mutex write_mutex_;    // keeps each write's records together; taken before mutex_
    mutable std::mutex mutex_;  // the engine, tx_ and the sends
    std::unique_ptr<platform::ITlsEngine> engine_;
    std::vector<uint8_t> tx_;

    std::vector<uint8_t> rx_;  // the reading thread's alone
    bool handshake_run_ = false;
    std::atomic<bool> established_{false};
    std::atomic<bool> broken_{false};
    bool has_peer_ = false;
    Fingerprint peer_{};
};

}  // namespace sorvane
