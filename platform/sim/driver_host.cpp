#include "platform/sim/driver_host.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <vector>

#include "platform/files.h"
#include "platform/paths.h"

namespace sorvane::sim {

namespace {

std::atomic<bool> g_driver_host{false};

// Whether the host recorded for a node still holds its lock. A lock file
// that is gone or free means the host ended.
bool host_alive(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

}  // namespace

std::string driver_host_lock_path(const std::string& root, std::string_view instance_id) {
    std::string name(instance_id);
    for (char& c : name)
        if (c == '\\' || c == '/') c = '#';
    return platform::join_path(platform::join_path(root, "drivers"), name + ".lock");
}

void become_driver_host_process() { g_driver_host = true; }

Token process_token(const std::string& root) {
    if (g_driver_host) return service_token(kLocalServiceSid);
    Machine m(root);
    Token t;
    if (!root.empty() && m.initialized() && m.read([&](const MachineState& s) { t = s.system.user_token(); })) return t;
    return uid_token(static_cast<uint32_t>(::getuid()));
}

Token peer_token(const std::string& root, uint32_t pid, uint32_t uid) {
    Machine m(root);
    Token t;
    const bool read = !root.empty() && m.initialized() && m.read([&](const MachineState& s) {
        t = s.system.user_token();
        for (const DeviceNode& n : s.devices.nodes)
            if (pid != 0 && n.driver_host == pid) t = service_token(kLocalServiceSid);
    });
    return read ? t : uid_token(uid);
}

DriverHostLock::~DriverHostLock() { release(); }

bool DriverHostLock::acquire(const std::string& root, MachineState& s, const std::string& instance_id,
                             std::string& error) {
    DeviceNode* node = s.devices.find(instance_id);
    if (node == nullptr) {
        error = "no device node " + instance_id;
        return false;
    }
    const std::string path = driver_host_lock_path(root, instance_id);
    platform::create_directories(platform::parent_of(path));
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (fd >= 0) ::close(fd);
        error = "the device node " + instance_id + " already has a loaded driver (process " +
                std::to_string(node->driver_host) + ")";
        return false;
    }
    release();
    fd_ = fd;
    path_ = path;
    instance_id_ = instance_id;
    node->driver_host = static_cast<uint32_t>(::getpid());
    node->driver_adapter.clear();
    return true;
}

void DriverHostLock::clear_record(MachineState& s) const {
    DeviceNode* node = s.devices.find(instance_id_);
    if (node != nullptr && node->driver_host == static_cast<uint32_t>(::getpid())) {
        node->driver_host = 0;
        node->driver_adapter.clear();
    }
}

void DriverHostLock::release() {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
}

void remove_driver_adapter(DisplayModel& display, const SimLuid& luid) {
    std::vector<uint32_t> ids;
    for (const SimTarget& t : display.targets)
        if (t.adapter == luid) ids.push_back(t.id);
    for (const uint32_t id : ids) display.depart(luid, id);
    display.remove_gpu(luid);
}

bool driver_hosts_ended(const std::string& root, const DeviceModel& devices) {
    for (const DeviceNode& n : devices.nodes)
        if (n.driver_host != 0 && !host_alive(driver_host_lock_path(root, n.instance_id))) return true;
    return false;
}

std::string reap_ended_driver_hosts(const std::string& root, MachineState& s) {
    std::string done;
    for (DeviceNode& n : s.devices.nodes) {
        if (n.driver_host == 0) continue;
        const std::string path = driver_host_lock_path(root, n.instance_id);
        if (host_alive(path)) continue;
        size_t monitors = 0;
        SimLuid luid;
        if (parse_luid_string(n.driver_adapter, luid)) {
            for (const SimTarget& t : s.display.targets) monitors += t.adapter == luid ? 1 : 0;
            remove_driver_adapter(s.display, luid);
        }
        done += "driver host " + std::to_string(n.driver_host) + " of " + n.instance_id +
                " ended without unloading its driver: adapter " + (n.driver_adapter.empty() ? "(none)" : n.driver_adapter) +
                " and " + std::to_string(monitors) + " monitor(s) removed\n";
        n.driver_host = 0;
        n.driver_adapter.clear();
        ::unlink(path.c_str());
    }
    return done;
}

bool stop_driver_hosts(Machine& machine, const std::function<bool(const DeviceNode&)>& which, uint64_t timeout_ms) {
    struct Host {
        std::string instance_id;
        uint32_t pid;
    };
    std::vector<Host> hosts;
    machine.read([&](const MachineState& s) {
        for (const DeviceNode& n : s.devices.nodes)
            if (n.driver_host != 0 && which(n)) hosts.push_back({n.instance_id, n.driver_host});
    });
    if (hosts.empty()) return true;
    // A host turns SIGTERM into its driver's unload, as it does a removal request.
    for (const Host& h : hosts) ::kill(static_cast<pid_t>(h.pid), SIGTERM);
    platform::IClock& clock = machine.clock();
    const uint64_t end = clock.now_ms() + timeout_ms;
    for (;;) {
        bool loaded = false;
        if (!machine.read([&](const MachineState& s) {
                for (const Host& h : hosts) {
                    const DeviceNode* n = s.devices.find(h.instance_id);
                    loaded = loaded || (n != nullptr && n->driver_host == h.pid);
                }
            }))
            return false;
        if (!loaded) return true;
        if (clock.now_ms() >= end) return false;
        clock.sleep_ms(20);
    }
}

}  // namespace sorvane::sim
