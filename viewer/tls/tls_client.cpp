#include "viewer/tls/tls_client.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>

namespace sorvane::viewer {

namespace {

constexpr size_t kBufferSize = 32768;
// Longest single wait on the socket before the clock is read again, so a
// time-out follows the injected clock.
constexpr uint64_t kWaitSliceMs = 50;

std::string take_openssl_error() {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return {};
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

int verify_host(int, X509_STORE_CTX* store) {
    // The chain is never validated: only the leaf's fingerprint counts.
    if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* self = ssl != nullptr ? static_cast<TlsClient*>(SSL_get_app_data(ssl)) : nullptr;
    X509* cert = X509_STORE_CTX_get_current_cert(store);
    return self != nullptr && cert != nullptr && self->check_host_certificate(cert) ? 1 : 0;
}

int openssl_version(TlsVersion v) {
    switch (v) {
        case TlsVersion::tls12:
            return TLS1_2_VERSION;
        case TlsVersion::tls13:
            return TLS1_3_VERSION;
        case TlsVersion::any:
            break;
    }
    return 0;
}

}  // namespace

TlsClient::TlsClient(platform::IClock& clock) : clock_(clock), tx_(kBufferSize), rx_(kBufferSize) {}

TlsClient::~TlsClient() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
}

std::string TlsClient::last_error() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_error_;
}

std::string TlsClient::protocol() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ssl_ != nullptr && connected_.load() ? SSL_get_version(ssl_) : std::string();
}

void TlsClient::fail(const std::string& error) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_error_ = error;
}

bool TlsClient::check_host_certificate(X509* cert) {
    Fingerprint fp{};
    if (!fingerprint_of(cert, fp)) return false;
    host_fingerprint_ = fp;
    host_seen_ = true;
    return fp == expected_host_;
}

bool TlsClient::flush_locked() {
    while (BIO_ctrl_pending(out_) > 0) {
        const int n = BIO_read(out_, tx_.data(), static_cast<int>(tx_.size()));
        if (n <= 0) return false;
        const platform::SocketResult r = socket_.send_all(tx_.data(), static_cast<size_t>(n));
        if (!r.ok()) {
            if (r.status == platform::SocketStatus::timed_out) timed_out_.store(true);
            last_error_ = "send: " + platform::describe(r);
            return false;
        }
    }
    return true;
}

// Waits for ciphertext until the deadline and hands it to the TLS state.
TlsClient::Received TlsClient::receive_more(uint64_t deadline_ms) {
    for (;;) {
        const uint64_t now = clock_.now_ms();
        if (now >= deadline_ms) {
            timed_out_.store(true);
            fail("timed out");
            return Received::failed;
        }
        const auto slice = static_cast<uint32_t>(std::min<uint64_t>(deadline_ms - now, kWaitSliceMs));
        platform::SocketResult r = socket_.wait_readable(slice);
        if (r.status == platform::SocketStatus::timed_out) continue;
        if (r.ok()) r = socket_.recv(rx_.data(), rx_.size());
        if (r.status == platform::SocketStatus::closed) {
            fail("the host closed the connection");
            return Received::closed;
        }
        if (!r.ok()) {
            fail("recv: " + platform::describe(r));
            return Received::failed;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (BIO_write(in_, rx_.data(), static_cast<int>(r.bytes)) != static_cast<int>(r.bytes)) {
            last_error_ = "out of memory";
            return Received::failed;
        }
        return Received::data;
    }
}

bool TlsClient::connect(const platform::Endpoint& host, const Fingerprint& expected_host,
                        const ViewerIdentity* identity, const TlsClientOptions& options) {
    if (ssl_ != nullptr) {
        fail("connect: already used");
        return false;
    }
    options_ = options;
    expected_host_ = expected_host;
    timed_out_.store(false);

    platform::SocketResult r = socket_.connect(host, options.timeout_ms, options.local_address);
    if (!r.ok()) {
        if (r.status == platform::SocketStatus::timed_out) timed_out_.store(true);
        fail("connect to " + platform::endpoint_text(host) + ": " + platform::describe(r));
        return false;
    }
    socket_.set_no_delay(true);
    socket_.set_send_timeout(options.timeout_ms);

    {
        std::lock_guard<std::mutex> lock(mutex_);
        ctx_ = SSL_CTX_new(TLS_client_method());
        bool ok = ctx_ != nullptr;
        if (ok) {
            const int v = openssl_version(options.version);
            SSL_CTX_set_min_proto_version(ctx_, v != 0 ? v : TLS1_2_VERSION);
            SSL_CTX_set_max_proto_version(ctx_, v);
            SSL_CTX_set_options(ctx_, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
            SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_OFF);
            SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, verify_host);
            if (identity != nullptr) {
                ok = SSL_CTX_use_certificate(ctx_, identity->certificate()) == 1 &&
                     SSL_CTX_use_PrivateKey(ctx_, identity->key()) == 1;
            }
        }
        if (ok) ssl_ = SSL_new(ctx_);
        if (ssl_ != nullptr) {
            in_ = BIO_new(BIO_s_mem());
            out_ = BIO_new(BIO_s_mem());
        }
        if (!ok || ssl_ == nullptr || in_ == nullptr || out_ == nullptr) {
            BIO_free(in_);
            BIO_free(out_);
            in_ = out_ = nullptr;
            last_error_ = "TLS set-up failed: " + take_openssl_error();
            return false;
        }
        BIO_set_mem_eof_return(in_, -1);
        SSL_set_bio(ssl_, in_, out_);
        SSL_set_app_data(ssl_, this);
        SSL_set_connect_state(ssl_);
    }

    const uint64_t deadline = clock_.now_ms() + options.timeout_ms;
    for (;;) {
        int result = 0;
        int error = SSL_ERROR_NONE;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ERR_clear_error();
            result = SSL_do_handshake(ssl_);
            error = SSL_get_error(ssl_, result);
            if (result == 1 && !options.first_data.empty()) {
                if (SSL_write(ssl_, options.first_data.data(), static_cast<int>(options.first_data.size())) <= 0) {
                    last_error_ = "first write: " + take_openssl_error();
                    return false;
                }
            }
            const std::string why = take_openssl_error();
            if (!flush_locked()) return false;
            if (result != 1 && error != SSL_ERROR_WANT_READ) {
                if (host_seen_ && host_fingerprint_ != expected_host_)
                    last_error_ = "host certificate " + fingerprint_hex(host_fingerprint_) + " is not the expected " +
                                  fingerprint_hex(expected_host_);
                else
                    last_error_ = "handshake: " + (why.empty() ? "SSL error " + std::to_string(error) : why);
                return false;
            }
        }
        if (result == 1) break;
        if (receive_more(deadline) != Received::data) return false;
    }
    connected_.store(true);
    return true;
}

int64_t TlsClient::read(void* buf, size_t n) {
    if (!connected_.load()) return -1;
    if (n == 0) return 0;
    timed_out_.store(false);
    const uint64_t deadline = clock_.now_ms() + options_.timeout_ms;
    const int want = n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
    for (;;) {
        int result = 0;
        int error = SSL_ERROR_NONE;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ERR_clear_error();
            result = SSL_read(ssl_, buf, want);
            error = SSL_get_error(ssl_, result);
            const std::string why = take_openssl_error();
            // Answers to the host's session records (key updates).
            if (!flush_locked()) return result > 0 ? result : -1;
            if (result > 0) return result;
            if (error == SSL_ERROR_ZERO_RETURN) return 0;
            if (error != SSL_ERROR_WANT_READ) {
                last_error_ = "read: " + (why.empty() ? "SSL error " + std::to_string(error) : why);
                return -1;
            }
        }
        const Received got = receive_more(deadline);
        if (got == Received::closed) return 0;
        if (got == Received::failed) return -1;
    }
}

bool TlsClient::read_exact(void* buf, size_t n) {
    auto* p = static_cast<uint8_t*>(buf);
    while (n > 0) {
        const int64_t got = read(p, n);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool TlsClient::write(const void* data, size_t n) {
    if (!connected_.load()) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    std::lock_guard<std::mutex> lock(mutex_);
    while (n > 0) {
        const int chunk = static_cast<int>(std::min<size_t>(n, 16384));
        ERR_clear_error();
        if (SSL_write(ssl_, p, chunk) != chunk) {
            last_error_ = "write: " + take_openssl_error();
            return false;
        }
        if (!flush_locked()) return false;
        p += chunk;
        n -= static_cast<size_t>(chunk);
    }
    return true;
}

bool TlsClient::close_notify() {
    if (!connected_.load()) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
    return flush_locked();
}

void TlsClient::shutdown() {
    if (socket_.is_open()) socket_.shutdown(platform::ShutdownHow::both);
}

void TlsClient::close() {
    connected_.store(false);
    socket_.close();
}

}  // namespace sorvane::viewer
