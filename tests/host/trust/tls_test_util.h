// Helpers for the TLS tests: a captured "[tls]" log, a host identity in a
// temporary folder, and a one-connection server that runs the host's channel.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/trust/tls_channel.h"
#include "host/trust/tls_identity.h"
#include "host/trust/tls_log.h"
#include "platform/cert_store.h"
#include "platform/sim/manual_clock.h"
#include "platform/socket.h"
#include "tests/support/temp_dir.h"
#include "viewer/tls/tls_client.h"

namespace sorvane::test {

// Collects the "[tls]" lines while it lives.
class TlsLogCapture {
public:
    TlsLogCapture() {
        set_tls_log_sink([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(mutex_);
            lines_.emplace_back(line);
        });
    }
    ~TlsLogCapture() { set_tls_log_sink({}); }

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count_containing(std::string_view text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(
            lines_.begin(), lines_.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
    }
    std::string last_containing(std::string_view text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = lines_.rbegin(); it != lines_.rend(); ++it)
            if (it->find(text) != std::string::npos) return *it;
        return {};
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The host identity, made in a fresh temporary folder.
struct HostIdentityFixture {
    TempDir dir;
    sim::ManualClock clock;
    TrustStatus status;
    TlsIdentity identity;

    HostIdentityFixture() {
        auto store = platform::make_certificate_store(identity_store_folder(dir.path()));
        identity = TlsIdentity::load_or_create(kHostIdentityName, *store, clock, status);
    }
};

// Accepts one connection on 127.0.0.1 (ephemeral port) and runs the host's
// server handshake on it in a thread of its own.
class OneConnectionServer {
public:
    explicit OneConnectionServer(const TlsIdentity& identity, uint32_t receive_timeout_ms = 5'000)
        : identity_(identity) {
        const platform::SocketResult r = listener_.listen("127.0.0.1", 0);
        EXPECT_TRUE(r.ok()) << platform::describe(r);
        thread_ = std::thread([this, receive_timeout_ms] {
            platform::Endpoint peer;
            if (!listener_.accept(socket_, &peer, 10'000).ok()) return;
            // A guard against a test hanging on a bug, never reached when it works.
            socket_.set_receive_timeout(receive_timeout_ms);
            socket_.set_send_timeout(5'000);
            channel_ = TlsChannel::create(socket_, identity_);
            handshake_ok_ = channel_->handshake();
        });
    }
    ~OneConnectionServer() { join(); }

    platform::Endpoint endpoint() const { return {platform::kLoopbackAddress, listener_.port()}; }

    // Waits for the handshake to end; true when it succeeded.
    bool join() {
        if (thread_.joinable()) thread_.join();
        return handshake_ok_;
    }
    TlsChannel& channel() { return *channel_; }
    platform::TcpStream& socket() { return socket_; }

private:
    const TlsIdentity& identity_;
    platform::TcpListener listener_;
    platform::TcpStream socket_;
    std::unique_ptr<TlsChannel> channel_;
    bool handshake_ok_ = false;
    std::thread thread_;
};

}  // namespace sorvane::test
