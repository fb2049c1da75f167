#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/socket.h"

#include "platform/linux/windows_errors.h"

namespace sorvane::platform {

namespace {

SocketResult fail(int e, SocketStep step = SocketStep::other) {
    SocketResult r;
    r.status = SocketStatus::error;
    r.error_code = wsa_error_from_errno(e);
    r.step = step;
    return r;
}

SocketResult status_of(SocketStatus s) {
    SocketResult r;
    r.status = s;
    return r;
}

// Socket time-outs (EAGAIN) and waits that ran out (ETIMEDOUT) alike, as a
// Windows caller sees WSAETIMEDOUT.
SocketResult timed_out(int) {
    SocketResult r;
    r.status = SocketStatus::timed_out;
    r.error_code = wsa_error_from_errno(ETIMEDOUT);
    return r;
}

int fd_of(SocketHandle h) { return static_cast<int>(h); }

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

// poll() for one event, retrying after signals. timeout_ms < 0 waits forever.
// Returns 1 when ready, 0 on time-out, -1 with errno set.
int poll_one(int fd, short events, int timeout_ms, short* revents) {
    pollfd p{};
    p.fd = fd;
    p.events = events;
    for (;;) {
        const int r = ::poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (revents != nullptr) *revents = p.revents;
        return r;
    }
}

int clamp_timeout(uint32_t ms) { return ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(ms); }

SocketResult set_timeval_option(int fd, int option, uint32_t ms) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) return fail(errno);
    return {};
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
    return "error " + std::to_string(r.error_code) + " (" + windows_error_text(r.error_code) + ")";
}

// ---- TcpStream ----

TcpStream::~TcpStream() { close(); }

TcpStream::TcpStream(TcpStream&& other) noexcept : handle_(std::exchange(other.handle_, kInvalidSocket)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalidSocket);
    }
    return *this;
}

void TcpStream::close() {
    if (handle_ != kInvalidSocket) {
        ::close(fd_of(handle_));
        handle_ = kInvalidSocket;
    }
}

SocketResult TcpStream::connect(const Endpoint& remote, uint32_t timeout_ms, uint32_t local_address) {
    close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(errno);
    auto give_up = [fd](int e) {
        ::close(fd);
        return fail(e);
    };
    if (local_address != 0) {
        const sockaddr_in local = to_sockaddr(local_address, 0);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return give_up(errno);
    }
    const sockaddr_in sa = to_sockaddr(remote.address, remote.port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) return give_up(errno);
        const int ready = poll_one(fd, POLLOUT, clamp_timeout(timeout_ms), nullptr);
        if (ready < 0) return give_up(errno);
        if (ready == 0) {
            ::close(fd);
            return timed_out(ETIMEDOUT);
        }
        int so_error = 0;
        socklen_t len = sizeof so_error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return give_up(errno);
        if (so_error != 0) return give_up(so_error);
    }
    // Back to blocking mode: time-outs come from the socket options.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return give_up(errno);
    handle_ = fd;
    return {};
}

SocketResult TcpStream::send_all(const void* data, size_t n) {
    SocketResult r;
    if (handle_ == kInvalidSocket) return fail(EBADF);
    const auto* p = static_cast<const char*>(data);
    while (r.bytes < n) {
        const ssize_t sent = ::send(fd_of(handle_), p + r.bytes, n - r.bytes, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            const size_t done = r.bytes;
            r = (errno == EAGAIN || errno == EWOULDBLOCK) ? timed_out(errno) : fail(errno);
            r.bytes = done;
            return r;
        }
        r.bytes += static_cast<size_t>(sent);
    }
    return r;
}

SocketResult TcpStream::recv(void* buf, size_t n) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    if (n == 0) return fail(EINVAL);
    for (;;) {
        const ssize_t got = ::recv(fd_of(handle_), buf, n, 0);
        if (got > 0) {
            SocketResult r;
            r.bytes = static_cast<size_t>(got);
            return r;
        }
        if (got == 0) return status_of(SocketStatus::closed);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return timed_out(errno);
        return fail(errno);
    }
}

SocketResult TcpStream::wait_readable(uint32_t timeout_ms) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    const int ready = poll_one(fd_of(handle_), POLLIN, clamp_timeout(timeout_ms), nullptr);
    if (ready < 0) return fail(errno);
    if (ready == 0) return timed_out(ETIMEDOUT);
    return {};
}

SocketResult TcpStream::shutdown(ShutdownHow how) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    const int mode = how == ShutdownHow::receive ? SHUT_RD : how == ShutdownHow::send ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(fd_of(handle_), mode) != 0) return fail(errno);
    return {};
}

SocketResult TcpStream::set_receive_timeout(uint32_t ms) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    return set_timeval_option(fd_of(handle_), SO_RCVTIMEO, ms);
}

SocketResult TcpStream::set_send_timeout(uint32_t ms) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    return set_timeval_option(fd_of(handle_), SO_SNDTIMEO, ms);
}

SocketResult TcpStream::set_no_delay(bool on) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    const int v = on ? 1 : 0;
    if (::setsockopt(fd_of(handle_), IPPROTO_TCP, TCP_NODELAY, &v, sizeof v) != 0) return fail(errno);
    return {};
}

bool TcpStream::peer_endpoint(Endpoint& out) const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (handle_ == kInvalidSocket || ::getpeername(fd_of(handle_), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return false;
    return from_sockaddr(ss, out);
}

bool TcpStream::local_endpoint(Endpoint& out) const {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (handle_ == kInvalidSocket || ::getsockname(fd_of(handle_), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return false;
    return from_sockaddr(ss, out);
}

// ---- TcpListener ----

TcpListener::~TcpListener() { close(); }

TcpListener::TcpListener(TcpListener&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidSocket)), port_(std::exchange(other.port_, 0)) {}

TcpListener& TcpListener::operator=(TcpListener&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalidSocket);
        port_ = std::exchange(other.port_, 0);
    }
    return *this;
}

void TcpListener::close() {
    if (handle_ != kInvalidSocket) {
        ::close(fd_of(handle_));
        handle_ = kInvalidSocket;
    }
    port_ = 0;
}

SocketResult TcpListener::listen(std::string_view bind_address, uint16_t port, int backlog, bool reuse_address) {
    close();
    uint32_t address = 0;
    if (!parse_ipv4(bind_address, address)) return fail(EINVAL);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return fail(errno, SocketStep::create);
    auto give_up = [fd](int e, SocketStep step = SocketStep::other) {
        ::close(fd);
        return fail(e, step);
    };
    if (reuse_address) {
        const int one = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return give_up(errno);
    }
    const sockaddr_in sa = to_sockaddr(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return give_up(errno, SocketStep::bind);
    if (::listen(fd, backlog > 0 ? backlog : SOMAXCONN) != 0) return give_up(errno, SocketStep::listen);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    Endpoint bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0 || !from_sockaddr(ss, bound))
        return give_up(errno != 0 ? errno : EINVAL);
    handle_ = fd;
    port_ = bound.port;
    return {};
}

SocketResult TcpListener::accept(TcpStream& out, Endpoint* peer, int32_t timeout_ms) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    for (;;) {
        const int ready = poll_one(fd_of(handle_), POLLIN, timeout_ms < 0 ? -1 : timeout_ms, nullptr);
        if (ready < 0) return fail(errno);
        if (ready == 0) return timed_out(ETIMEDOUT);
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        // The listener is non-blocking, so a connection that vanished between
        // poll and accept cannot leave this call hanging.
        const int fd = ::accept4(fd_of(handle_), reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
        if (fd >= 0) {
            out = TcpStream(fd);
            if (peer != nullptr && !from_sockaddr(ss, *peer)) *peer = Endpoint{};
            return {};
        }
        // A listener that was shut down reports EINVAL.
        if (errno == EINVAL) return status_of(SocketStatus::closed);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
            if (timeout_ms < 0) continue;
            return timed_out(ETIMEDOUT);
        }
        return fail(errno);
    }
}

void TcpListener::shutdown() {
    if (handle_ != kInvalidSocket) ::shutdown(fd_of(handle_), SHUT_RDWR);
}

}  // namespace sorvane::platform

namespace sorvane::platform {

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
        ::close(fd_of(handle_));
        handle_ = kInvalidSocket;
    }
    port_ = 0;
    shut_.store(false);
}

SocketResult UdpSocket::open(std::string_view bind_address, uint16_t port) {
    close();
    uint32_t address = 0;
    if (!parse_ipv4(bind_address, address)) return fail(EINVAL);
    // Linux reports no ICMP errors on an unconnected UDP socket unless asked
    // to (IP_RECVERR), so nothing needs switching off here.
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail(errno, SocketStep::create);
    auto give_up = [fd](int e, SocketStep step = SocketStep::other) {
        ::close(fd);
        return fail(e, step);
    };
    const sockaddr_in sa = to_sockaddr(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) return give_up(errno, SocketStep::bind);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    Endpoint bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0 || !from_sockaddr(ss, bound))
        return give_up(errno != 0 ? errno : EINVAL);
    handle_ = fd;
    port_ = bound.port;
    return {};
}

namespace {

SocketResult set_buffer(int fd, int option, uint32_t requested, uint32_t& granted) {
    const int want = requested > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(requested);
    if (::setsockopt(fd, SOL_SOCKET, option, &want, sizeof want) != 0) return fail(errno);
    int got = 0;
    socklen_t len = sizeof got;
    if (::getsockopt(fd, SOL_SOCKET, option, &got, &len) != 0) return fail(errno);
    granted = got < 0 ? 0u : static_cast<uint32_t>(got);
    return {};
}

}  // namespace

SocketResult UdpSocket::set_send_buffer(uint32_t requested, uint32_t& granted) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    return set_buffer(fd_of(handle_), SO_SNDBUF, requested, granted);
}

SocketResult UdpSocket::set_receive_buffer(uint32_t requested, uint32_t& granted) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    return set_buffer(fd_of(handle_), SO_RCVBUF, requested, granted);
}

SocketResult UdpSocket::send_to(const Endpoint& to, const void* data, size_t n) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    const sockaddr_in sa = to_sockaddr(to.address, to.port);
    for (;;) {
        const ssize_t sent = ::sendto(fd_of(handle_), data, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa),
                                      sizeof sa);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return timed_out(errno);
            return fail(errno);
        }
        if (static_cast<size_t>(sent) != n) return fail(EMSGSIZE);
        SocketResult r;
        r.bytes = n;
        return r;
    }
}

size_t UdpSocket::send_batch(const Endpoint& to, const DatagramView* datagrams, size_t count, SocketResult* results) {
    if (handle_ == kInvalidSocket) {
        for (size_t i = 0; i < count; ++i) results[i] = fail(EBADF);
        return 0;
    }
    sockaddr_in sa = to_sockaddr(to.address, to.port);
    mmsghdr messages[kUdpBatchMax];
    iovec pieces[kUdpBatchMax];
    size_t whole = 0;
    size_t next = 0;
    while (next < count) {
        const size_t n = std::min(count - next, kUdpBatchMax);
        for (size_t k = 0; k < n; ++k) {
            pieces[k].iov_base = const_cast<void*>(datagrams[next + k].data);
            pieces[k].iov_len = datagrams[next + k].size;
            messages[k] = mmsghdr{};
            messages[k].msg_hdr.msg_name = &sa;
            messages[k].msg_hdr.msg_namelen = sizeof sa;
            messages[k].msg_hdr.msg_iov = &pieces[k];
            messages[k].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(fd_of(handle_), messages, static_cast<unsigned>(n), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            // The first datagram of the call failed: it gets the error, the
            // rest go in the next call.
            results[next] = (errno == EAGAIN || errno == EWOULDBLOCK) ? timed_out(errno) : fail(errno);
            ++next;
            continue;
        }
        for (int k = 0; k < sent; ++k) {
            const size_t i = next + static_cast<size_t>(k);
            if (messages[k].msg_len != datagrams[i].size) {
                results[i] = fail(EMSGSIZE);
                continue;
            }
            results[i] = SocketResult{};
            results[i].bytes = datagrams[i].size;
            ++whole;
        }
        // A call that stopped early stopped at a failing datagram: the next
        // call starts with it and reports its error.
        next += static_cast<size_t>(sent);
    }
    return whole;
}

SocketResult UdpSocket::receive_from(void* buf, size_t cap, Endpoint* source, int32_t timeout_ms, bool* truncated) {
    if (handle_ == kInvalidSocket) return fail(EBADF);
    for (;;) {
        if (shut_.load()) return status_of(SocketStatus::closed);
        const int ready = poll_one(fd_of(handle_), POLLIN, timeout_ms < 0 ? -1 : timeout_ms, nullptr);
        if (ready < 0) return fail(errno);
        if (shut_.load()) return status_of(SocketStatus::closed);
        if (ready == 0) return timed_out(ETIMEDOUT);
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        // MSG_DONTWAIT: a datagram that poll saw but the stack then dropped
        // must not leave this call hanging.
        const ssize_t got = ::recvfrom(fd_of(handle_), buf, cap, MSG_DONTWAIT | MSG_TRUNC,
                                       reinterpret_cast<sockaddr*>(&ss), &len);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (timeout_ms < 0) continue;
                return timed_out(ETIMEDOUT);
            }
            return fail(errno);
        }
        if (source != nullptr && !from_sockaddr(ss, *source)) *source = Endpoint{};
        if (truncated != nullptr) *truncated = static_cast<size_t>(got) > cap;
        SocketResult r;
        r.bytes = static_cast<size_t>(got) > cap ? cap : static_cast<size_t>(got);
        return r;
    }
}

void UdpSocket::shutdown() {
    shut_.store(true);
    // On an unconnected socket this reports ENOTCONN but still wakes pollers.
    if (handle_ != kInvalidSocket) ::shutdown(fd_of(handle_), SHUT_RDWR);
}

}  // namespace sorvane::platform
