#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/process_wait.h"

namespace sorvane::platform {

namespace {

class PidfdWatch final : public ProcessWatch {
public:
    explicit PidfdWatch(int fd) : fd_(fd) {}
    ~PidfdWatch() override { ::close(fd_); }
    PidfdWatch(const PidfdWatch&) = delete;
    PidfdWatch& operator=(const PidfdWatch&) = delete;

    bool ended() override {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<ProcessWatch> open_process_watch(uint32_t process_id) {
    if (process_id == 0) return nullptr;
    const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(process_id), 0);
    if (fd < 0) return nullptr;
    return std::make_unique<PidfdWatch>(static_cast<int>(fd));
}

}  // namespace sorvane::platform
