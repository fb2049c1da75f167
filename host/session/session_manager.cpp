#include "host/session/session_manager.h"

#include <cinttypes>
#include <set>

#include "host/core/log.h"
#include "host/protocol/input_messages.h"
#include "platform/crash.h"

namespace sorvane {

namespace {

constexpr uint64_t kTickMs = 200;
// Lines peers cause: 16 per 10 s (about a hundred a minute) from all of them together.
constexpr uint32_t kPeerLineBudget = 16;
constexpr uint64_t kPeerLineWindowMs = 10'000;
// Control connections of one certificate still waiting for their Handshake:
// a device can never hold the places another device needs.
constexpr size_t kAwaitingHandshakePerCertificate = 2;

std::string first8(const std::string& id) {
    std::string out = id.substr(0, 8);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126) c = '?';
    return out;
}

uint32_t input_session_id(const proto::InputMessage& m) {
    return std::visit([](const auto& v) { return v.session_id; }, m);
}

}  // namespace

SessionManager::SessionManager(ITransport& transport, const HostOptions& options, ISessionMonitors& monitors,
                               const SessionServices& services)
    : transport_(transport),
      options_(options),
      monitors_(monitors),
      services_(services),
      peer_lines_(*services.clock, kPeerLineBudget, kPeerLineWindowMs) {}

SessionManager::~SessionManager() {
    stop_ticks();
    std::map<ConnId, std::shared_ptr<Session>> left;
    {
        std::lock_guard lock(mutex_);
        left.swap(by_conn_);
        by_id_.clear();
        admitted_.clear();
    }
    for (auto& [conn, session] : left) session->finish();
}

size_t SessionManager::open_locked() const {
    size_t open = 0;
    for (auto& [conn, s] : by_conn_)
        if (s->state() != SessionState::Closed) ++open;
    return open;
}

void SessionManager::on_control_connected(ConnId conn_id, const Endpoint& peer, const Fingerprint& fingerprint) {
    std::unique_lock lock(mutex_);
    const size_t open = open_locked();
    size_t awaiting = 0;
    for (auto& [conn, s] : by_conn_)
        if (s->fingerprint() == fingerprint && s->state() == SessionState::AwaitHandshake) ++awaiting;
    if (open >= options_.max_sessions || awaiting >= kAwaitingHandshakePerCertificate) {
        ++refused_connections_;
        lock.unlock();
        if (peer_lines_.allow()) {
            if (open >= options_.max_sessions)
                log("[manager] control connection %" PRIu64 " refused: %zu sessions already open (max %zu)", conn_id,
                    open, options_.max_sessions);
            else
                log("[manager] control connection %" PRIu64
                    " refused: its device already has %zu connection(s) waiting for their Handshake (max %zu)",
                    conn_id, awaiting, kAwaitingHandshakePerCertificate);
        }
        transport_.close_connection(conn_id);
        return;
    }
    const uint32_t id = next_id_++;
    // A device opening connection after connection writes a few lines each;
    // past the budget its sessions stay quiet until one is admitted.
    const bool loud = peer_lines_.allow();
    auto session =
        std::make_shared<Session>(id, conn_id, peer, transport_, options_, *this, fingerprint, services_, loud);
    by_conn_[conn_id] = session;
    by_id_[id] = session;
    if (loud) log("[manager] control connection %" PRIu64 " -> session %u (%zu open)", conn_id, id, by_conn_.size());
}

void SessionManager::on_control_message(ConnId conn_id, uint8_t type, proto::ByteView payload) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex_);
        auto it = by_conn_.find(conn_id);
        if (it == by_conn_.end()) return;
        session = it->second;
    }
    session->handle_control(type, payload);
}

void SessionManager::on_control_closed(ConnId conn_id) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex_);
        auto it = by_conn_.find(conn_id);
        if (it == by_conn_.end()) return;
        session = it->second;
        by_id_.erase(session->session_id());
        admitted_.erase(session->session_id());
        by_conn_.erase(it);
        if (session->loud()) log("[manager] session %u closed (%zu open)", session->session_id(), by_conn_.size());
    }
    session->finish();
}

bool SessionManager::device_has_session(const Fingerprint& fingerprint) {
    std::lock_guard lock(mutex_);
    for (auto& [conn, s] : by_conn_)
        if (s->fingerprint() == fingerprint && s->state() != SessionState::Closed) return true;
    return false;
}

void SessionManager::on_input_message(const Endpoint& peer, const Fingerprint& fingerprint, uint8_t type,
                                      proto::ByteView payload) {
    auto decoded = proto::decode_input(type, payload);
    if (decoded.status == proto::DecodeStatus::unknown) return;
    if (decoded.status != proto::DecodeStatus::ok) {
        ++malformed_;
        if (peer_lines_.allow())
            log("[manager] REJECTED malformed input message 0x%02X from %s", type,
                platform::endpoint_text(peer).c_str());
        return;
    }
    const uint32_t id = input_session_id(decoded.message);
    std::shared_ptr<Session> session = session_by_id(id);
    if (!session) {
        ++unknown_session_;
        if (peer_lines_.allow())
            log("[manager] REJECTED input for unknown session %u from %s", id, platform::endpoint_text(peer).c_str());
        return;
    }
    // Session ids are easy to guess: only the session's own device, known
    // by the certificate of its input connection, may type into it.
    if (session->fingerprint() != fingerprint) {
        ++wrong_device_;
        if (peer_lines_.allow())
            log("[manager] REJECTED input for session %u from %s: wrong device (certificate %s)", id,
                platform::endpoint_text(peer).c_str(), to_hex(fingerprint).substr(0, 16).c_str());
        return;
    }
    if (session->peer().address != peer.address) {
        ++wrong_ip_;
        if (peer_lines_.allow())
            log("[manager] REJECTED input for session %u from %s (control peer is %s)", id,
                ipv4_text(peer.address).c_str(), ipv4_text(session->peer().address).c_str());
        return;
    }
    if (session->on_input(decoded.message))
        ++accepted_;
    else
        ++not_active_;
}

void SessionManager::on_video_hello(const Endpoint& source, uint32_t session_id, proto::ByteView datagram) {
    std::shared_ptr<Session> session = session_by_id(session_id);
    if (session) {
        session->handle_video_hello(source, datagram);
        return;
    }
    const uint32_t n = ++unknown_hello_;
    if (peer_lines_.allow())
        log("[manager] VideoHello from %s dropped: unknown session %u (reason=unknown_session); %u so far",
            platform::endpoint_text(source).c_str(), session_id, n);
}

// Only sessions older than the caller (smaller ids) are ended: two sessions
// of one device never end each other, and the caller, which holds its own
// mutex, only ever waits for an older session's mutex. The admitted devices
// are the record: a session is in it from its admission on, before it has
// even stored its client id, and an older one admitted after the caller was
// refused there (admit_device).
void SessionManager::supersede_older_sessions(const std::string& client_id, uint32_t session_id) {
    if (client_id.empty()) return;
    std::vector<std::shared_ptr<Session>> older;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, cid] : admitted_) {
            if (id >= session_id || cid != client_id) continue;
            const auto it = by_id_.find(id);
            if (it != by_id_.end()) older.push_back(it->second);
        }
    }
    for (auto& s : older) {
        log("[manager] client %s reconnected as session %u: ending the older session %u", first8(client_id).c_str(),
            session_id, s->session_id());
        s->superseded();
    }
}

DeviceAdmission SessionManager::admit_device(const std::string& client_id, uint32_t session_id) {
    std::lock_guard lock(mutex_);
    // The newest connection of a device wins, whichever finishes its
    // Handshake first.
    for (auto& [id, cid] : admitted_) {
        if (id > session_id && cid == client_id) {
            log("[manager] session %u (client %s) refused: the newer session %u of the same device is already "
                "admitted",
                session_id, first8(client_id).c_str(), id);
            return DeviceAdmission::superseded;
        }
    }
    std::vector<std::string> others;
    for (auto& [id, cid] : admitted_)
        if (id != session_id) others.push_back(cid);
    std::set<std::string> distinct;
    for (auto& cid : others)
        if (cid != client_id) distinct.insert(cid);
    if (distinct.size() < options_.max_devices) {
        admitted_[session_id] = client_id;
        return DeviceAdmission::admitted;
    }
    if (peer_lines_.allow())
        log("[manager] session %u (client %s) refused: %zu other device(s) connected, at most %zu at a time",
            session_id, first8(client_id).c_str(), others.size(), options_.max_devices);
    return DeviceAdmission::device_limit;
}

std::vector<std::shared_ptr<Session>> SessionManager::sessions_in_order() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Session>> out;
    for (auto& [id, s] : by_id_) out.push_back(s);
    return out;
}

void SessionManager::tick_all() {
    auto sessions = sessions_in_order();
    const uint64_t now = services_.clock->now_ms();
    for (auto& s : sessions) s->tick(now);
    report_suppressed_lines(false);
}

void SessionManager::report_suppressed_lines(bool all) {
    const uint64_t suppressed = all ? peer_lines_.take_all_suppressed() : peer_lines_.take_suppressed();
    if (suppressed == 0) return;
    const auto c = input_counters();
    log("[manager] log budget: %" PRIu64 " lines caused by viewers not written (so far: input rejected for unknown "
        "session=%u, wrong device=%u, wrong IP=%u, not active=%u, malformed=%u; VideoHello for unknown sessions=%u; "
        "control connections refused=%u)",
        suppressed, c.unknown_session, c.wrong_device, c.wrong_ip, c.not_active, c.malformed, unknown_hello_.load(),
        refused_connections_.load());
}

void SessionManager::start_ticks() {
    if (running_.exchange(true)) return;
    counters_logged_ = false;
    tick_thread_ = std::thread([this] {
        platform::install_thread_fault_stack();
        while (running_.load()) {
            tick_all();
            std::unique_lock lock(tick_mutex_);
            services_.clock->wait_until(lock, tick_cv_, services_.clock->now_ms() + kTickMs,
                                        [this] { return !running_.load(); });
        }
    });
}

void SessionManager::stop_ticks() {
    {
        std::lock_guard lock(tick_mutex_);
        if (!running_.exchange(false)) return;
    }
    tick_cv_.notify_all();
    if (tick_thread_.joinable()) tick_thread_.join();
    report_suppressed_lines(true);
    log_input_counters();
}

void SessionManager::log_input_counters() {
    const auto c = input_counters();
    log("[manager] input frames: accepted=%u rejected=%u (unknown session=%u, wrong device=%u, wrong IP=%u, session "
        "not active=%u, malformed=%u)",
        c.accepted, c.unknown_session + c.wrong_device + c.wrong_ip + c.not_active + c.malformed, c.unknown_session,
        c.wrong_device, c.wrong_ip, c.not_active, c.malformed);
}

InputCountersSnapshot SessionManager::input_counters() const {
    return {accepted_.load(),  unknown_session_.load(), wrong_device_.load(),
            wrong_ip_.load(),  not_active_.load(),      malformed_.load()};
}

size_t SessionManager::open_session_count() const {
    std::lock_guard lock(mutex_);
    return by_conn_.size();
}

std::shared_ptr<Session> SessionManager::session_by_id(uint32_t session_id) const {
    std::lock_guard lock(mutex_);
    auto it = by_id_.find(session_id);
    return it == by_id_.end() ? nullptr : it->second;
}

std::vector<std::string> SessionManager::connected_device_names() const {
    std::vector<std::string> out;
    for (auto& s : sessions_in_order()) {
        const std::string id = s->client_id();
        if (id.empty()) continue;
        const std::string name = s->client_name();
        out.push_back(name.empty() ? id : name);
    }
    return out;
}

std::vector<DeviceStreamInfo> SessionManager::device_stream_info() const {
    std::vector<DeviceStreamInfo> out;
    for (auto& s : sessions_in_order()) {
        DeviceStreamInfo info;
        info.client_id = s->client_id();
        if (info.client_id.empty()) continue;
        info.name = s->client_name();
        if (info.name.empty()) info.name = info.client_id;
        info.stream = s->stream_info();
        info.over_usb = s->over_usb();
        out.push_back(std::move(info));
    }
    return out;
}

bool SessionManager::disconnect_device(const std::string& client_id, const std::string& text) {
    for (auto& s : sessions_in_order()) {
        if (s->client_id() == client_id) {
            s->host_disconnect(text);
            return true;
        }
    }
    return false;
}

}  // namespace sorvane
