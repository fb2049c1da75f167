#include "host/trust/tls_channel.h"

#include <algorithm>
#include <cstdarg>
#include <cinttypes>

#include "host/trust/tls_log.h"

namespace sorvane {

namespace {

// Room for the ciphertext of one full record with every overhead.
constexpr size_t kSendBufferSize = 2 * TlsChannel::kReceiveBufferSize;

// What a receive "returned" in the socket API's terms, for the log lines.
int recv_return(const platform::SocketResult& r) { return r.status == platform::SocketStatus::closed ? 0 : -1; }

}  // namespace

std::unique_ptr<TlsChannel> TlsChannel::create(platform::TcpStream& socket, const TlsIdentity& identity,
                                               TlsLines lines) {
    return std::make_unique<TlsChannel>(socket, identity, lines);
}

TlsChannel::TlsChannel(platform::TcpStream& socket, const TlsIdentity& identity, TlsLines lines)
    : socket_(socket), identity_(identity), lines_(lines), tx_(kSendBufferSize), rx_(kReceiveBufferSize) {}

void TlsChannel::tls_log(const char* format, ...) const {
    if (lines_ == TlsLines::quiet) return;
    va_list args;
    va_start(args, format);
    vtls_log(format, args);
    va_end(args);
}

TlsChannel::~TlsChannel() = default;

std::optional<Fingerprint> TlsChannel::peer_fingerprint() const {
    if (!has_peer_) return std::nullopt;
    return peer_;
}

std::string TlsChannel::protocol() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return engine_ ? engine_->protocol() : std::string();
}

bool TlsChannel::send_output_locked() {
    if (broken_.load()) return false;
    while (engine_->output_pending() > 0) {
        const size_t n = engine_->take_output(tx_.data(), tx_.size());
        if (n == 0 || !socket_.send_all(tx_.data(), n).ok()) {
            // Bytes taken out of the engine are gone: whatever part of them
            // reached the wire, the record stream is cut for good.
            broken_.store(true);
            return false;
        }
    }
    return true;
}

bool TlsChannel::handshake() {
    if (handshake_run_) return established_.load();
    handshake_run_ = true;

    {
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t status = platform::kSecOk;
        engine_ = platform::make_tls_server_engine(identity_.credential(), status);
        if (!engine_) {
            tls_log("[tls] AcquireCredentialsHandle failed: 0x%" PRIx32, status);
            return false;
        }
    }

    platform::SocketResult r = socket_.recv(rx_.data(), rx_.size());
    if (!r.ok()) {
        tls_log("[tls] handshake: recv (ilk) basarisiz/kapandi (r=%d, wsa=%d)", recv_return(r), r.error_code);
        return false;
    }
    tls_log("[tls] handshake: ilk okuma %d bayt", static_cast<int>(r.bytes));
    size_t fill = r.bytes;

    for (;;) {
        uint32_t status = platform::kSecOk;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status = engine_->put_input(rx_.data(), fill) ? engine_->handshake() : platform::kSecInternalError;
            fill = 0;
            tls_log("[tls] AcceptSecurityContext -> 0x%" PRIx32 " (out=%" PRIu64 " bayt, extra=%s)", status,
                    static_cast<uint64_t>(engine_->output_pending()), engine_->input_pending() > 0 ? "evet" : "hayir");
            if (status == platform::kSecOk) {
                // The last flight; a failed send shows up at the first read.
                send_output_locked();
                break;
            }
            if (status == platform::kSecContinueNeeded) {
                if (!send_output_locked()) return false;
            } else if (status != platform::kSecIncompleteMessage) {
                // Tell the client why (an alert), as far as the socket allows.
                send_output_locked();
                tls_log("[tls] handshake basarisiz: 0x%" PRIx32, status);
                return false;
            }
        }
        r = socket_.recv(rx_.data(), rx_.size());
        if (!r.ok()) {
            tls_log("[tls] handshake: recv basarisiz/kapandi (r=%d, wsa=%d, ss_oncesi=0x%" PRIx32 ")", recv_return(r),
                    r.error_code, status);
            return false;
        }
        tls_log("[tls] handshake: ek okuma %d bayt", static_cast<int>(r.bytes));
        fill = r.bytes;
    }

    std::vector<uint8_t> der;
    bool has_certificate = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        has_certificate = engine_->peer_certificate(der);
    }
    if (has_certificate) {
        // A certificate whose fingerprint cannot be computed cannot be
        // recognised either; the handshake fails rather than report zeros.
        if (!certificate_fingerprint(der, peer_)) return false;
        has_peer_ = true;
    }
    established_.store(true);
    return true;
}

int64_t TlsChannel::read(void* buf, size_t n) {
    if (!established_.load() || broken_.load()) return -1;
    if (n == 0) return 0;
    auto* out = static_cast<uint8_t*>(buf);
    size_t delivered = 0;
    size_t fill = 0;
    for (;;) {
        uint32_t status = platform::kSecOk;
        size_t got = 0;
        bool sent = true;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (fill > 0 && !engine_->put_input(rx_.data(), fill))
                return delivered > 0 ? static_cast<int64_t>(delivered) : -1;
            fill = 0;
            status = engine_->decrypt(out + delivered, n - delivered, got);
            // Records of the session itself (a key update, a refused
            // renegotiation) may need an answer.
            if (engine_->output_pending() > 0) sent = send_output_locked();
        }
        if (status == platform::kSecOk) delivered += got;
        if (!sent) return delivered > 0 ? static_cast<int64_t>(delivered) : -1;
        if (status == platform::kSecOk) {
            if (delivered == n) return static_cast<int64_t>(delivered);
            continue;
        }
        if (status == platform::kSecContextExpired) return static_cast<int64_t>(delivered);
        if (status != platform::kSecIncompleteMessage || delivered > 0)
            return delivered > 0 ? static_cast<int64_t>(delivered) : -1;
        const platform::SocketResult r = socket_.recv(rx_.data(), rx_.size());
        if (r.status == platform::SocketStatus::closed) return 0;
        if (!r.ok()) return -1;
        fill = r.bytes;
    }
}

bool TlsChannel::write(const void* data, size_t n) {
    if (n == 0) return true;
    if (!established_.load() || broken_.load()) return false;
    std::lock_guard<std::mutex> whole(write_mutex_);
    const auto* p = static_cast<const uint8_t*>(data);
    while (n > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        const size_t chunk = std::min(n, engine_->max_message());
        if (engine_->encrypt(p, chunk) != platform::kSecOk) {
            // The engine may hold part of the data as a record already.
            broken_.store(true);
            return false;
        }
        if (!send_output_locked()) return false;
        p += chunk;
        n -= chunk;
    }
    return true;
}

}  // namespace sorvane
