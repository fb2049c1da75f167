#include "platform/sim/power_sim.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace sorvane::sim {

bool SimPowerEvents::register_callback(std::function<void(uint32_t type)> callback, uint32_t& error) {
    std::lock_guard lock(mutex_);
    if (fail_error_ != 0) {
        error = fail_error_;
        return false;
    }
    callbacks_.push_back(std::move(callback));
    error = 0;
    return true;
}

void SimPowerEvents::fail_registration(uint32_t error) {
    std::lock_guard lock(mutex_);
    fail_error_ = error;
}

void SimPowerEvents::deliver(uint32_t type) {
    std::vector<std::function<void(uint32_t)>> list;
    {
        std::lock_guard lock(mutex_);
        list = callbacks_;
    }
    for (auto& cb : list) cb(type);
}

size_t SimPowerEvents::registrations() const {
    std::lock_guard lock(mutex_);
    return callbacks_.size();
}

SimPowerEvents& process_power_events() {
    static SimPowerEvents events;
    return events;
}

}  // namespace sorvane::sim

// ---------------------------------------------------------------- between processes

namespace sorvane::sim {

namespace {

bool make_address(const std::string& path, sockaddr_un& addr, std::string& error) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool type_known(uint32_t type) {
    return type == platform::kPowerSuspend || type == platform::kPowerResumeSuspend ||
           type == platform::kPowerResumeAutomatic;
}

std::mutex g_listen_mutex;
bool g_listening = false;

}  // namespace

std::string power_folder(const std::string& root) { return root + "/power"; }

bool listen_for_machine_power_events(const std::string& root, std::string& error) {
    std::lock_guard lock(g_listen_mutex);
    if (g_listening) return true;
    const std::string folder = power_folder(root);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "mkdir " + folder + ": " + std::strerror(errno);
        return false;
    }
    const std::string path = folder + "/" + std::to_string(::getpid());
    sockaddr_un addr{};
    if (!make_address(path, addr, error)) return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    ::unlink(path.c_str());  // a process that had this id before us
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = "bind " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    // The listener lives as long as the process.
    std::thread([fd] {
        for (;;) {
            uint8_t buf[4];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return;
            if (n != 4) continue;
            const uint32_t type = static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 |
                                  static_cast<uint32_t>(buf[2]) << 16 | static_cast<uint32_t>(buf[3]) << 24;
            if (type_known(type)) process_power_events().deliver(type);
        }
    }).detach();
    g_listening = true;
    return true;
}

bool send_machine_power_event(const std::string& root, uint32_t type, size_t& delivered, std::string& error) {
    delivered = 0;
    const std::string folder = power_folder(root);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        if (errno == ENOENT) return true;  // nobody has listened yet
        error = "open " + folder + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const uint8_t msg[4] = {static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8),
                            static_cast<uint8_t>(type >> 16), static_cast<uint8_t>(type >> 24)};
    for (const auto& name : names) {
        const std::string path = folder + "/" + name;
        sockaddr_un addr{};
        std::string ignored;
        if (!make_address(path, addr, ignored)) continue;
        const ssize_t n = ::sendto(fd, msg, sizeof msg, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (n == sizeof msg) {
            ++delivered;
        } else if (errno == ECONNREFUSED) {
            ::unlink(path.c_str());  // its process has ended
        }
    }
    ::close(fd);
    return true;
}

}  // namespace sorvane::sim
