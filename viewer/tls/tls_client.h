// The reference viewer's TLS client: connects to the host, presents the
// viewer's certificate (or none), and pins the host by the SHA-256 fingerprint
// of its certificate. Every blocking call is bounded by the time-out of the
// options, measured on the given clock.
//
// Threads: one thread may read while others write (and another may call
// shutdown to wake the reader). The TLS state is touched only under one lock,
// together with the send of the bytes it produced; receives happen outside it.
#pragma once

#include <openssl/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/socket.h"
#include "viewer/tls/viewer_identity.h"

namespace sorvane::viewer {

enum class TlsVersion { any, tls12, tls13 };

struct TlsClientOptions {
    uint32_t timeout_ms = 5'000;  // connect, handshake, and each read and write
    TlsVersion version = TlsVersion::any;
    uint32_t local_address = 0;  // bind the client side to this address (e.g. 127.0.0.2); 0 = any
    // Application data written right after the handshake and sent in the same
    // TCP segment as the client's last handshake flight (with TLS 1.3 that is
    // the client's Finished).
    std::string first_data;
};

class TlsClient {
public:
    explicit TlsClient(platform::IClock& clock);
    ~TlsClient();
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    // Connects to host and runs the handshake, presenting identity (null:
    // no certificate). Fails when the host's certificate does not have the
    // expected fingerprint.
    bool connect(const platform::Endpoint& host, const Fingerprint& expected_host, const ViewerIdentity* identity,
                 const TlsClientOptions& options = {});

    // 1 to n bytes; 0 when the host closed the TCP connection or ended the TLS
    // session; -1 on an error or when nothing came within the time-out
    // (timed_out() tells which).
    int64_t read(void* buf, size_t n);
    // Reads exactly n bytes; false on the end, an error or a time-out.
    bool read_exact(void* buf, size_t n);
    bool write(const void* data, size_t n);

    // Sends the TLS closing alert (the TCP connection stays open).
    bool close_notify();
    // Wakes a blocked reader (from another thread); the connection ends.
    void shutdown();
    // Closes the TCP connection without a closing alert. Only when no other
    // thread uses the client.
    void close();

    bool timed_out() const { return timed_out_.load(); }
    std::string last_error() const;
    // The host certificate's fingerprint as seen during the handshake.
    const Fingerprint& host_fingerprint() const { return host_fingerprint_; }
    // "TLSv1.2" or "TLSv1.3" after the handshake.
    std::string protocol() const;
    platform::TcpStream& socket() { return socket_; }

    // Used by the certificate check during the handshake.
    bool check_host_certificate(X509* cert);

private:
    enum class Received { data, closed, failed };
    bool flush_locked();
    Received receive_more(uint64_t deadline_ms);
    void fail(const std::string& error);

    platform::IClock& clock_;
    platform::TcpStream socket_;
    TlsClientOptions options_;
    Fingerprint expected_host_{};
    Fingerprint host_fingerprint_{};
    bool host_seen_ = false;

    mutable std::mutex mutex_;  // the SSL object, its BIOs, tx_, last_error_
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    BIO* in_ = nullptr;   // owned by ssl_
    BIO* out_ = nullptr;  // owned by ssl_
    std::vector<uint8_t> tx_;
    std::vector<uint8_t> rx_;  // the reader's alone
    std::string last_error_;
    std::atomic<bool> timed_out_{false};
    std::atomic<bool> connected_{false};
};

}  // namespace sorvane::viewer
