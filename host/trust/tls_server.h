// The host's one TLS server, shared by the pairing listener and the
// transport: accept loops (one per listener), admission limits, one thread
// per connection, the handshake with the certificate check, the frame read
// loop, the drain after a half-close, deadlines and delayed closes on the
// injected clock, and the collection of ended connections. What a connection
// means is the handler's business.
//
// Threads: one acceptor per listener, one thread per connection and one
// housekeeping thread (deadlines, delayed closes, collecting ended
// connections, the handler's tick). Locks: the server's table, then a
// connection's own locks; the handler is never called with a server lock held.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "host/protocol/wire.h"
#include "host/trust/fingerprint.h"
#include "host/trust/tls_channel.h"
#include "host/trust/tls_identity.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace sorvane {

struct TlsServerTuning {
    // From accept until the handler settles the connection; 0 = no deadline.
    uint64_t deadline_ms = 0;
    // Connections neither settled nor ended, in total and from one address;
    // more are refused at accept.
    size_t max_pending = std::numeric_limits<size_t>::max();
    size_t max_pending_per_address = std::numeric_limits<size_t>::max();
    // When the total is reached, shut down a connection still in its TLS
    // handshake to make room instead of refusing the new one (a silent or
    // dribbling peer cannot keep a real one out): the oldest one that is
    // leaving, else the oldest of the address that holds the most places.
    bool evict_oldest_handshake = false;
    // From accept until the TLS handshake has finished; 0 = no such deadline.
    uint64_t handshake_deadline_ms = 0;
    // Housekeeping runs at least this often on the clock.
    uint32_t tick_ms = 200;
    // Pause after a failed accept (out of descriptors, ...), doubled while
    // accepting keeps failing, up to the maximum.
    uint32_t accept_retry_ms = 50;
    uint32_t accept_retry_max_ms = 2'000;
};

class TlsServer;

// One accepted TCP connection, shared by the server's table and its thread.
class TlsConnection {
public:
    enum class Handshake : uint8_t { failed, no_certificate, ok };
    enum class ReadEnd : uint8_t { closed, invalid_frame, stopped };
    // One frame; the payload is valid during the call. False stops reading.
    using FrameHandler = std::function<bool(uint8_t type, proto::ByteView payload)>;

    TlsConnection(platform::TcpStream socket, const platform::Endpoint& peer, uint64_t id, int listener,
                  uint64_t accept_ms);
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // Counted from 1 across every listener of the server.
    uint64_t id() const { return id_; }
    // The index the listener was given in TlsServer::listen.
    int listener() const { return listener_; }
    const platform::Endpoint& peer() const { return peer_; }
    uint64_t accept_ms() const { return accept_ms_; }
    // For socket options, from the handler's accept callbacks.
    platform::TcpStream& socket() { return socket_; }

    // Whether the channel writes its "[tls]" lines; set before serve runs.
    void set_lines(TlsLines lines) { lines_ = lines; }
    TlsLines lines() const { return lines_; }

    // The server side of the handshake with identity, then the client's
    // certificate: ok with fingerprint() set, no_certificate, or failed.
    Handshake handshake(const TlsIdentity& identity);
    const Fingerprint& fingerprint() const { return fingerprint_; }

    // Ends the deadline: false when it had already fired (the connection is
    // being shut down and must end).
    bool settle();
    bool settled() const { return settled_.load(); }
    bool timed_out() const { return timed_out_.load(); }
    bool ended() const { return ended_.load(); }
    // The TLS handshake has finished, well or not.
    bool handshake_finished() const { return handshake_finished_.load(); }
    // Shut down to make room for a newer connection.
    bool evicted() const { return evicted_.load(); }
    // The handler is only seeing the connection out (a refusal being read by
    // the peer): it may make room for a newer one like a handshake may.
    void set_leaving() { leaving_.store(true); }
    bool leaving() const { return leaving_.load(); }

    // Writes all bytes through the channel. Any thread; false when the
    // connection has no channel, is closed, or the write failed. Shutting the
    // connection down wakes a blocked write.
    bool write(proto::ByteView bytes);

    // Reads frames of chunk-sized receives while keep_reading() holds: closed
    // when the peer ended the stream (or a receive failed), invalid_frame,
    // or stopped (keep_reading or on_frame said so).
    ReadEnd read_frames(size_t chunk, const std::function<bool()>& keep_reading, const FrameHandler& on_frame);

    // After a half-close: reads away what the peer still sends, so that the
    // close does not reset a reply it has not read yet. Ends when the peer
    // closes, on an error, or after drain_ms of clock, looked at after every
    // real wait of at most slice_ms.
    void drain(platform::IClock& clock, uint64_t drain_ms, uint32_t slice_ms);

    // Shuts the socket down while it is open (a closed one is left alone, as
    // its number may already belong to another socket); wakes blocked calls.
    void shutdown(platform::ShutdownHow how);

private:
    friend class TlsServer;
    void close();
    void finish_handshake();

    const uint64_t id_;
    const int listener_;
    const platform::Endpoint peer_;
    const uint64_t accept_ms_;
    TlsLines lines_ = TlsLines::written;

    // Held by writers for a whole write and by close, so a descriptor is never
    // closed (and reused) under a running write.
    std::mutex io_mutex_;
    // The socket's open state, the channel pointer and settle against the
    // deadline; held only briefly, so a shutdown can always wake a blocked call.
    std::mutex mutex_;
    platform::TcpStream socket_;
    std::unique_ptr<TlsChannel> channel_;  // destroyed before the socket
    Fingerprint fingerprint_{};

    std::atomic<bool> settled_{false};
    std::atomic<bool> timed_out_{false};
    std::atomic<bool> ended_{false};
    std::atomic<bool> handshake_finished_{false};
    std::atomic<bool> evicted_{false};
    std::atomic<bool> leaving_{false};

    // The server's, under its table lock.
    std::thread thread_;
    uint64_t deadline_at_ = 0;  // 0: none
    uint64_t handshake_at_ = 0; // 0: none
    uint64_t close_at_ = 0;     // 0: none
};

class TlsServer {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
        // Acceptor thread, before admission: false drops the connection.
        virtual bool on_accepted(TlsConnection&) { return true; }
        // Acceptor thread: the admission limits refused the connection.
        virtual void on_refused(TlsConnection&) {}
        // Acceptor thread, under the server's lock: admitted, before the
        // connection is counted or its thread starts. Must not call back
        // into the server.
        virtual void on_admitted(TlsConnection&) {}
        // The connection's own thread: the whole exchange. The server closes
        // the connection when it returns.
        virtual void serve(TlsConnection& conn) = 0;
        // Housekeeping thread, after each round. May call close_listeners.
        virtual void on_tick() {}
    };

    TlsServer(platform::IClock& clock, Handler& handler, TlsServerTuning tuning = {});
    ~TlsServer();
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // Accepts on a listening socket from now on; index tags its connections.
    void listen(platform::TcpListener listener, int index = 0);
    // Stops accepting and closes the listeners; connections carry on.
    void close_listeners();
    // Ends everything: the listeners, every connection (each thread joined)
    // and housekeeping. A second call does nothing; listen starts again.
    void stop();

    // Shuts connection id down fully after delay_ms of clock (unless it ended
    // before). Unknown ids are ignored.
    void close_after(uint64_t id, uint64_t delay_ms);
    std::shared_ptr<TlsConnection> find(uint64_t id);

    // Connections in the table (ended ones stay until housekeeping collects them).
    size_t connection_count();
    // Connections admitted and not yet ended.
    size_t active_count();
    bool listening();
    // Since the last reset: connections refused by the admission limits,
    // shut down by their deadline, and accepts that failed.
    uint64_t refused_count() const { return refused_.load(); }
    uint64_t deadline_count() const { return deadline_.load(); }
    uint64_t accept_failures() const { return accept_failures_.load(); }
    // Connections shut down in their handshake to make room for a newer one.
    uint64_t evicted_count() const { return evicted_total_.load(); }
    void reset_counts();
    // Returns once a housekeeping round (the handler's tick included) that
    // began after this call is over: what is due at the clock's time now has
    // been done. At once when housekeeping does not run.
    void wait_for_round();

private:
    struct Acceptor {
        platform::TcpListener listener;
        int index = 0;
        std::atomic<bool> stopping{false};
        std::thread thread;
    };

    void accept_loop(Acceptor& acceptor);
    void admit(std::shared_ptr<TlsConnection> conn);
    void run(const std::shared_ptr<TlsConnection>& conn);
    void housekeeping_loop();
    // One round: shuts down what is due, returns the ended connections and
    // the next time something is due.
    uint64_t round_locked(uint64_t now, std::vector<std::shared_ptr<TlsConnection>>& ended);
    void wake_locked() { ++wake_generation_; }

    platform::IClock& clock_;
    Handler& handler_;
    const TlsServerTuning tuning_;

    std::mutex control_mutex_;  // listen, close_listeners and stop against each other
    std::list<std::unique_ptr<Acceptor>> acceptors_;
    std::thread housekeeping_;

    std::mutex mutex_;  // the table and housekeeping's state
    std::condition_variable cv_;
    std::map<uint64_t, std::shared_ptr<TlsConnection>> table_;
    uint64_t wake_generation_ = 0;
    bool housekeeping_stop_ = false;
    bool housekeeping_running_ = false;
    uint64_t rounds_asked_ = 0;  // wait_for_round's requests
    uint64_t rounds_done_ = 0;   // the requests a finished round served

    std::atomic<uint64_t> next_id_{1};
    std::atomic<uint64_t> refused_{0};
    std::atomic<uint64_t> deadline_{0};
    std::atomic<uint64_t> accept_failures_{0};
    std::atomic<uint64_t> evicted_total_{0};
};

}  // namespace sorvane
