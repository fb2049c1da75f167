// Winsock implementation of the socket port. Error codes are WSA error numbers.
//
// Waking: Winsock does not promise that shutdown() ends a receive or accept
// another thread is blocked in (closesocket does, but closing under a user is
// not allowed here). So nothing blocks in recv, accept or recvfrom: the wait is
// select() in short slices that also look at the object's shut flag, and the
// call that follows finds its data ready. shutdown() sets the flag, so a
// blocked reader or acceptor returns within one slice.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/socket.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {

namespace {

constexpr int64_t kWaitSliceMs = 50;

// Winsock is started once per process and stays started.
bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

SocketResult fail(int e) {
    SocketResult r;
    r.status = SocketStatus::error;
    r.error_code = e;
    return r;
}

SocketResult status_of(SocketStatus s) {
    SocketResult r;
    r.status = s;
    return r;
}

SocketResult timed_out(int e) {
    SocketResult r;
    r.status = SocketStatus::timed_out;
    r.error_code = e;
    return r;
}

SOCKET sock_of(SocketHandle h) { return static_cast<SOCKET>(h); }
SocketHandle handle_of(SOCKET s) { return static_cast<SocketHandle>(s); }

sockaddr_in to_sockaddr(uint32_t address, uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(address);
    sa.sin_port = htons(port);
    return sa;
}

bool from_sockaddr(const sockaddr_storage& ss, Endpoint& out) {
    if (ss.ss_family != AF_INET) return false;
    sockaddr_in sa{};
    std::memcpy(&sa, &ss, sizeof sa);
    out.address = ntohl(sa.sin_addr.s_addr);
    out.port = ntohs(sa.sin_port);
    return true;
}

// A socket that child processes do not inherit.
SOCKET new_socket(int type, int protocol) {
    if (!winsock_ready()) return INVALID_SOCKET;
    return WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool set_blocking(SOCKET s, bool blocking) {
    u_long mode = blocking ? 0 : 1;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

enum class Wait { ready, timed_out, shut, error };

// Waits until s is readable (or writable: connected or failed) for at most
// timeout_ms (negative: no limit). With a shut flag the wait is cut into
// slices and ends as soon as the flag is set.
Wait wait_socket(SOCKET s, bool for_write, int64_t timeout_ms, const std::atomic<bool>* shut) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (shut != nullptr && shut->load()) return Wait::shut;
        int64_t slice = -1;
        if (timeout_ms >= 0) {
            const int64_t elapsed = static_cast<int64_t>(GetTickCount64() - start);
            slice = std::max<int64_t>(0, timeout_ms - elapsed);
        }
        if (shut != nullptr && (slice < 0 || slice > kWaitSliceMs)) slice = kWaitSliceMs;
        fd_set set;
        fd_set failed;
        FD_ZERO(&set);
        FD_ZERO(&failed);
        FD_SET(s, &set);
        FD_SET(s, &failed);
        timeval tv{};
        tv.tv_sec = static_cast<long>(slice / 1000);
        tv.tv_usec = static_cast<long>(slice % 1000 * 1000);
        const int r = select(0, for_write ? nullptr : &set, for_write ? &set : nullptr, for_write ? &failed : nullptr,
                             slice < 0 ? nullptr : &tv);
        if (r == SOCKET_ERROR) return Wait::error;
        if (r > 0) return Wait::ready;
        if (timeout_ms >= 0 && static_cast<int64_t>(GetTickCount64() - start) >= timeout_ms) {
            if (shut != nullptr && shut->load()) return Wait::shut;
            return Wait::timed_out;
        }
    }
}

SocketResult set_dword_option(SOCKET s, int option, uint32_t ms) {
    const DWORD v = ms;
    if (setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&v), sizeof v) != 0)
        return fail(WSAGetLastError());
    return {};
}

bool bound_endpoint(SOCKET s, Endpoint& out) {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return false;
    return from_sockaddr(ss, out);
}

}  // namespace

std::string describe(const SocketResult& r) {
    switch (r.status) {
        case SocketStatus::ok:
            return "ok";
        case SocketStatus::timed_out:
            return "timed out";
        case SocketStatus::closed:
            return "closed";
        case SocketStatus::error:
            break;
    }
    return "error " + std::to_string(r.error_code) + " (" + win32::error_text(static_cast<uint32_t>(r.error_code)) +
           ")";
}

// ---- TcpStream ----

TcpStream::~TcpStream() { close(); }

TcpStream::TcpStream(TcpStream&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)), shut_(other.shut_.exchange(false)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalidSocket);
        shut_.store(other.shut_.exchange(false));
    }
    return *this;
}

void TcpStream::close() {
    if (handle_ != kInvalidSocket) {
        closesocket(sock_of(handle_));
        handle_ = kInvalidSocket;
    }
    shut_.store(false);
}

SocketResult TcpStream::connect(const Endpoint& remote, uint32_t timeout_ms, uint32_t local_address) {
    close();
    const SOCKET s = new_socket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return fail(WSAGetLastError());
    auto give_up = [s](int e) {
        closesocket(s);
        return fail(e);
    };
    if (local_address != 0) {
        const sockaddr_in local = to_sockaddr(local_address, 0);
        if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return give_up(WSAGetLastError());
    }
    if (!set_blocking(s, false)) return give_up(WSAGetLastError());
    const sockaddr_in sa = to_sockaddr(remote.address, remote.port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const int e = WSAGetLastError();
        if (e != WSAEWOULDBLOCK) return give_up(e);
        const Wait w = wait_socket(s, true, timeout_ms, nullptr);
        if (w == Wait::error) return give_up(WSAGetLastError());
        if (w == Wait::timed_out) {
            closesocket(s);
            return timed_out(WSAETIMEDOUT);
        }
        int so_error = 0;
        int len = sizeof so_error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &len) != 0)
            return give_up(WSAGetLastError());
        if (so_error != 0) return give_up(so_error);
    }
    if (!set_blocking(s, true)) return give_up(WSAGetLastError());
    handle_ = handle_of(s);
    return {};
}

SocketResult TcpStream::send_all(const void* data, size_t n) {
    SocketResult r;
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    const auto* p = static_cast<const char*>(data);
    while (r.bytes < n) {
        const int chunk = static_cast<int>(std::min<size_t>(n - r.bytes, INT_MAX));
        const int sent = ::send(sock_of(handle_), p + r.bytes, chunk, 0);
        if (sent == SOCKET_ERROR) {
            const int e = WSAGetLastError();
            const size_t done = r.bytes;
            r = (e == WSAETIMEDOUT || e == WSAEWOULDBLOCK) ? timed_out(e) : fail(e);
            r.bytes = done;
            return r;
        }
        r.bytes += static_cast<size_t>(sent);
    }
    return r;
}

SocketResult TcpStream::recv(void* buf, size_t n) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    if (n == 0) return fail(WSAEINVAL);
    const SOCKET s = sock_of(handle_);
    DWORD timeout = 0;
    int len = sizeof timeout;
    if (getsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), &len) != 0) timeout = 0;
    switch (wait_socket(s, false, timeout == 0 ? -1 : static_cast<int64_t>(timeout), &shut_)) {
        case Wait::ready:
            break;
        case Wait::shut:
            return status_of(SocketStatus::closed);
        case Wait::timed_out:
            return timed_out(WSAETIMEDOUT);
        case Wait::error:
            return fail(WSAGetLastError());
    }
    const int got = ::recv(s, static_cast<char*>(buf), static_cast<int>(std::min<size_t>(n, INT_MAX)), 0);
    if (got > 0) {
        SocketResult r;
        r.bytes = static_cast<size_t>(got);
        return r;
    }
    if (got == 0) return status_of(SocketStatus::closed);
    const int e = WSAGetLastError();
    if (e == WSAESHUTDOWN || (shut_.load() && e == WSAEINTR)) return status_of(SocketStatus::closed);
    if (e == WSAETIMEDOUT || e == WSAEWOULDBLOCK) return timed_out(e);
    return fail(e);
}

SocketResult TcpStream::wait_readable(uint32_t timeout_ms) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    switch (wait_socket(sock_of(handle_), false, timeout_ms, &shut_)) {
        case Wait::ready:
        case Wait::shut:  // the end of the stream can be received
            return {};
        case Wait::timed_out:
            return timed_out(WSAETIMEDOUT);
        case Wait::error:
            break;
    }
    return fail(WSAGetLastError());
}

SocketResult TcpStream::shutdown(ShutdownHow how) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    if (how != ShutdownHow::send) shut_.store(true);
    const int mode = how == ShutdownHow::receive ? SD_RECEIVE : how == ShutdownHow::send ? SD_SEND : SD_BOTH;
    if (::shutdown(sock_of(handle_), mode) != 0) return fail(WSAGetLastError());
    return {};
}

SocketResult TcpStream::set_receive_timeout(uint32_t ms) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    return set_dword_option(sock_of(handle_), SO_RCVTIMEO, ms);
}

SocketResult TcpStream::set_send_timeout(uint32_t ms) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    return set_dword_option(sock_of(handle_), SO_SNDTIMEO, ms);
}

SocketResult TcpStream::set_no_delay(bool on) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    const BOOL v = on ? TRUE : FALSE;
    if (setsockopt(sock_of(handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&v), sizeof v) != 0)
        return fail(WSAGetLastError());
    return {};
}

bool TcpStream::peer_endpoint(Endpoint& out) const {
    sockaddr_storage ss{};
    int len = sizeof ss;
    if (handle_ == kInvalidSocket || getpeername(sock_of(handle_), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return false;
    return from_sockaddr(ss, out);
}

bool TcpStream::local_endpoint(Endpoint& out) const {
    return handle_ != kInvalidSocket && bound_endpoint(sock_of(handle_), out);
}

// ---- TcpListener ----

TcpListener::~TcpListener() { close(); }

TcpListener::TcpListener(TcpListener&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)),
      port_(std::exchange(other.port_, 0)),
      shut_(other.shut_.exchange(false)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalidSocket);
        port_ = std::exchange(other.port_, 0);
        shut_.store(other.shut_.exchange(false));
    }
    return *this;
}

void TcpListener::close() {
    if (handle_ != kInvalidSocket) {
        closesocket(sock_of(handle_));
        handle_ = kInvalidSocket;
    }
    port_ = 0;
    shut_.store(false);
}

SocketResult TcpListener::listen(std::string_view bind_address, uint16_t port, int backlog, bool reuse_address) {
    close();
    uint32_t address = 0;
    if (!parse_ipv4(bind_address, address)) return fail(WSAEINVAL);
    const SOCKET s = new_socket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return fail(WSAGetLastError());
    auto give_up = [s](int e) {
        closesocket(s);
        return fail(e);
    };
    // Windows already lets a listener bind while old connections linger;
    // without reuse_address the port is taken exclusively, so no other socket
    // can bind over it. SO_REUSEADDR is never set: on Windows it would let
    // another process take a port in use.
    if (!reuse_address) {
        const BOOL one = TRUE;
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    }
    const sockaddr_in sa = to_sockaddr(address, port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return give_up(WSAGetLastError());
    if (::listen(s, backlog > 0 ? backlog : SOMAXCONN) != 0) return give_up(WSAGetLastError());
    // Non-blocking, so a connection that vanished between the wait and accept
    // cannot leave accept hanging.
    if (!set_blocking(s, false)) return give_up(WSAGetLastError());
    Endpoint bound;
    if (!bound_endpoint(s, bound)) return give_up(WSAGetLastError() != 0 ? WSAGetLastError() : WSAEINVAL);
    handle_ = handle_of(s);
    port_ = bound.port;
    return {};
}

SocketResult TcpListener::accept(TcpStream& out, Endpoint* peer, int32_t timeout_ms) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    for (;;) {
        switch (wait_socket(sock_of(handle_), false, timeout_ms, &shut_)) {
            case Wait::ready:
                break;
            case Wait::shut:
                return status_of(SocketStatus::closed);
            case Wait::timed_out:
                return timed_out(WSAETIMEDOUT);
            case Wait::error:
                return fail(WSAGetLastError());
        }
        sockaddr_storage ss{};
        int len = sizeof ss;
        const SOCKET s = ::accept(sock_of(handle_), reinterpret_cast<sockaddr*>(&ss), &len);
        if (s != INVALID_SOCKET) {
            // An accepted socket inherits the listener's non-blocking mode.
            if (!set_blocking(s, true)) {
                const int e = WSAGetLastError();
                closesocket(s);
                return fail(e);
            }
            out = TcpStream(handle_of(s));
            if (peer != nullptr && !from_sockaddr(ss, *peer)) *peer = Endpoint{};
            return {};
        }
        const int e = WSAGetLastError();
        if (shut_.load()) return status_of(SocketStatus::closed);
        if (e == WSAEWOULDBLOCK || e == WSAECONNRESET || e == WSAEINTR) {
            if (timeout_ms < 0) continue;
            return timed_out(WSAETIMEDOUT);
        }
        return fail(e);
    }
}

void TcpListener::shutdown() {
    shut_.store(true);
    if (handle_ != kInvalidSocket) ::shutdown(sock_of(handle_), SD_BOTH);
}

// ---- UdpSocket ----

UdpSocket::~UdpSocket() { close(); }

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)),
      port_(std::exchange(other.port_, 0)),
      shut_(other.shut_.exchange(false)) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalidSocket);
        port_ = std::exchange(other.port_, 0);
        shut_.store(other.shut_.exchange(false));
    }
    return *this;
}

void UdpSocket::close() {
    if (handle_ != kInvalidSocket) {
        closesocket(sock_of(handle_));
        handle_ = kInvalidSocket;
    }
    port_ = 0;
    shut_.store(false);
}

SocketResult UdpSocket::open(std::string_view bind_address, uint16_t port) {
    close();
    uint32_t address = 0;
    if (!parse_ipv4(bind_address, address)) return fail(WSAEINVAL);
    const SOCKET s = new_socket(SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return fail(WSAGetLastError());
    auto give_up = [s](int e) {
        closesocket(s);
        return fail(e);
    };
    // An ICMP "port unreachable" answering an earlier send would otherwise fail
    // the next receive with WSAECONNRESET (receive_from also skips it).
    BOOL report = FALSE;
    DWORD returned = 0;
    WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    const sockaddr_in sa = to_sockaddr(address, port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return give_up(WSAGetLastError());
    Endpoint bound;
    if (!bound_endpoint(s, bound)) return give_up(WSAGetLastError() != 0 ? WSAGetLastError() : WSAEINVAL);
    handle_ = handle_of(s);
    port_ = bound.port;
    return {};
}

namespace {

SocketResult set_buffer(SOCKET s, int option, uint32_t requested, uint32_t& granted) {
    const int want = requested > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(requested);
    if (setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&want), sizeof want) != 0)
        return fail(WSAGetLastError());
    int got = 0;
    int len = sizeof got;
    if (getsockopt(s, SOL_SOCKET, option, reinterpret_cast<char*>(&got), &len) != 0) return fail(WSAGetLastError());
    granted = got < 0 ? 0u : static_cast<uint32_t>(got);
    return {};
}

}  // namespace

SocketResult UdpSocket::set_send_buffer(uint32_t requested, uint32_t& granted) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    return set_buffer(sock_of(handle_), SO_SNDBUF, requested, granted);
}

SocketResult UdpSocket::set_receive_buffer(uint32_t requested, uint32_t& granted) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    return set_buffer(sock_of(handle_), SO_RCVBUF, requested, granted);
}

SocketResult UdpSocket::send_to(const Endpoint& to, const void* data, size_t n) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    if (n > static_cast<size_t>(INT_MAX)) return fail(WSAEMSGSIZE);
    const sockaddr_in sa = to_sockaddr(to.address, to.port);
    const int sent = sendto(sock_of(handle_), static_cast<const char*>(data), static_cast<int>(n), 0,
                            reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (sent == SOCKET_ERROR) {
        const int e = WSAGetLastError();
        if (e == WSAEWOULDBLOCK) return timed_out(e);
        return fail(e);
    }
    if (static_cast<size_t>(sent) != n) return fail(WSAEMSGSIZE);
    SocketResult r;
    r.bytes = n;
    return r;
}

// Winsock has no call that sends several datagrams: one sendto each.
size_t UdpSocket::send_batch(const Endpoint& to, const DatagramView* datagrams, size_t count, SocketResult* results) {
    size_t whole = 0;
    for (size_t i = 0; i < count; ++i) {
        results[i] = send_to(to, datagrams[i].data, datagrams[i].size);
        if (results[i].ok()) ++whole;
    }
    return whole;
}

SocketResult UdpSocket::receive_from(void* buf, size_t cap, Endpoint* source, int32_t timeout_ms, bool* truncated) {
    if (handle_ == kInvalidSocket) return fail(WSAENOTSOCK);
    const SOCKET s = sock_of(handle_);
    for (;;) {
        switch (wait_socket(s, false, timeout_ms, &shut_)) {
            case Wait::ready:
                break;
            case Wait::shut:
                return status_of(SocketStatus::closed);
            case Wait::timed_out:
                return timed_out(WSAETIMEDOUT);
            case Wait::error:
                return fail(WSAGetLastError());
        }
        sockaddr_storage ss{};
        int len = sizeof ss;
        const int want = static_cast<int>(std::min<size_t>(cap, INT_MAX));
        const int got = recvfrom(s, static_cast<char*>(buf), want, 0, reinterpret_cast<sockaddr*>(&ss), &len);
        bool cut = false;
        size_t bytes = 0;
        if (got == SOCKET_ERROR) {
            const int e = WSAGetLastError();
            if (shut_.load()) return status_of(SocketStatus::closed);
            if (e == WSAECONNRESET) continue;  // an ICMP answer to an earlier send
            if (e != WSAEMSGSIZE) return fail(e);
            // The datagram was longer than cap: its first cap bytes are in buf.
            cut = true;
            bytes = static_cast<size_t>(want);
        } else {
            bytes = static_cast<size_t>(got);
        }
        if (source != nullptr && !from_sockaddr(ss, *source)) *source = Endpoint{};
        if (truncated != nullptr) *truncated = cut;
        SocketResult r;
        r.bytes = bytes;
        return r;
    }
}

void UdpSocket::shutdown() {
    shut_.store(true);
    // Reports WSAENOTCONN on an unconnected socket; the flag is what wakes.
    if (handle_ != kInvalidSocket) ::shutdown(sock_of(handle_), SD_BOTH);
}

}  // namespace sorvane::platform
