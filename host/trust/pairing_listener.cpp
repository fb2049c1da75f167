#include "host/trust/pairing_listener.h"

#include <cinttypes>

#include "common/text.h"
#include "host/core/log.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/pairing_messages.h"
#include "host/trust/tls_channel.h"
#include "platform/random.h"

namespace sorvane {

struct PairingListener::Conn {
    std::mutex mutex;  // socket close against a shutdown from the acceptor
    platform::TcpStream socket;
    std::string peer;
    uint64_t started_ms = 0;
    bool closed = false;
    std::atomic<bool> done{false};
    std::thread thread;

    void shutdown() {
        std::lock_guard<std::mutex> g(mutex);
        if (!closed) socket.shutdown(platform::ShutdownHow::both);
    }
    void close() {
        std::lock_guard<std::mutex> g(mutex);
        socket.close();
        closed = true;
    }
};

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

PairingListener::PairingListener(const TlsIdentity& identity, PairingStore& store, std::string host_id,
                                 std::string host_name, platform::IClock& clock, PairingListenerTuning tuning)
    : identity_(identity),
      store_(store),
      host_id_(std::move(host_id)),
      host_name_(std::move(host_name)),
      fingerprint_hex_(to_hex(identity.fingerprint())),
      clock_(clock),
      tuning_(std::move(tuning)) {}

PairingListener::~PairingListener() { close_window(); }

bool PairingListener::window_accepting_locked(uint64_t now) const { return window_open_ && now < deadline_ms_; }

std::string PairingListener::open_window(uint16_t control_port, const std::vector<std::string>& addresses, bool force,
                                         uint32_t seconds) {
    std::string token;
    bool start = false;
    {
        std::lock_guard<std::mutex> g(window_mutex_);
        const uint64_t now = clock_.now_ms();
        if (force || !window_open_ || token_used_ || now >= deadline_ms_) {
            uint8_t bytes[16];
            platform::secure_random(bytes, sizeof bytes);
            token_ = sorvane::to_hex(bytes, sizeof bytes);
            deadline_ms_ = now + static_cast<uint64_t>(seconds) * 1000;
            token_used_ = false;
            window_open_ = true;
            seconds_ = seconds;
        }
        token = token_;
        if (!running_) {
            running_ = true;
            start = true;
        }
    }
    if (start) {
        // A previous acceptor has ended (it cleared running); collect it.
        if (acceptor_.joinable()) acceptor_.join();
        stop_.store(false);
        if (start_listening()) {
            acceptor_ = std::thread([this] { accept_loop(); });
        } else {
            std::lock_guard<std::mutex> g(window_mutex_);
            running_ = false;
        }
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
        return false;
    }
    listener_ = std::move(l);
    bound_port_.store(listener_.port());
    uint32_t seconds = 0;
    {
        std::lock_guard<std::mutex> g(window_mutex_);
        seconds = seconds_;
    }
    log("[pairing] eslestirme penceresi acildi (%u, %u sn)", static_cast<unsigned>(listener_.port()),
        static_cast<unsigned>(seconds));
    return true;
}

void PairingListener::close_window() {
    {
        std::lock_guard<std::mutex> g(window_mutex_);
        window_open_ = false;
    }
    stop_.store(true);
    {
        std::lock_guard<std::mutex> g(conns_mutex_);
        for (auto& c : conns_) c->shutdown();
    }
    // The acceptor ends every connection and closes the listener before it returns.
    if (acceptor_.joinable()) acceptor_.join();
}

uint32_t PairingListener::remaining_seconds() {
    std::lock_guard<std::mutex> g(window_mutex_);
    const uint64_t now = clock_.now_ms();
    if (!window_open_ || now >= deadline_ms_) return 0;
    return static_cast<uint32_t>((deadline_ms_ - now + 999) / 1000);
}

std::string PairingListener::verify_code() const { return verify_code_of(fingerprint_hex_); }

void PairingListener::reap(bool all) {
    std::list<std::shared_ptr<Conn>> finished;
    {
        std::lock_guard<std::mutex> g(conns_mutex_);
        const uint64_t now = clock_.now_ms();
        for (auto it = conns_.begin(); it != conns_.end();) {
            Conn& c = **it;
            if (all || c.done.load()) {
                finished.push_back(*it);
                it = conns_.erase(it);
                continue;
            }
            // A peer that dribbles bytes must not hold a connection for ever.
            if (now - c.started_ms >= tuning_.connection_deadline_ms) c.shutdown();
            ++it;
        }
    }
    for (auto& c : finished) {
        if (all) c->shutdown();
        if (c->thread.joinable()) c->thread.join();
    }
}

void PairingListener::accept_loop() {
    for (;;) {
        reap(false);
        const bool stopping = stop_.load();
        bool accepting = false;
        {
            std::lock_guard<std::mutex> wg(window_mutex_);
            accepting = !stopping && window_accepting_locked(clock_.now_ms());
            if (!accepting) {
                std::lock_guard<std::mutex> cg(conns_mutex_);
                if (conns_.empty()) {
                    running_ = false;
                    break;
                }
            }
        }
        if (stopping) {
            reap(true);
            continue;
        }
        if (!accepting) {
            // The window ended: no new phones, but the ones being served finish.
            listener_.close();
            bound_port_.store(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(tuning_.accept_poll_ms));
            continue;
        }
        if (!listener_.is_open() && !start_listening()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(tuning_.accept_poll_ms));
            continue;
        }
        platform::TcpStream s;
        platform::Endpoint peer;
        if (!listener_.accept(s, &peer, static_cast<int32_t>(tuning_.accept_poll_ms)).ok()) continue;
        const std::string peer_text = platform::endpoint_text(peer);
        log("[pairing] baglanti: %s", peer_text.c_str());
        if (active_.load() >= tuning_.max_connections) {
            log("[pairing] cok fazla esanli baglanti, reddedildi: %s", peer_text.c_str());
            continue;  // s closes here
        }
        s.set_receive_timeout(tuning_.socket_timeout_ms);
        s.set_send_timeout(tuning_.socket_timeout_ms);
        auto conn = std::make_shared<Conn>();
        conn->socket = std::move(s);
        conn->peer = peer_text;
        conn->started_ms = clock_.now_ms();
        active_.fetch_add(1);
        std::lock_guard<std::mutex> g(conns_mutex_);
        conns_.push_back(conn);
        conn->thread = std::thread([this, conn] { serve(conn); });
    }
    listener_.close();
    bound_port_.store(0);
}

void PairingListener::reply(Conn& conn, TlsChannel& channel, bool ok, const char* reason) {
    proto::PairResult result;
    result.ok = ok;
    result.host_id = host_id_;
    if (reason != nullptr) result.reason = reason;
    if (ok) result.host_name = host_name_;
    proto::Bytes frame;
    if (proto::encode_pairing(result, frame)) channel.write(frame.data(), frame.size());
    // Half-close and read what the phone still sends, so the reply is not
    // lost to a reset.
    conn.socket.shutdown(platform::ShutdownHow::send);
    const uint64_t start = clock_.now_ms();
    char sink[256];
    for (;;) {
        const uint64_t elapsed = clock_.now_ms() - start;
        if (elapsed >= tuning_.drain_ms) break;
        if (!conn.socket.wait_readable(static_cast<uint32_t>(tuning_.drain_ms - elapsed)).ok()) break;
        if (!conn.socket.recv(sink, sizeof sink).ok()) break;
    }
}

void PairingListener::serve(const std::shared_ptr<Conn>& conn) {
    Conn& c = *conn;
    auto channel = TlsChannel::create(c.socket, identity_);
    if (!channel || !channel->handshake()) {
        log("[pairing] el sikisma basarisiz, reddedildi: %s", c.peer.c_str());
    } else if (!channel->has_peer_certificate()) {
        log("[pairing] SONUC: reddedildi (sertifika yok) %s", c.peer.c_str());
        reply(c, *channel, false, "no_certificate");
    } else {
        // The request: one frame within the budget.
        std::optional<proto::PairRequest> request;
        proto::FrameReader reader;
        const uint64_t start = clock_.now_ms();
        uint8_t buf[4096];
        while (clock_.now_ms() - start < tuning_.request_budget_ms) {
            const int64_t n = channel->read(buf, sizeof buf);
            if (n <= 0) break;
            reader.append(proto::ByteView(buf, static_cast<size_t>(n)));
            const proto::FrameReader::Result f = reader.next();
            if (f.status == proto::FrameReader::Status::need_more) continue;
            if (f.status == proto::FrameReader::Status::frame) {
                auto decoded = proto::decode_pairing(f.type, f.payload);
                if (decoded.ok() && std::holds_alternative<proto::PairRequest>(decoded.message)) {
                    request = std::get<proto::PairRequest>(std::move(decoded.message));
                }
            }
            break;
        }

        if (!request) {
            log("[pairing] SONUC: reddedildi (PairRequest gelmedi) %s", c.peer.c_str());
            reply(c, *channel, false, "no_request");
        } else {
            bool accepted = false;
            {
                std::lock_guard<std::mutex> g(window_mutex_);
                const uint64_t now = clock_.now_ms();
                if (window_open_ && !token_used_ && now < deadline_ms_ && same_token(request->token, token_)) {
                    token_used_ = true;
                    accepted = true;
                }
            }
            if (accepted) {
                const Fingerprint fp = channel->peer_fingerprint().value_or(Fingerprint{});
                PairingRecord record;
                record.client_id = request->client_id;
                record.fingerprint = fp;
                record.name = request->client_name.value_or(request->client_id);
                record.paired_at = platform::utc_stamp(platform::utc_civil(clock_.wall_ms()));
                record.last_seen_at = record.paired_at;
                store_.upsert(record);
                store_.save();  // a failed save still pairs for this run
                log("[pairing] SONUC: eslesti client_id=%s fp=%s %s", request->client_id.c_str(),
                    to_hex(fp).c_str(), c.peer.c_str());
                reply(c, *channel, true, nullptr);
            } else {
                log("[pairing] SONUC: reddedildi (gecersiz/suresi dolmus token) client_id=%s %s",
                    request->client_id.c_str(), c.peer.c_str());
                reply(c, *channel, false, "invalid_or_expired_token");
            }
        }
    }
    channel.reset();
    c.close();
    active_.fetch_sub(1);
    c.done.store(true);
}

}  // namespace sorvane
