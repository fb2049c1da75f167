#include "host/trust/pairing_listener.h"

#include <cinttypes>

#include "common/text.h"
#include "host/core/log.h"
#include "host/core/state_files.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/pairing_messages.h"
#include "host/trust/tls_channel.h"

namespace sorvane {

namespace {

bool unreserved(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// Compares every byte, so the time taken does not tell how much matched.
bool same_token(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]);
    return diff == 0;
}

}  // namespace

std::string encode_uri_name(const std::string& name) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (unreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0x0F]);
        }
    }
    return out;
}

std::string build_pairing_uri(const std::string& host_id, uint16_t control_port, const std::string& fingerprint_hex,
                              const std::string& token, const std::vector<std::string>& addresses,
                              const std::string& encoded_name) {
    std::string uri = "sorvane://pair?host=" + host_id + "&port=" + std::to_string(control_port) +
                      "&fp=" + fingerprint_hex + "&token=" + token + "&ip=";
    for (size_t i = 0; i < addresses.size(); ++i) {
        if (i > 0) uri += ',';
        uri += addresses[i];
    }
    if (!encoded_name.empty()) uri += "&name=" + encoded_name;
    return uri;
}

std::string fit_pairing_uri(const std::string& host_id, uint16_t control_port, const std::string& fingerprint_hex,
                            const std::string& token, std::vector<std::string> addresses, std::string encoded_name,
                            bool& over_limit) {
    std::string uri = build_pairing_uri(host_id, control_port, fingerprint_hex, token, addresses, encoded_name);
    while (uri.size() > kPairingUriLimit && addresses.size() > 1) {
        addresses.pop_back();
        uri = build_pairing_uri(host_id, control_port, fingerprint_hex, token, addresses, encoded_name);
    }
    while (uri.size() > kPairingUriLimit && !encoded_name.empty()) {
        // One unit: a percent group or a byte that stayed as it was.
        const size_t n = encoded_name.size();
        encoded_name.resize(n >= 3 && encoded_name[n - 3] == '%' ? n - 3 : n - 1);
        uri = build_pairing_uri(host_id, control_port, fingerprint_hex, token, addresses, encoded_name);
    }
    over_limit = uri.size() > kPairingUriLimit;
    return uri;
}

std::string verify_code_of(const std::string& fingerprint_hex) {
    if (fingerprint_hex.size() < 8) return {};
    std::string code;
    for (size_t i = 0; i < 8; ++i) {
        if (i == 4) code.push_back('-');
        const char c = fingerprint_hex[i];
        code.push_back(c >= 'a' && c <= 'f' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return code;
}

namespace {

TlsServerTuning server_tuning(const PairingListenerTuning& t) {
    TlsServerTuning s;
    s.deadline_ms = t.connection_deadline_ms;  // pairing connections never settle
    s.max_pending = t.max_connections > 0 ? static_cast<size_t>(t.max_connections) : 0;
    s.max_pending_per_address =
        t.max_connections_per_address > 0 ? static_cast<size_t>(t.max_connections_per_address) : 0;
    s.evict_oldest_handshake = true;
    s.handshake_deadline_ms = t.handshake_deadline_ms;
    s.tick_ms = t.accept_poll_ms;
    return s;
}

}  // namespace

PairingListener::PairingListener(const TlsIdentity& identity, PairingStore& store, std::string host_id,
                                 std::string host_name, platform::IClock& clock, PairingListenerTuning tuning)
    : identity_(identity),
      store_(store),
      host_id_(std::move(host_id)),
      host_name_(std::move(host_name)),
      fingerprint_hex_(to_hex(identity.fingerprint())),
      clock_(clock),
      tuning_(std::move(tuning)),
      limiter_(tuning_.log_budget, tuning_.log_window_ms),
      server_(clock, *this, server_tuning(tuning_)) {}

PairingListener::~PairingListener() { close_window(); }

bool PairingListener::window_accepting_locked(uint64_t now) const { return window_open_ && now < deadline_ms_; }

std::string PairingListener::open_window(uint16_t control_port, const std::vector<std::string>& addresses, bool force,
                                         uint32_t seconds) {
    std::string token;
    bool no_token = false;
    {
        std::lock_guard<std::mutex> g(window_mutex_);
        const uint64_t now = clock_.now_ms();
        if (force || !window_open_ || token_used_ || now >= deadline_ms_) {
            std::string fresh;
            no_token = !new_pairing_token(fresh);
            if (no_token) {
                // No window without a token nobody can guess; one that is
                // open with an older token closes too.
                window_open_ = false;
            } else {
                token_ = std::move(fresh);
                deadline_ms_ = now + static_cast<uint64_t>(seconds) * 1000;
                token_used_ = false;
                window_open_ = true;
                seconds_ = seconds;
            }
        }
        token = token_;
    }
    if (no_token) {
        log("[pairing] eslestirme belirteci olusturulamadi (rastgele kaynak hatasi)");
        std::lock_guard<std::mutex> l(listen_mutex_);
        last_error_ = "pairing token: the random source failed";
        return {};
    }
    {
        std::lock_guard<std::mutex> l(listen_mutex_);
        if (!listening_) listening_ = start_listening();
    }

    bool over = false;
    const std::string uri =
        fit_pairing_uri(host_id_, control_port, fingerprint_hex_, token, addresses, encode_uri_name(host_name_), over);
    if (over) {
        log("[pairing] UYARI: QR URI %zu bayt (> %zu): QR surum 11+ olabilir, okuma zorlasabilir", uri.size(),
            kPairingUriLimit);
    }
    return uri;
}

bool PairingListener::start_listening() {
    platform::TcpListener l;
    const platform::SocketResult r = l.listen(tuning_.bind_address, tuning_.port, 1, true);
    if (!r.ok()) {
        log("[pairing] port %u dinlenemedi: WSA %d", static_cast<unsigned>(tuning_.port), r.error_code);
        last_error_ = "pairing port " + std::to_string(tuning_.port) + " listen: " + platform::describe(r);
        return false;
    }
    last_error_.clear();
    const uint16_t port = l.port();
    bound_port_.store(port);
    uint32_t seconds = 0;
    {
        std::lock_guard<std::mutex> g(window_mutex_);
        seconds = seconds_;
    }
    log("[pairing] eslestirme penceresi acildi (%u, %u sn)", static_cast<unsigned>(port),
        static_cast<unsigned>(seconds));
    server_.listen(std::move(l));
    return true;
}

bool PairingListener::log_allowed() {
    std::lock_guard<std::mutex> g(limiter_mutex_);
    return limiter_.request(clock_.now_ms());
}

void PairingListener::report_suppressed_lines(bool all) {
    uint64_t suppressed = 0;
    {
        std::lock_guard<std::mutex> g(limiter_mutex_);
        suppressed = all ? limiter_.take_all_suppressed() : limiter_.take_suppressed(clock_.now_ms());
    }
    if (suppressed == 0) return;
    log("[pairing] gunluk hiz siniri: %" PRIu64 " baglanti satiri yazilmadi (bu calismada: sinira takilan %" PRIu64
        ", el sikisma son tarihi %" PRIu64 ")",
        suppressed, server_.refused_count() + server_.evicted_count(), server_.deadline_count());
}

void PairingListener::on_tick() {
    report_suppressed_lines(false);
    // The window ended: no new phones, but the ones being served finish.
    std::lock_guard<std::mutex> l(listen_mutex_);
    if (!listening_) return;
    {
        std::lock_guard<std::mutex> g(window_mutex_);
        if (window_accepting_locked(clock_.now_ms())) return;
    }
    server_.close_listeners();
    listening_ = false;
    bound_port_.store(0);
}

void PairingListener::close_window() {
    {
        std::lock_guard<std::mutex> g(window_mutex_);
        window_open_ = false;
    }
    // Ends every connection and closes the listener.
    server_.stop();
    report_suppressed_lines(true);
    std::lock_guard<std::mutex> l(listen_mutex_);
    listening_ = false;
    bound_port_.store(0);
}

uint32_t PairingListener::remaining_seconds() {
    std::lock_guard<std::mutex> g(window_mutex_);
    const uint64_t now = clock_.now_ms();
    if (!window_open_ || now >= deadline_ms_) return 0;
    return static_cast<uint32_t>((deadline_ms_ - now + 999) / 1000);
}

std::string PairingListener::verify_code() const { return verify_code_of(fingerprint_hex_); }

std::string PairingListener::last_error() const {
    std::lock_guard<std::mutex> l(listen_mutex_);
    return last_error_;
}

bool PairingListener::on_accepted(TlsConnection& conn) {
    // A connection whose first line is over the budget writes none of its
    // later lines either (but a pairing is always logged).
    const bool say = log_allowed();
    conn.set_lines(say ? TlsLines::written : TlsLines::quiet);
    if (say) log("[pairing] baglanti: %s", platform::endpoint_text(conn.peer()).c_str());
    return true;
}

void PairingListener::on_refused(TlsConnection& conn) {
    if (!log_allowed()) return;
    log("[pairing] cok fazla esanli baglanti, reddedildi: %s", platform::endpoint_text(conn.peer()).c_str());
}

void PairingListener::on_admitted(TlsConnection& conn) {
    conn.socket().set_receive_timeout(tuning_.socket_timeout_ms);
    conn.socket().set_send_timeout(tuning_.socket_timeout_ms);
}

void PairingListener::reply(TlsConnection& conn, bool ok, const char* reason) {
    proto::PairResult result;
    result.ok = ok;
    result.host_id = host_id_;
    if (reason != nullptr) result.reason = reason;
    if (ok) result.host_name = host_name_;
    proto::Bytes frame;
    if (proto::encode_pairing(result, frame)) conn.write(frame);
    // Half-close and read what the phone still sends, so the reply is not
    // lost to a reset.
    conn.shutdown(platform::ShutdownHow::send);
    conn.drain(clock_, tuning_.drain_ms, 50);
}

void PairingListener::serve(TlsConnection& conn) {
    const std::string peer = platform::endpoint_text(conn.peer());
    const bool say = conn.lines() == TlsLines::written;
    const TlsConnection::Handshake hs = conn.handshake(identity_);
    if (hs == TlsConnection::Handshake::failed) {
        if (say) log("[pairing] el sikisma basarisiz, reddedildi: %s", peer.c_str());
        return;
    }
    if (hs == TlsConnection::Handshake::no_certificate) {
        if (say) log("[pairing] SONUC: reddedildi (sertifika yok) %s", peer.c_str());
        reply(conn, false, "no_certificate");
        return;
    }

    // The request: one frame within the budget.
    std::optional<proto::PairRequest> request;
    const uint64_t start = clock_.now_ms();
    conn.read_frames(
        4096, [&] { return clock_.now_ms() - start < tuning_.request_budget_ms; },
        [&](uint8_t type, proto::ByteView payload) {
            auto decoded = proto::decode_pairing(type, payload);
            if (decoded.ok() && std::holds_alternative<proto::PairRequest>(decoded.message)) {
                request = std::get<proto::PairRequest>(std::move(decoded.message));
            }
            return false;
        });

    if (!request) {
        if (say) log("[pairing] SONUC: reddedildi (PairRequest gelmedi) %s", peer.c_str());
        reply(conn, false, "no_request");
        return;
    }
    bool accepted = false;
    {
        std::lock_guard<std::mutex> g(window_mutex_);
        const uint64_t now = clock_.now_ms();
        if (window_open_ && !token_used_ && now < deadline_ms_ && same_token(request->token, token_)) {
            token_used_ = true;
            accepted = true;
        }
    }
    if (!accepted) {
        if (say) {
            log("[pairing] SONUC: reddedildi (gecersiz/suresi dolmus token) client_id=%s %s",
                peer_text(request->client_id).c_str(), peer.c_str());
        }
        reply(conn, false, "invalid_or_expired_token");
        return;
    }
    pair(conn, *request, peer);
}

void PairingListener::pair(TlsConnection& conn, const proto::PairRequest& request, const std::string& peer) {
    const Fingerprint& fp = conn.fingerprint();
    PairingRecord record;
    record.client_id = request.client_id;
    record.fingerprint = fp;
    record.name = request.client_name.value_or(request.client_id);
    record.paired_at = platform::utc_stamp(platform::utc_civil(clock_.wall_ms()));
    record.last_seen_at = record.paired_at;
    const std::optional<PairingRecord> before = store_.find_by_fingerprint(fp);
    store_.upsert(record);
    if (!store_.save()) {
        // The host would forget the phone at its next start while the phone
        // believes it is paired: refuse, and leave the store as it was. The
        // token stays usable for another try.
        if (before) {
            store_.upsert(*before);
        } else {
            store_.remove_by_fingerprint(fp);
        }
        {
            std::lock_guard<std::mutex> g(window_mutex_);
            if (same_token(request.token, token_)) token_used_ = false;
        }
        pairing_not_saved_.store(true);
        log("[pairing] SONUC: reddedildi (eslesme kaydedilemedi) client_id=%s fp=%s %s",
            peer_text(request.client_id).c_str(),
            to_hex(fp).c_str(), peer.c_str());
        reply(conn, false, kPairReasonNotSaved);
        return;
    }
    log("[pairing] SONUC: eslesti client_id=%s fp=%s %s", peer_text(request.client_id).c_str(), to_hex(fp).c_str(),
        peer.c_str());
    reply(conn, true, nullptr);
}

}  // namespace sorvane
