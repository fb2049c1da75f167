#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "platform/console.h"
#include "platform/crash.h"

namespace sorvane::platform {

namespace {

sigset_t control_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

// Waits for the control signals on a signalfd; an eventfd wakes it for uninstall.
class LinuxControlHandler final : public ConsoleControlHandler {
public:
    LinuxControlHandler(int sig_fd, int wake_fd, std::function<void(ControlEvent)> cb)
        : sig_fd_(sig_fd), wake_fd_(wake_fd), callback_(std::move(cb)) {
        thread_ = std::thread([this] {
            install_thread_fault_stack();
            run();
        });
    }
    ~LinuxControlHandler() override {
        uninstall();
        ::close(sig_fd_);
        ::close(wake_fd_);
    }
    LinuxControlHandler(const LinuxControlHandler&) = delete;
    LinuxControlHandler& operator=(const LinuxControlHandler&) = delete;

    void uninstall() override {
        if (!thread_.joinable()) return;
        const uint64_t one = 1;
        ssize_t w = 0;
        do {
            w = ::write(wake_fd_, &one, sizeof one);
        } while (w < 0 && errno == EINTR);
        thread_.join();
    }

private:
    void run() {
        for (;;) {
            pollfd fds[2] = {{sig_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
            const int n = ::poll(fds, 2, -1);
            if (n < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            signalfd_siginfo info{};
            const ssize_t got = ::read(sig_fd_, &info, sizeof info);
            if (got != static_cast<ssize_t>(sizeof info)) continue;
            ControlEvent ev = ControlEvent::interrupt;
            if (info.ssi_signo == SIGTERM) ev = ControlEvent::terminate;
            if (info.ssi_signo == SIGHUP) ev = ControlEvent::hangup;
            callback_(ev);
        }
    }

    int sig_fd_;
    int wake_fd_;
    std::function<void(ControlEvent)> callback_;
    std::thread thread_;
};

}  // namespace

void prepare_process_signals() {
    sigset_t set = control_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    struct sigaction ign{};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    sigaction(SIGPIPE, &ign, nullptr);
}

std::unique_ptr<ConsoleControlHandler> install_console_control_handler(std::function<void(ControlEvent)> on_event) {
    sigset_t set = control_signals();
    const int sig_fd = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (sig_fd < 0) return nullptr;
    const int wake_fd = ::eventfd(0, EFD_CLOEXEC);
    if (wake_fd < 0) {
        ::close(sig_fd);
        return nullptr;
    }
    return std::make_unique<LinuxControlHandler>(sig_fd, wake_fd, std::move(on_event));
}

void set_console_output_utf8() {}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) == 1; }

void detach_console() {}

}  // namespace sorvane::platform
