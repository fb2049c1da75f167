#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/instance.h"
#include "platform/paths.h"
#include "platform/tray.h"

namespace sorvane::platform {

namespace {

class LockFileGuard final : public InstanceGuard {
public:
    explicit LockFileGuard(int fd) : fd_(fd) {}
    ~LockFileGuard() override { ::close(fd_); }
    LockFileGuard(const LockFileGuard&) = delete;
    LockFileGuard& operator=(const LockFileGuard&) = delete;

private:
    int fd_;
};

std::string lock_path(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = (runtime != nullptr && *runtime != '\0') ? runtime : "/tmp";
    return join_path(dir, name + "-" + std::to_string(::getuid()) + ".lock");
}

}  // namespace

std::unique_ptr<InstanceGuard> create_instance_guard(const std::string& name, bool& already_existed) {
    already_existed = false;
    const int fd = ::open(lock_path(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        already_existed = true;
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<LockFileGuard>(fd);
}

// The running host's tray window on the simulated machine: a left click on its icon.
bool request_running_instance_panel() {
    return post_tray_window("SorvaneTrayWindow", 0x8001, 0, kWmLButtonUp);
}

}  // namespace sorvane::platform
