#include "host/trust/tls_server.h"

#include <algorithm>
#include <vector>

#include "host/protocol/frame_reader.h"
#include "platform/crash.h"

namespace sorvane {

// ---- one connection ----

TlsConnection::TlsConnection(platform::TcpStream socket, const platform::Endpoint& peer, uint64_t id, int listener,
                             uint64_t accept_ms)
    : id_(id), listener_(listener), peer_(peer), accept_ms_(accept_ms), socket_(std::move(socket)) {}

TlsConnection::Handshake TlsConnection::handshake(const TlsIdentity& identity) {
    {
        auto channel = TlsChannel::create(socket_, identity, lines_);
        std::lock_guard<std::mutex> g(mutex_);
        channel_ = std::move(channel);
    }
    const bool done = channel_->handshake();
    finish_handshake();
    if (!done) return Handshake::failed;
    if (!channel_->has_peer_certificate()) return Handshake::no_certificate;
    fingerprint_ = channel_->peer_fingerprint().value_or(Fingerprint{});
    return Handshake::ok;
}

void TlsConnection::finish_handshake() {
    std::lock_guard<std::mutex> g(mutex_);
    handshake_finished_.store(true);
}

bool TlsConnection::settle() {
    std::lock_guard<std::mutex> g(mutex_);
    if (timed_out_.load()) return false;
    settled_.store(true);
    return true;
}

bool TlsConnection::write(proto::ByteView bytes) {
    std::lock_guard<std::mutex> io(io_mutex_);
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!socket_.is_open() || !channel_) return false;
    }
    // The socket cannot close while io_mutex_ is held; a shutdown from
    // another thread still wakes this write.
    return channel_->write(bytes.data(), bytes.size());
}

TlsConnection::ReadEnd TlsConnection::read_frames(size_t chunk, const std::function<bool()>& keep_reading,
                                                  const FrameHandler& on_frame) {
    std::vector<uint8_t> buf(chunk);
    proto::FrameReader reader;
    while (keep_reading()) {
        const int64_t n = channel_->read(buf.data(), buf.size());
        if (n <= 0) return ReadEnd::closed;
        reader.append(proto::ByteView(buf.data(), static_cast<size_t>(n)));
        for (;;) {
            const proto::FrameReader::Result f = reader.next();
            if (f.status == proto::FrameReader::Status::need_more) break;
            if (f.status == proto::FrameReader::Status::invalid) return ReadEnd::invalid_frame;
            if (!on_frame(f.type, f.payload)) return ReadEnd::stopped;
        }
    }
    return ReadEnd::stopped;
}

void TlsConnection::drain(platform::IClock& clock, uint64_t drain_ms, uint32_t slice_ms) {
    const uint64_t start = clock.now_ms();
    char sink[256];
    for (;;) {
        const uint64_t elapsed = clock.now_ms() - start;
        if (elapsed >= drain_ms) break;
        // Short waits, so the drain time follows the clock.
        const uint64_t slice = std::min<uint64_t>(drain_ms - elapsed, std::max<uint32_t>(slice_ms, 1));
        const platform::SocketResult w = socket_.wait_readable(static_cast<uint32_t>(slice));
        if (w.status == platform::SocketStatus::timed_out) continue;
        if (!w.ok() || !socket_.recv(sink, sizeof sink).ok()) break;
    }
}

void TlsConnection::shutdown(platform::ShutdownHow how) {
    std::lock_guard<std::mutex> g(mutex_);
    if (socket_.is_open()) socket_.shutdown(how);
}

void TlsConnection::close() {
    std::lock_guard<std::mutex> io(io_mutex_);
    std::lock_guard<std::mutex> g(mutex_);
    channel_.reset();
    socket_.close();
}

// ---- the server ----

TlsServer::TlsServer(platform::IClock& clock, Handler& handler, TlsServerTuning tuning)
    : clock_(clock), handler_(handler), tuning_(tuning) {}

TlsServer::~TlsServer() { stop(); }

void TlsServer::listen(platform::TcpListener listener, int index) {
    std::lock_guard<std::mutex> c(control_mutex_);
    if (!housekeeping_.joinable()) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            housekeeping_stop_ = false;
        }
        housekeeping_ = std::thread([this] {
            platform::install_thread_fault_stack();
            housekeeping_loop();
        });
    }
    auto acceptor = std::make_unique<Acceptor>();
    acceptor->listener = std::move(listener);
    acceptor->index = index;
    Acceptor& a = *acceptor;
    acceptors_.push_back(std::move(acceptor));
    a.thread = std::thread([this, &a] {
        platform::install_thread_fault_stack();
        accept_loop(a);
    });
}

void TlsServer::close_listeners() {
    std::lock_guard<std::mutex> c(control_mutex_);
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (auto& a : acceptors_) a->stopping.store(true);
    }
    cv_.notify_all();
    for (auto& a : acceptors_) a->listener.shutdown();
    for (auto& a : acceptors_) {
        if (a->thread.joinable()) a->thread.join();
        a->listener.close();
    }
    acceptors_.clear();
}

bool TlsServer::listening() {
    std::lock_guard<std::mutex> c(control_mutex_);
    return !acceptors_.empty();
}

void TlsServer::stop() {
    close_listeners();
    // No acceptor runs any more, so no connection can join the table after this.
    {
        std::lock_guard<std::mutex> g(mutex_);
        for (auto& [id, conn] : table_) conn->shutdown(platform::ShutdownHow::both);
    }
    for (;;) {
        std::shared_ptr<TlsConnection> conn;
        {
            std::lock_guard<std::mutex> g(mutex_);
            if (table_.empty()) break;
            conn = table_.begin()->second;
            table_.erase(table_.begin());
        }
        if (conn->thread_.joinable()) conn->thread_.join();
    }
    // Housekeeping may call close_listeners from its tick: joined without
    // control_mutex_ held.
    {
        std::lock_guard<std::mutex> g(mutex_);
        housekeeping_stop_ = true;
    }
    cv_.notify_all();
    std::thread housekeeping;
    {
        std::lock_guard<std::mutex> c(control_mutex_);
        housekeeping = std::move(housekeeping_);
    }
    if (housekeeping.joinable()) housekeeping.join();
}

void TlsServer::close_after(uint64_t id, uint64_t delay_ms) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        const auto it = table_.find(id);
        if (it == table_.end() || housekeeping_stop_) return;
        it->second->close_at_ = std::max<uint64_t>(clock_.now_ms() + delay_ms, 1);
        wake_locked();
    }
    cv_.notify_all();
}

std::shared_ptr<TlsConnection> TlsServer::find(uint64_t id) {
    std::lock_guard<std::mutex> g(mutex_);
    const auto it = table_.find(id);
    return it == table_.end() ? nullptr : it->second;
}

size_t TlsServer::connection_count() {
    std::lock_guard<std::mutex> g(mutex_);
    return table_.size();
}

size_t TlsServer::active_count() {
    std::lock_guard<std::mutex> g(mutex_);
    return static_cast<size_t>(
        std::count_if(table_.begin(), table_.end(), [](const auto& e) { return !e.second->ended(); }));
}

void TlsServer::reset_counts() {
    refused_.store(0);
    deadline_.store(0);
    accept_failures_.store(0);
    evicted_total_.store(0);
}

void TlsServer::accept_loop(Acceptor& a) {
    uint32_t retry_ms = 0;
    while (!a.stopping.load()) {
        platform::TcpStream socket;
        platform::Endpoint peer;
        const platform::SocketResult r = a.listener.accept(socket, &peer, -1);
        if (r.status == platform::SocketStatus::closed || a.stopping.load()) break;
        if (r.status == platform::SocketStatus::timed_out) continue;
        if (!r.ok()) {
            // Out of descriptors and the like: the pending connection stays
            // queued, so trying again at once would only spin.
            accept_failures_.fetch_add(1);
            retry_ms = retry_ms == 0 ? tuning_.accept_retry_ms
                                     : std::min<uint32_t>(retry_ms * 2, tuning_.accept_retry_max_ms);
            std::unique_lock<std::mutex> lock(mutex_);
            clock_.wait_until(lock, cv_, clock_.now_ms() + retry_ms, [&a] { return a.stopping.load(); });
            continue;
        }
        retry_ms = 0;
        admit(std::make_shared<TlsConnection>(std::move(socket), peer, next_id_.fetch_add(1), a.index,
                                              clock_.now_ms()));
    }
}

void TlsServer::admit(std::shared_ptr<TlsConnection> conn) {
    if (!handler_.on_accepted(*conn)) return;  // the socket closes with conn
    bool admitted = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        // An evicted connection is on its way out and holds no place.
        auto pending = [](const TlsConnection& c) { return !c.settled() && !c.ended() && !c.evicted(); };
        size_t total = 0;
        std::map<uint32_t, size_t> per_address;
        for (auto& [id, c] : table_) {
            if (!pending(*c)) continue;
            ++total;
            ++per_address[c->peer().address];
        }
        const size_t same = per_address[conn->peer().address];
        // The one to make room: the oldest one leaving anyway; else one
        // still in its handshake, from the address that holds the most
        // places, the oldest of those (the table runs in id order). Sockets
        // stalled from a few addresses then only ever replace each other,
        // never a lone viewer from an address of its own.
        TlsConnection* oldest = nullptr;
        for (auto& [id, c] : table_) {
            if (!pending(*c)) continue;
            if (c->leaving()) {
                if (oldest == nullptr || !oldest->leaving()) oldest = c.get();
                continue;
            }
            if (c->handshake_finished() || (oldest != nullptr && oldest->leaving())) continue;
            if (oldest == nullptr || per_address[c->peer().address] > per_address[oldest->peer().address])
                oldest = c.get();
        }
        const bool room = total < tuning_.max_pending;
        admitted = same < tuning_.max_pending_per_address &&
                   (room || (tuning_.evict_oldest_handshake && oldest != nullptr));
        if (admitted && !room) {
            std::lock_guard<std::mutex> og(oldest->mutex_);
            // Still in its handshake or leaving (it may just have finished
            // its handshake: then the newcomer is admitted one over the
            // limit, once).
            if (!oldest->handshake_finished_.load() || oldest->leaving()) {
                oldest->evicted_.store(true);
                evicted_total_.fetch_add(1);  // counted before its peer can see the end
                if (oldest->socket_.is_open()) oldest->socket_.shutdown(platform::ShutdownHow::both);
            }
        }
        if (admitted) {
            if (tuning_.deadline_ms != 0) conn->deadline_at_ = conn->accept_ms() + tuning_.deadline_ms;
            if (tuning_.handshake_deadline_ms != 0) {
                conn->handshake_at_ = conn->accept_ms() + tuning_.handshake_deadline_ms;
            }
            // The handler sees the connection before anything else can (its
            // deadline rounds, the counts), so its first line comes first.
            handler_.on_admitted(*conn);
            table_.emplace(conn->id(), conn);
            wake_locked();
        }
    }
    if (!admitted) {
        refused_.fetch_add(1);
        handler_.on_refused(*conn);
        return;
    }
    cv_.notify_all();
    std::lock_guard<std::mutex> g(mutex_);
    conn->thread_ = std::thread([this, conn] {
        platform::install_thread_fault_stack();
        run(conn);
    });
}

void TlsServer::run(const std::shared_ptr<TlsConnection>& conn) {
    handler_.serve(*conn);
    conn->close();
    conn->ended_.store(true);
    {
        std::lock_guard<std::mutex> g(mutex_);
        wake_locked();
    }
    cv_.notify_all();
}

uint64_t TlsServer::round_locked(uint64_t now, std::vector<std::shared_ptr<TlsConnection>>& ended) {
    uint64_t next = now + std::max<uint32_t>(tuning_.tick_ms, 1);
    for (auto it = table_.begin(); it != table_.end();) {
        TlsConnection& c = *it->second;
        if (c.ended()) {
            ended.push_back(it->second);
            it = table_.erase(it);
            continue;
        }
        ++it;
        if (c.deadline_at_ != 0 && !c.settled() && !c.timed_out()) {
            if (now >= c.deadline_at_) {
                std::lock_guard<std::mutex> g(c.mutex_);
                if (!c.settled_.load()) {
                    c.timed_out_.store(true);
                    if (c.socket_.is_open()) c.socket_.shutdown(platform::ShutdownHow::both);
                    deadline_.fetch_add(1);
                }
            } else {
                next = std::min(next, c.deadline_at_);
            }
        }
        if (c.handshake_at_ != 0 && !c.handshake_finished() && !c.timed_out()) {
            if (now >= c.handshake_at_) {
                std::lock_guard<std::mutex> g(c.mutex_);
                if (!c.handshake_finished_.load()) {
                    c.timed_out_.store(true);
                    if (c.socket_.is_open()) c.socket_.shutdown(platform::ShutdownHow::both);
                    deadline_.fetch_add(1);
                }
            } else {
                next = std::min(next, c.handshake_at_);
            }
        }
        if (c.close_at_ != 0) {
            if (now >= c.close_at_) {
                c.close_at_ = 0;
                c.shutdown(platform::ShutdownHow::both);
            } else {
                next = std::min(next, c.close_at_);
            }
        }
    }
    return next;
}

void TlsServer::wait_for_round() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!housekeeping_running_) return;
    const uint64_t ticket = ++rounds_asked_;
    wake_locked();
    cv_.notify_all();
    cv_.wait(lock, [this, ticket] { return rounds_done_ >= ticket || !housekeeping_running_; });
}

void TlsServer::housekeeping_loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    housekeeping_running_ = true;
    while (!housekeeping_stop_) {
        const uint64_t serving = rounds_asked_;
        std::vector<std::shared_ptr<TlsConnection>> ended;
        const uint64_t next = round_locked(clock_.now_ms(), ended);
        const uint64_t generation = wake_generation_;
        lock.unlock();
        for (auto& c : ended) {
            if (c->thread_.joinable()) c->thread_.join();
        }
        ended.clear();
        handler_.on_tick();
        lock.lock();
        if (rounds_done_ != serving) {
            rounds_done_ = serving;
            cv_.notify_all();
        }
        if (housekeeping_stop_) break;
        clock_.wait_until(lock, cv_, next,
                          [this, generation] { return housekeeping_stop_ || wake_generation_ != generation; });
    }
    housekeeping_running_ = false;
    cv_.notify_all();
}

}  // namespace sorvane
