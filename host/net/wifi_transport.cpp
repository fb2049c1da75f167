#include "host/net/wifi_transport.h"

#include <algorithm>
#include <cinttypes>

#include "host/core/log.h"
#include "host/protocol/control_messages.h"
#include "host/protocol/frame_reader.h"
#include "host/protocol/reasons.h"
#include "host/net/video_datagram.h"
#include "host/trust/pairing_store.h"
#include "host/trust/tls_channel.h"
#include "host/trust/tls_identity.h"
#include "host/trust/tls_log.h"

namespace sorvane {

// One accepted TCP connection, shared by the table, its thread and the closer.
struct WifiTransport::Conn {
    Kind kind = Kind::control;
    ConnId conn_id = 0;
    Endpoint peer;
    uint64_t accept_ms = 0;
    bool log_permitted = false;  // written before the thread starts

    // Held by writers for a whole TLS write and by whoever closes the socket,
    // so a descriptor is never closed (and reused) under a running write.
    std::mutex io_mutex;
    // Guards the socket's open state; held only for shutdown and close, so a
    // shutdown can always wake a blocked reader or writer.
    std::mutex mutex;
    platform::TcpStream socket;
    std::unique_ptr<TlsChannel> channel;  // destroyed before the socket

    std::thread thread;  // set under the table lock
    std::atomic<bool> done{false};
    std::atomic<bool> authenticated{false};
    std::atomic<bool> timed_out{false};
    Fingerprint fingerprint{};

    // Shuts the socket down while it is open; a closed one is left alone, as
    // its number may already belong to another socket.
    void shutdown(platform::ShutdownHow how) {
        std::lock_guard<std::mutex> g(mutex);
        if (socket.is_open()) socket.shutdown(how);
    }
};

namespace {

const char* kind_name(bool control) { return control ? "control" : "input"; }

}  // namespace

WifiTransport::WifiTransport(platform::IClock& clock, TransportTuning tuning)
    : clock_(clock), tuning_(tuning), limiter_(tuning.log_budget, tuning.log_window_ms) {}

WifiTransport::~WifiTransport() { stop(); }

bool WifiTransport::log_allowed() {
    std::lock_guard<std::mutex> g(limiter_mutex_);
    return limiter_.request(clock_.now_ms());
}

bool WifiTransport::open_listener(Kind kind, platform::TcpListener& listener) {
    const char* name = kind_name(kind == Kind::control);
    const uint16_t port = kind == Kind::control ? options_.control_port : options_.input_port;
    uint32_t address = 0;
    if (!platform::parse_ipv4(options_.bind_address, address)) {
        log("[transport] bad bind address '%s'", options_.bind_address.c_str());
        return false;
    }
    const platform::SocketResult r = listener.listen(options_.bind_address, port, 0);
    if (!r.ok()) {
        log("[transport] %s tcp %s:%u bind/listen failed: WSA error %d", name, options_.bind_address.c_str(),
            static_cast<unsigned>(port), r.error_code);
        listener.close();
        return false;
    }
    (kind == Kind::control ? control_port_ : input_port_).store(listener.port());
    log("[transport] %s tcp listening on %s:%u", name, options_.bind_address.c_str(),
        static_cast<unsigned>(listener.port()));
    return true;
}

bool WifiTransport::start(const HostOptions& options, ITransportSink& sink) {
    stop();
    options_ = options;
    sink_ = &sink;
    if (options_.identity == nullptr || !options_.identity->valid()) {
        log("[transport] no usable TLS identity");
        return false;
    }
    refused_.store(0);
    deadline_.store(0);
    {
        std::lock_guard<std::mutex> g(udp_mutex_);
        udp_rx_ = 0;
        udp_malformed_ = 0;
        udp_per_address_.clear();
        udp_last_source_ = Endpoint{};
    }

    auto close_all = [this] {
        control_listener_.close();
        input_listener_.close();
        udp_.close();
        control_port_.store(0);
        input_port_.store(0);
        video_port_.store(0);
    };
    if (!open_listener(Kind::control, control_listener_) || !open_listener(Kind::input, input_listener_)) {
        close_all();
        return false;
    }

    platform::SocketResult r = udp_.open(options_.bind_address, options_.video_port);
    if (!r.ok()) {
        log("[transport] video udp %s:%u bind failed: WSA error %d", options_.bind_address.c_str(),
            static_cast<unsigned>(options_.video_port), r.error_code);
        close_all();
        return false;
    }
    // The system may grant less than asked (or count differently): log what
    // it gave, whatever it is.
    uint32_t granted = 0;
    udp_.set_send_buffer(options_.udp_send_buffer, granted);
    udp_send_buffer_granted_.store(granted);
    video_port_.store(udp_.port());
    log("[transport] video udp bound on %s:%u (send buffer requested %d, granted %d)", options_.bind_address.c_str(),
        static_cast<unsigned>(udp_.port()), static_cast<int>(options_.udp_send_buffer), static_cast<int>(granted));

    {
        std::lock_guard<std::mutex> g(closer_mutex_);
        closer_stop_ = false;
        closer_queue_.clear();
    }
    running_.store(true);
    started_ = true;
    closer_ = std::thread([this] { closer_loop(); });
    control_acceptor_ = std::thread([this] { accept_loop(Kind::control); });
    input_acceptor_ = std::thread([this] { accept_loop(Kind::input); });
    udp_receiver_ = std::thread([this] { udp_loop(); });
    return true;
}

void WifiTransport::stop() {
    const bool was_running = running_.exchange(false);
    if (!was_running && !started_) return;
    started_ = false;

    // Wake the acceptors and the receiver at once rather than at their next poll.
    control_listener_.shutdown();
    input_listener_.shutdown();
    udp_.shutdown();
    if (control_acceptor_.joinable()) control_acceptor_.join();
    if (input_acceptor_.joinable()) input_acceptor_.join();
    if (udp_receiver_.joinable()) udp_receiver_.join();

    // No acceptor runs any more, so no connection can join the table after this.
    {
        std::lock_guard<std::mutex> g(table_mutex_);
        for (auto& [id, conn] : table_) conn->shutdown(platform::ShutdownHow::both);
    }
    for (;;) {
        std::shared_ptr<Conn> conn;
        {
            std::lock_guard<std::mutex> g(table_mutex_);
            if (table_.empty()) break;
            conn = table_.begin()->second;
            table_.erase(table_.begin());
        }
        if (conn->thread.joinable()) conn->thread.join();
    }

    // Every connection has ended: pending delayed closes have nothing left to do.
    {
        std::lock_guard<std::mutex> g(closer_mutex_);
        closer_stop_ = true;
        closer_queue_.clear();
    }
    closer_cv_.notify_all();
    if (closer_.joinable()) closer_.join();

    control_listener_.close();
    input_listener_.close();
    udp_.close();
    control_port_.store(0);
    input_port_.store(0);
    video_port_.store(0);
}

size_t WifiTransport::connection_count() {
    std::lock_guard<std::mutex> g(table_mutex_);
    return table_.size();
}

std::shared_ptr<WifiTransport::Conn> WifiTransport::find(ConnId conn_id) {
    std::lock_guard<std::mutex> g(table_mutex_);
    const auto it = table_.find(conn_id);
    return it == table_.end() ? nullptr : it->second;
}

bool WifiTransport::send_control(ConnId conn_id, proto::ByteView bytes) {
    const std::shared_ptr<Conn> conn = find(conn_id);
    if (!conn) return false;
    std::lock_guard<std::mutex> io(conn->io_mutex);
    {
        std::lock_guard<std::mutex> g(conn->mutex);
        if (!conn->socket.is_open() || !conn->channel || !conn->authenticated.load()) return false;
    }
    // The socket cannot close while io_mutex is held; a shutdown from the
    // closer or from stop still wakes this write.
    return conn->channel->write(bytes.data(), bytes.size());
}

void WifiTransport::close_connection(ConnId conn_id) {
    const std::shared_ptr<Conn> conn = find(conn_id);
    if (!conn) return;
    // What was written before goes out ahead of the end of the stream.
    conn->shutdown(platform::ShutdownHow::send);
    schedule_close(conn);
}

bool WifiTransport::send_video(const Endpoint& to, proto::ByteView datagram) {
    return udp_.send_to(to, datagram.data(), datagram.size()).ok();
}

UdpStats WifiTransport::udp_stats(uint32_t peer_address) {
    std::lock_guard<std::mutex> g(udp_mutex_);
    UdpStats s;
    s.udp_rx = udp_rx_;
    s.malformed = udp_malformed_;
    s.last_source = udp_last_source_;
    const auto it = udp_per_address_.find(peer_address);
    s.from_peer = it == udp_per_address_.end() ? 0 : it->second;
    return s;
}

// ---- the delayed closer ----

void WifiTransport::schedule_close(const std::shared_ptr<Conn>& conn) {
    {
        std::lock_guard<std::mutex> g(closer_mutex_);
        if (closer_stop_) return;
        closer_queue_.emplace(clock_.now_ms() + tuning_.close_delay_ms, conn);
        ++closer_generation_;
    }
    closer_cv_.notify_all();
}

void WifiTransport::closer_loop() {
    std::unique_lock<std::mutex> lock(closer_mutex_);
    while (!closer_stop_) {
        if (closer_queue_.empty()) {
            closer_cv_.wait(lock, [this] { return closer_stop_ || !closer_queue_.empty(); });
            continue;
        }
        const uint64_t due = closer_queue_.begin()->first;
        if (clock_.now_ms() < due) {
            const uint64_t generation = closer_generation_;
            clock_.wait_until(lock, closer_cv_, due,
                              [this, generation] { return closer_stop_ || closer_generation_ != generation; });
            continue;
        }
        std::shared_ptr<Conn> conn = closer_queue_.begin()->second;
        closer_queue_.erase(closer_queue_.begin());
        lock.unlock();
        conn->shutdown(platform::ShutdownHow::both);
        conn.reset();
        lock.lock();
    }
}

// ---- acceptors ----

void WifiTransport::housekeeping() {
    std::vector<std::shared_ptr<Conn>> ended;
    uint64_t fired = 0;
    {
        std::lock_guard<std::mutex> g(table_mutex_);
        for (auto it = table_.begin(); it != table_.end();) {
            if (it->second->done.load()) {
                ended.push_back(it->second);
                it = table_.erase(it);
            } else {
                ++it;
            }
        }
        const uint64_t now = clock_.now_ms();
        for (auto& [id, conn] : table_) {
            if (conn->authenticated.load() || conn->done.load() || conn->timed_out.load()) continue;
            if (now - conn->accept_ms < tuning_.handshake_deadline_ms) continue;
            std::lock_guard<std::mutex> c(conn->mutex);
            if (conn->authenticated.load()) continue;
            conn->timed_out.store(true);
            if (conn->socket.is_open()) conn->socket.shutdown(platform::ShutdownHow::both);
            ++fired;
        }
    }
    deadline_.fetch_add(fired);
    for (auto& conn : ended) {
        if (conn->thread.joinable()) conn->thread.join();
    }
}

void WifiTransport::report_suppressed_lines() {
    uint64_t suppressed = 0;
    {
        std::lock_guard<std::mutex> g(limiter_mutex_);
        suppressed = limiter_.take_suppressed(clock_.now_ms());
    }
    if (suppressed == 0) return;
    log("[transport] gunluk hiz siniri: %" PRIu64 " baglanti satiri yazilmadi (bu calismada: sinira takilan %" PRIu64
        ", el sikisma son tarihi %" PRIu64 ")",
        suppressed, refused_.load(), deadline_.load());
}

void WifiTransport::accept_loop(Kind kind) {
    platform::TcpListener& listener = kind == Kind::control ? control_listener_ : input_listener_;
    const char* name = kind_name(kind == Kind::control);
    while (running_.load()) {
        housekeeping();
        report_suppressed_lines();

        platform::TcpStream socket;
        Endpoint peer;
        const platform::SocketResult r = listener.accept(socket, &peer, static_cast<int32_t>(tuning_.poll_ms));
        if (r.status == platform::SocketStatus::closed) break;
        if (!r.ok() || !running_.load()) continue;
        socket.set_no_delay(true);
        socket.set_send_timeout(tuning_.send_timeout_ms);
        const std::string peer_text = platform::endpoint_text(peer);

        if (options_.allowed_ip != 0 && peer.address != options_.allowed_ip) {
            log("[transport] %s connection from %s refused (--allow-ip)", name, peer_text.c_str());
            continue;
        }

        auto conn = std::make_shared<Conn>();
        conn->kind = kind;
        conn->conn_id = next_conn_id_.fetch_add(1);
        conn->peer = peer;
        conn->accept_ms = clock_.now_ms();
        conn->socket = std::move(socket);

        bool admitted = false;
        {
            std::lock_guard<std::mutex> g(table_mutex_);
            size_t total = 0;
            size_t same = 0;
            for (auto& [id, c] : table_) {
                if (c->authenticated.load() || c->done.load()) continue;
                ++total;
                if (c->peer.address == peer.address) ++same;
            }
            admitted = total < tuning_.max_unauthenticated && same < tuning_.max_unauthenticated_per_address;
            if (admitted) table_.emplace(conn->conn_id, conn);
        }
        if (!admitted) {
            refused_.fetch_add(1);
            if (log_allowed()) {
                log("[transport] %s connection from %s refused: too many unauthenticated connections (limit %zu "
                    "total, %zu per address)",
                    name, peer_text.c_str(), tuning_.max_unauthenticated, tuning_.max_unauthenticated_per_address);
            }
            continue;  // the socket closes with conn
        }
        conn->log_permitted = log_allowed();
        if (conn->log_permitted) {
            log("[transport] %s connection %" PRIu64 " from %s", name, conn->conn_id, peer_text.c_str());
        }
        std::lock_guard<std::mutex> g(table_mutex_);
        conn->thread = std::thread([this, conn] { serve(conn); });
    }
}

// ---- connections ----

void WifiTransport::finish(Conn& conn) {
    {
        std::lock_guard<std::mutex> io(conn.io_mutex);
        std::lock_guard<std::mutex> g(conn.mutex);
        conn.socket.close();
    }
    conn.done.store(true);
}

void WifiTransport::refuse_unpaired(Conn& conn) {
    proto::HandshakeAck ack;
    ack.protocol = options_.protocol_version;
    ack.host_id = options_.transport_host_id.empty() ? options_.host_id : options_.transport_host_id;
    ack.accepted = false;
    ack.reason = std::string(proto::kReasonNotPaired);
    proto::Bytes frame;
    if (proto::encode_control(ack, frame)) conn.channel->write(frame.data(), frame.size());
    conn.shutdown(platform::ShutdownHow::send);
    // Read what the viewer still sends so that closing does not reset the
    // connection before the reply is read. Bounded three ways: the drain
    // time, the delayed full shutdown, and stop.
    std::shared_ptr<Conn> self;
    {
        std::lock_guard<std::mutex> g(table_mutex_);
        const auto it = table_.find(conn.conn_id);
        if (it != table_.end()) self = it->second;
    }
    if (self) schedule_close(self);
    const uint64_t start = clock_.now_ms();
    char sink[256];
    for (;;) {
        const uint64_t elapsed = clock_.now_ms() - start;
        if (elapsed >= tuning_.refusal_drain_ms) break;
        // Short waits, so the drain time follows the injected clock.
        const uint64_t slice = std::min<uint64_t>(tuning_.refusal_drain_ms - elapsed, 50);
        const platform::SocketResult w = conn.socket.wait_readable(static_cast<uint32_t>(slice));
        if (w.status == platform::SocketStatus::timed_out) continue;
        if (!w.ok() || !conn.socket.recv(sink, sizeof sink).ok()) break;
    }
}

void WifiTransport::serve(const std::shared_ptr<Conn>& conn_ref) {
    Conn& conn = *conn_ref;
    const bool control = conn.kind == Kind::control;
    const char* name = kind_name(control);
    const bool say = conn.log_permitted;

    {
        auto channel = TlsChannel::create(conn.socket, *options_.identity, say ? TlsLines::written : TlsLines::quiet);
        std::lock_guard<std::mutex> g(conn.mutex);
        conn.channel = std::move(channel);
    }
    const bool handshake_ok = conn.channel->handshake();
    if (!handshake_ok) {
        if (say) {
            log("[transport] %s connection %" PRIu64 ": TLS handshake failed%s, closing", name, conn.conn_id,
                conn.timed_out.load() ? " (5 s deadline)" : "");
        }
        finish(conn);
        return;
    }
    if (!conn.channel->has_peer_certificate()) {
        if (say) log("[transport] %s connection %" PRIu64 ": no client certificate presented, rejected", name, conn.conn_id);
        finish(conn);
        return;
    }
    conn.fingerprint = conn.channel->peer_fingerprint().value_or(Fingerprint{});
    const bool paired =
        options_.pairings != nullptr && options_.pairings->find_by_fingerprint(conn.fingerprint).has_value();
    if (!paired) {
        if (say) {
            log("[transport] %s connection %" PRIu64 ": certificate %s is not a paired device, rejected", name,
                conn.conn_id, to_hex(conn.fingerprint).c_str());
        }
        if (control) refuse_unpaired(conn);
        finish(conn);
        return;
    }
    {
        std::lock_guard<std::mutex> g(conn.mutex);
        if (!conn.timed_out.load()) conn.authenticated.store(true);
    }
    if (!conn.authenticated.load()) {
        finish(conn);
        return;
    }

    if (control) sink_->on_control_connected(conn.conn_id, conn.peer, conn.fingerprint);
    std::vector<uint8_t> buf(tuning_.receive_chunk);
    proto::FrameReader reader;
    while (running_.load()) {
        const int64_t n = conn.channel->read(buf.data(), buf.size());
        if (n <= 0) break;
        reader.append(proto::ByteView(buf.data(), static_cast<size_t>(n)));
        bool invalid = false;
        for (;;) {
            const proto::FrameReader::Result f = reader.next();
            if (f.status == proto::FrameReader::Status::need_more) break;
            if (f.status == proto::FrameReader::Status::invalid) {
                if (say) log("[transport] %s connection %" PRIu64 ": invalid frame length, closing", name, conn.conn_id);
                invalid = true;
                break;
            }
            if (control)
                sink_->on_control_message(conn.conn_id, f.type, f.payload);
            else
                sink_->on_input_message(conn.peer, f.type, f.payload);
        }
        if (invalid) break;
    }
    if (control) sink_->on_control_closed(conn.conn_id);
    finish(conn);
}

// ---- video socket ----

void WifiTransport::udp_loop() {
    std::vector<uint8_t> buf(tuning_.udp_receive_buffer);
    while (running_.load()) {
        Endpoint source;
        const platform::SocketResult r =
            udp_.receive_from(buf.data(), buf.size(), &source, static_cast<int32_t>(tuning_.poll_ms));
        if (r.status == platform::SocketStatus::closed) break;
        if (!r.ok() || r.bytes < 1) continue;
        const proto::ByteView datagram(buf.data(), r.bytes);
        const int size = static_cast<int>(r.bytes);
        const unsigned type = buf[0];

        bool first = false;
        {
            std::lock_guard<std::mutex> g(udp_mutex_);
            ++udp_rx_;
            udp_last_source_ = source;
            const auto it = udp_per_address_.find(source.address);
            if (it != udp_per_address_.end()) {
                ++it->second;
            } else if (udp_per_address_.size() < tuning_.udp_tracked_addresses) {
                udp_per_address_.emplace(source.address, 1);
                first = true;
            }
        }
        const std::string source_text = platform::endpoint_text(source);
        if (first) {
            log("[transport] video udp: first datagram from %s (%d bytes, type 0x%02X)", source_text.c_str(), size,
                type);
        }
        const HelloHeader header = decode_hello_header(datagram);
        if (header.status != HelloHeader::Status::ok) {
            uint64_t count = 0;
            {
                std::lock_guard<std::mutex> g(udp_mutex_);
                count = ++udp_malformed_;
            }
            if (count == 1 || count % 100 == 0) {
                log("[transport] video udp: datagram from %s could not be decoded as a VideoHello (%d bytes, type "
                    "0x%02X); %" PRIu64 " so far",
                    source_text.c_str(), size, type, count);
            }
            continue;
        }
        sink_->on_video_hello(source, header.session_id, datagram);
    }
}

}  // namespace sorvane
