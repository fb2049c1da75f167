// Socket port: IPv4 TCP listeners and streams, and UDP sockets, with owned
// handles. Every call reports a status plus the system's error number, so
// callers can print the same numbers on every platform.
//
// Threads: one thread may block in recv or accept while another sends or calls
// shutdown on the same object; shutdown is how a blocked reader or acceptor is
// woken. close() must only be called when no other thread uses the object.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sorvane::platform {

// An IPv4 address (first octet in the high byte) and a port.
struct Endpoint {
    uint32_t address = 0;
    uint16_t port = 0;

    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

inline constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

// "%u.%u.%u.%u" of an address.
std::string address_text(uint32_t address);
// "%u.%u.%u.%u:%u" of an endpoint.
std::string endpoint_text(const Endpoint& endpoint);
// Parses exactly four dotted decimal octets (no blanks, no leading '+', at
// most three digits each). False on anything else.
bool parse_ipv4(std::string_view text, uint32_t& address);

enum class SocketStatus {
    ok,
    timed_out,  // the wait or the socket's receive/send time-out ran out
    closed,     // the peer ended the stream in order, or the socket was shut down
    error,      // see error_code
};

// The call that failed, where callers report the steps apart (listen and
// open: creating the socket, binding it, listening on it).
enum class SocketStep : uint8_t { other, create, bind, listen };

struct SocketResult {
    SocketStatus status = SocketStatus::ok;
    int error_code = 0;  // the Winsock error number (WSAE...) on every platform, 0 when none
    size_t bytes = 0;    // bytes moved by recv and send_all (for send_all also on failure)
    SocketStep step = SocketStep::other;
    bool ok() const { return status == SocketStatus::ok; }
};

// "ok", "timed out", "closed" or "error %d (text)".
std::string describe(const SocketResult& r);

// The platform's socket handle (a file descriptor on Linux, a SOCKET on Windows).
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kInvalidSocket = -1;

enum class ShutdownHow { receive, send, both };

// A connected TCP stream. Move-only; closes its handle when destroyed.
class TcpStream {
public:
    TcpStream() = default;
    explicit TcpStream(SocketHandle adopted) : handle_(adopted) {}
    ~TcpStream();
    TcpStream(TcpStream&& other) noexcept;
    TcpStream& operator=(TcpStream&& other) noexcept;
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // Connects to remote, waiting at most timeout_ms (the caller derives it from
    // its clock). local_address, when not 0, binds the local side to that
    // address first (any port), e.g. 127.0.0.2 to appear as another host.
    // Any previous connection of this object is closed first.
    SocketResult connect(const Endpoint& remote, uint32_t timeout_ms, uint32_t local_address = 0);

    // Sends all n bytes, repeating partial sends. Never raises a signal when the
    // peer has gone. bytes tells how much went out, also on failure.
    SocketResult send_all(const void* data, size_t n);
    // Receives at most n bytes (n > 0): ok with bytes > 0, closed when the peer
    // ended the stream (or the socket was shut down), timed_out when the
    // receive time-out ran out.
    SocketResult recv(void* buf, size_t n);
    // Waits until data (or the end of the stream) can be received: ok, or
    // timed_out after timeout_ms.
    SocketResult wait_readable(uint32_t timeout_ms);

    // Ends one or both directions; wakes a thread blocked in recv.
    SocketResult shutdown(ShutdownHow how = ShutdownHow::both);

    // 0 means no time-out.
    SocketResult set_receive_timeout(uint32_t ms);
    SocketResult set_send_timeout(uint32_t ms);
    SocketResult set_no_delay(bool on);

    bool peer_endpoint(Endpoint& out) const;
    bool local_endpoint(Endpoint& out) const;

    bool is_open() const { return handle_ != kInvalidSocket; }
    SocketHandle native_handle() const { return handle_; }
    void close();

private:
    SocketHandle handle_ = kInvalidSocket;
    // Set by shutdown(); where the system's shutdown does not end a blocked
    // receive (Winsock), waits look at it.
    std::atomic<bool> shut_{false};
};

// A listening TCP socket. Move-only; closes its handle when destroyed.
class TcpListener {
public:
    TcpListener() = default;
    ~TcpListener();
    TcpListener(TcpListener&& other) noexcept;
    TcpListener& operator=(TcpListener&& other) noexcept;
    TcpListener(const TcpListener&) = delete;
    TcpListener& operator=(const TcpListener&) = delete;

    // Binds bind_address (dotted IPv4 text) and port (0 = chosen by the system,
    // see port()) and listens. backlog 0 means the system's maximum.
    // reuse_address lets the port be bound again while old connections of a
    // previous listener linger. A bad address text gives error with EINVAL's
    // platform equivalent.
    SocketResult listen(std::string_view bind_address, uint16_t port, int backlog = 0, bool reuse_address = false);

    // Waits at most timeout_ms (negative: without limit) for a connection and
    // accepts it into out. timed_out when none came; closed after shutdown().
    SocketResult accept(TcpStream& out, Endpoint* peer, int32_t timeout_ms = -1);

    // Wakes a thread blocked in accept; later accepts report closed.
    void shutdown();

    // The bound port (useful after listening on port 0); 0 when not listening.
    uint16_t port() const { return port_; }
    bool is_open() const { return handle_ != kInvalidSocket; }
    SocketHandle native_handle() const { return handle_; }
    void close();

private:
    SocketHandle handle_ = kInvalidSocket;
    uint16_t port_ = 0;
    std::atomic<bool> shut_{false};  // as TcpStream's
};

// One datagram of a batch: bytes that stay valid during the call.
struct DatagramView {
    const void* data = nullptr;
    size_t size = 0;
};

// Datagrams a batch send hands to the system in one call, at most.
inline constexpr size_t kUdpBatchMax = 64;

// A UDP socket. Move-only; closes its handle when destroyed.
//
// Threads: one thread may block in receive_from while others call send_to;
// shutdown() wakes the receiver (later receives report closed).
class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&& other) noexcept;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Binds bind_address (dotted IPv4 text) and port (0 = chosen by the
    // system, see port()). An ICMP "port unreachable" that answers an earlier
    // send is never reported as a failure of a later receive. A bad address
    // text gives error with EINVAL's platform equivalent.
    SocketResult open(std::string_view bind_address, uint16_t port);

    // Asks for a send or receive buffer of requested bytes and reports what
    // the system granted (it may grant less, or count differently).
    SocketResult set_send_buffer(uint32_t requested, uint32_t& granted);
    SocketResult set_receive_buffer(uint32_t requested, uint32_t& granted);

    // One datagram; ok only when the whole datagram was accepted (bytes = n).
    SocketResult send_to(const Endpoint& to, const void* data, size_t n);

    // count datagrams to one endpoint, in order, in as few system calls as
    // the platform allows (Linux: up to kUdpBatchMax a call). Each datagram
    // keeps its own outcome: results[i] is what send_to would have reported
    // for datagram i, and one that fails does not stop the others. Returns
    // how many went out whole.
    size_t send_batch(const Endpoint& to, const DatagramView* datagrams, size_t count, SocketResult* results);

    // Waits at most timeout_ms (negative: without limit) for one datagram and
    // copies at most cap bytes of it into buf (the rest of a longer datagram
    // is lost; truncated tells). ok with bytes (which may be 0 for an empty
    // datagram), timed_out when none came, closed after shutdown().
    SocketResult receive_from(void* buf, size_t cap, Endpoint* source, int32_t timeout_ms,
                              bool* truncated = nullptr);

    // Wakes a thread blocked in receive_from; later receives report closed.
    void shutdown();

    // The bound port (useful after opening port 0); 0 when not open.
    uint16_t port() const { return port_; }
    bool is_open() const { return handle_ != kInvalidSocket; }
    SocketHandle native_handle() const { return handle_; }
    void close();

private:
    SocketHandle handle_ = kInvalidSocket;
    uint16_t port_ = 0;
    std::atomic<bool> shut_{false};
};

}  // namespace sorvane::platform
