// Named pipes as AF_UNIX SOCK_SEQPACKET sockets in the simulated machine's
// pipe namespace. SEQPACKET keeps message boundaries, so one send is one
// message; a read with MSG_TRUNC learns the size of a message that did not
// fit. The server enforces its security descriptor on the token of the peer
// process the kernel reports (SO_PEERCRED), as the machine models tokens
// (driver_host.h); clients check the same descriptor with their own token
// before they connect, so a refused client learns "access denied" at open
// as it would on Windows.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/pipe.h"
#include "platform/sim/driver_host.h"
#include "platform/sim/machine.h"
#include "platform/sim/pipe_namespace.h"
#include "platform/sim/system_model.h"
#include "platform/win_error.h"

namespace sorvane::platform {

namespace {

uint32_t win_error_of(int e) {
    switch (e) {
        case ENOENT:
        case ECONNREFUSED: return kErrorFileNotFound;
        case EACCES:
        case EPERM: return kErrorAccessDenied;
        case EAGAIN: return kErrorPipeBusy;
        case EPIPE:
        case ECONNRESET: return kErrorBrokenPipe;
        case EMSGSIZE: return kErrorInvalidParameter;
        default: return kErrorGenFailure;
    }
}

bool fill_address(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    return true;
}

// The read end of a pipe that becomes readable for good when the listener stops.
struct StopSignal {
    int read_fd = -1;
    int write_fd = -1;
    StopSignal() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            read_fd = fds[0];
            write_fd = fds[1];
        }
    }
    ~StopSignal() {
        if (read_fd >= 0) ::close(read_fd);
        if (write_fd >= 0) ::close(write_fd);
    }
    void raise() {
        const char c = 1;
        if (write_fd >= 0) (void)!::write(write_fd, &c, 1);
    }
};

// 0 ready, 1 timed out, 2 stopped, 3 hung up / error.
int wait_fd(int fd, short events, const StopSignal* stop, uint32_t timeout_ms) {
    pollfd p[2] = {{fd, static_cast<short>(events | POLLRDHUP), 0}, {stop ? stop->read_fd : -1, POLLIN, 0}};
    while (true) {
        const int n = ::poll(p, stop ? 2 : 1, timeout_ms == 0 ? -1 : static_cast<int>(timeout_ms));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 3;
        if (n == 0) return 1;
        if (stop && (p[1].revents & POLLIN)) return 2;
        if (p[0].revents & events) return 0;
        return 3;
    }
}

class UnixPipeConnection final : public IPipeConnection {
public:
    UnixPipeConnection(int fd, std::shared_ptr<StopSignal> stop) : fd_(fd), stop_(std::move(stop)) {
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
            pid_ = static_cast<uint32_t>(cred.pid);
            uid_ = static_cast<uint32_t>(cred.uid);
            known_ = true;
        }
    }
    // The peer's token on the machine in root; false when the kernel did not say who it is.
    bool identify(const std::string& root) {
        if (!known_) return false;
        token_ = sim::peer_token(root, pid_, uid_);
        return true;
    }
    const sim::Token& token() const { return token_; }
    ~UnixPipeConnection() override { ::close(fd_); }

    PipeResult read_message(void* buf, size_t capacity, uint32_t timeout_ms) override {
        PipeResult r;
        const int w = wait_fd(fd_, POLLIN, stop_.get(), timeout_ms);
        if (w == 1) return {PipeStatus::timed_out, kErrorTimeout, 0, 0};
        if (w == 2) return {PipeStatus::stopped, 0, 0, 0};
        if (w == 3) return {PipeStatus::closed, kErrorBrokenPipe, 0, 0};
        const ssize_t n = ::recv(fd_, buf, capacity, MSG_TRUNC | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return {PipeStatus::timed_out, kErrorTimeout, 0, 0};
            return {PipeStatus::closed, win_error_of(errno), 0, 0};
        }
        if (n == 0) {
            // An empty message, or the end of the stream: only the latter
            // leaves the socket hung up.
            pollfd p{fd_, POLLRDHUP, 0};
            if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP))) {
                return {PipeStatus::closed, kErrorBrokenPipe, 0, 0};
            }
        }
        r.message_size = static_cast<size_t>(n);
        r.bytes = r.message_size < capacity ? r.message_size : capacity;
        if (r.message_size > capacity) r.error = kErrorMoreData;
        return r;
    }

    PipeResult write_message(const void* data, size_t n, uint32_t timeout_ms) override {
        const int w = wait_fd(fd_, POLLOUT, stop_.get(), timeout_ms);
        if (w == 1) return {PipeStatus::timed_out, kErrorTimeout, 0, 0};
        if (w == 2) return {PipeStatus::stopped, 0, 0, 0};
        if (w == 3) return {PipeStatus::closed, kErrorBrokenPipe, 0, 0};
        const ssize_t sent = ::send(fd_, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EAGAIN) return {PipeStatus::timed_out, kErrorTimeout, 0, 0};
            const uint32_t e = win_error_of(errno);
            return {e == kErrorBrokenPipe ? PipeStatus::closed : PipeStatus::error, e, 0, 0};
        }
        return {PipeStatus::ok, 0, static_cast<size_t>(sent), static_cast<size_t>(sent)};
    }

    uint32_t peer_pid() const override { return pid_; }
    std::string peer_sid() const override { return token_.user; }
    void close() override { ::shutdown(fd_, SHUT_RDWR); }

private:
    int fd_;
    std::shared_ptr<StopSignal> stop_;
    uint32_t pid_ = 0;
    uint32_t uid_ = 0;
    bool known_ = false;
    sim::Token token_;
};

class UnixPipeListener final : public IPipeListener {
public:
    ~UnixPipeListener() override {
        stop();
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(path_.c_str());
            ::unlink(sim::pipe_sddl_path(path_).c_str());
        }
        if (lock_fd_ >= 0) ::close(lock_fd_);
    }

    uint32_t open(const std::string& root, const std::string& path, const std::string& sddl) {
        root_ = root;
        path_ = path;
        if (!sim::parse_sddl(sddl, aces_)) return kErrorInvalidSecurityDescr;
        create_directories(parent_of(path));
        lock_fd_ = ::open(sim::pipe_lock_path(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock_fd_ < 0) return win_error_of(errno);
        // The name has one owner: the process holding its lock.
        if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? kErrorAccessDenied : win_error_of(errno);
        if (!stop_ || stop_->read_fd < 0) return kErrorGenFailure;
        sockaddr_un addr;
        if (!fill_address(path, addr)) return kErrorInvalidName;
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (fd < 0) return win_error_of(errno);
        ::unlink(path.c_str());  // a socket left by an owner that died
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0) {
            const uint32_t e = win_error_of(errno);
            ::close(fd);
            return e;
        }
        // Every account may knock; the descriptor decides who gets in.
        ::chmod(path.c_str(), 0666);
        fd_ = fd;
        if (!write_file_atomic(sim::pipe_sddl_path(path), sddl).ok()) return kErrorGenFailure;
        return 0;
    }

    PipeResult accept(std::unique_ptr<IPipeConnection>& out) override {
        while (true) {
            const int w = wait_fd(fd_, POLLIN, stop_.get(), 0);
            if (w == 2) return {PipeStatus::stopped, 0, 0, 0};
            if (w != 0) return {PipeStatus::error, kErrorGenFailure, 0, 0};
            const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED) continue;
                return {PipeStatus::error, win_error_of(errno), 0, 0};
            }
            auto conn = std::make_unique<UnixPipeConnection>(c, stop_);
            if (!conn->identify(root_) || !sim::access_granted(aces_, conn->token(), sim::kPipeClientAccess))
                continue;  // turned away
            out = std::move(conn);
            return {};
        }
    }

    void stop() override {
        std::lock_guard<std::mutex> g(mutex_);
        if (stopped_) return;
        stopped_ = true;
        stop_->raise();
    }

private:
    std::string root_;
    std::string path_;
    std::vector<sim::SddlAce> aces_;
    int fd_ = -1;
    int lock_fd_ = -1;
    std::shared_ptr<StopSignal> stop_ = std::make_shared<StopSignal>();
    std::mutex mutex_;
    bool stopped_ = false;
};

}  // namespace

std::unique_ptr<IPipeListener> create_pipe_listener(const std::string& name, const std::string& sddl,
                                                    uint32_t& error) {
    const std::string root = sim::Machine::default_root();
    const std::string path = sim::pipe_socket_path(root, name);
    if (path.empty()) {
        error = kErrorInvalidName;
        return nullptr;
    }
    auto l = std::make_unique<UnixPipeListener>();
    error = l->open(root, path, sddl);
    if (error != 0) return nullptr;
    return l;
}

std::unique_ptr<IPipeConnection> open_pipe(const std::string& name, uint32_t& error) {
    const std::string root = sim::Machine::default_root();
    const std::string path = sim::pipe_socket_path(root, name);
    sockaddr_un addr;
    if (path.empty() || !fill_address(path, addr)) {
        error = kErrorInvalidName;
        return nullptr;
    }
    std::string sddl;
    if (!read_file(sim::pipe_sddl_path(path), 65536, sddl).ok()) {
        error = kErrorFileNotFound;
        return nullptr;
    }
    std::vector<sim::SddlAce> aces;
    if (!sim::parse_sddl(sddl, aces) || !sim::access_granted(aces, sim::process_token(root), sim::kPipeClientAccess)) {
        error = kErrorAccessDenied;
        return nullptr;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = win_error_of(errno);
        return nullptr;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = win_error_of(errno);
        ::close(fd);
        return nullptr;
    }
    error = 0;
    auto conn = std::make_unique<UnixPipeConnection>(fd, nullptr);
    conn->identify(root);
    return conn;
}

std::string process_user_sid() { return sim::process_token(sim::Machine::default_root()).user; }

}  // namespace sorvane::platform
