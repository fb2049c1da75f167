#include "platform/sim/machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sim/driver_host.h"

namespace sorvane::sim {

namespace {

template <class S, class F>
void for_each_file(S& s, F&& f) {
    for_each_model(s, f);
    f(s.tray);
    f(s.faults);
    f(s.meta);  // last: store() rewrites it after counting the change
}

std::string env_or_empty(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

bool write_whole(const std::string& path, const std::string& data, std::string& error) {
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "open " + tmp + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "write " + tmp + ": " + std::strerror(errno);
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "rename " + tmp + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool append_text(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    bool ok = true;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return ok;
}

std::string process_name() {
    std::string name;
    if (platform::read_file("/proc/self/comm", 256, name).ok()) {
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
    }
    return name.empty() ? std::string("process") : name;
}

uint64_t splitmix64(uint64_t& x) {
    uint64_t z = (x += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

// ---- faults ----

void FaultTable::arm(std::string point, uint64_t nth, uint32_t code, uint64_t times) {
    Fault f;
    f.point = std::move(point);
    f.nth = nth == 0 ? 1 : nth;
    f.code = code;
    f.times = times == 0 ? 1 : times;
    faults_.push_back(std::move(f));
}

void FaultTable::clear(std::string_view point) {
    if (point.empty()) {
        faults_.clear();
        return;
    }
    faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [&](const Fault& f) { return f.point == point; }),
                  faults_.end());
}

uint32_t FaultTable::hit(std::string_view point) {
    uint32_t code = 0;
    for (auto& f : faults_) {
        if (f.point != point) continue;
        ++f.calls;
        if (code == 0 && f.calls >= f.nth && f.calls < f.nth + f.times) code = f.code;
    }
    // A fault whose failing calls are all past is spent; a hang lasts until cleared.
    faults_.erase(std::remove_if(faults_.begin(), faults_.end(),
                                 [](const Fault& f) {
                                     return f.code != kFaultHang && f.calls >= f.nth + f.times - 1 && f.calls >= f.nth;
                                 }),
                  faults_.end());
    return code;
}

Json FaultTable::to_json() const {
    Json arr = Json::array();
    for (const auto& f : faults_) {
        Json j = Json::object();
        j["point"] = f.point;
        j["nth"] = f.nth;
        j["code"] = f.code;
        j["times"] = f.times;
        j["calls"] = f.calls;
        arr.push(std::move(j));
    }
    Json j = Json::object();
    j["armed"] = arr;
    return j;
}

bool FaultTable::from_json(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "faults: not an object";
        return false;
    }
    faults_.clear();
    for (const auto& item : j.get("armed").items()) {
        Fault f;
        f.point = item.get("point").as_string();
        f.nth = static_cast<uint64_t>(item.get("nth").as_int(1));
        f.code = static_cast<uint32_t>(item.get("code").as_int());
        f.times = static_cast<uint64_t>(item.get("times").as_int(1));
        f.calls = static_cast<uint64_t>(item.get("calls").as_int());
        faults_.push_back(std::move(f));
    }
    return true;
}

// ---- meta ----

Json MachineMeta::to_json() const {
    Json j = Json::object();
    j["seed"] = seed;
    j["guid_count"] = guid_count;
    j["change_count"] = change_count;
    j["adapter_count"] = adapter_count;
    return j;
}

bool MachineMeta::from_json(const Json& j, std::string& error) {
    if (!j.is_object()) {
        error = "meta: not an object";
        return false;
    }
    seed = static_cast<uint64_t>(j.get("seed").as_int(0x5EED));
    guid_count = static_cast<uint64_t>(j.get("guid_count").as_int());
    change_count = static_cast<uint64_t>(j.get("change_count").as_int());
    adapter_count = static_cast<uint32_t>(j.get("adapter_count").as_int());
    return true;
}

std::string MachineState::new_guid() {
    uint64_t x = meta.seed * 0x100000001B3ull + ++meta.guid_count;
    const uint64_t a = splitmix64(x);
    const uint64_t b = splitmix64(x);
    char buf[48];
    std::snprintf(buf, sizeof buf, "{%08" PRIX32 "-%04" PRIX32 "-%04" PRIX32 "-%04" PRIX32 "-%012" PRIX64 "}",
                  static_cast<uint32_t>(a >> 32), static_cast<uint32_t>((a >> 16) & 0xFFFF),
                  static_cast<uint32_t>((a & 0x0FFF) | 0x4000), static_cast<uint32_t>(((b >> 48) & 0x3FFF) | 0x8000),
                  static_cast<uint64_t>(b & 0xFFFFFFFFFFFFull));
    return buf;
}

void apply_setup(MachineState& state, const MachineSetup& setup) {
    using platform::RegistryHive;
    state.system.computer_name = setup.computer_name;
    state.system.architecture = setup.architecture;
    state.system.language = setup.language;
    state.system.oem_code_page = setup.language.rfind("tr", 0) == 0 ? 857 : 437;
    state.system.elevated = setup.elevated;
    state.meta.seed = setup.seed;
    auto& reg = state.registry;
    const RegistryHive lm = RegistryHive::local_machine;
    reg.set_sz(lm, kCurrentVersionKey, "CurrentBuildNumber", std::to_string(setup.build));
    reg.set_sz(lm, kCurrentVersionKey, "CurrentBuild", std::to_string(setup.build));
    reg.set_sz(lm, kCurrentVersionKey, "ProductName", "Windows 10 Pro");  // also on Windows 11
    reg.set_sz(lm, kCurrentVersionKey, "DisplayVersion", setup.build >= 22631 ? "23H2" : setup.build >= 22000 ? "21H2" : "22H2");
    reg.set_sz(lm, kCurrentVersionKey, "EditionID", "Professional");
    if (setup.s_mode) {
        reg.set_dword(lm, kCiPolicyKey, "SkuPolicyRequired", 1);
    } else {
        reg.delete_value(lm, kCiPolicyKey, "SkuPolicyRequired");
    }
    reg.set_sz(lm, kProcessorKey, "ProcessorNameString", kProcessorName);
    state.workstation = WorkstationModel{};
    reg.create_key(lm, "SOFTWARE\\Microsoft");
    reg.create_key(lm, "SYSTEM\\CurrentControlSet\\Services");
    reg.create_key(RegistryHive::current_user, "Software\\Microsoft");

    // The machine's GPU, started, and a package of another maker in the store.
    state.devices.nodes.clear();
    DeviceNode gpu;
    gpu.instance_id = "PCI\\VEN_1AF4&DEV_1050&SUBSYS_11001AF4&REV_01\\3&13C0B0C5&0&10";
    gpu.class_name = "Display";
    gpu.class_guid = kDisplayClassGuid;
    gpu.has_hardware_ids = true;
    gpu.hardware_ids = platform::reg_multi_sz({"PCI\\VEN_1AF4&DEV_1050&SUBSYS_11001AF4&REV_01",
                                               "PCI\\VEN_1AF4&DEV_1050&SUBSYS_11001AF4"})
                           .data;
    gpu.description = "Basic Display Adapter";
    gpu.manufacturer = "(Standard display types)";
    gpu.service = "BasicDisplay";
    gpu.started = true;
    state.devices.nodes.push_back(gpu);
    state.driver_store.packages.clear();
    DriverPackage other;
    other.published_name = "oem0.inf";
    other.original_name = "fabrikamaudio.inf";
    other.provider = "Fabrikam";
    other.class_name = "MEDIA";
    other.class_guid = "{4d36e96c-e325-11ce-bfc1-08002be10318}";
    other.date = "03/14/2024";
    other.version = "6.0.1.8";
    other.signer_name = "Fabrikam Hardware Compatibility Publisher";
    other.description = "Fabrikam High Definition Audio";
    other.manufacturer = "Fabrikam";
    other.service = "FabAudio";
    other.hardware_ids = {"HDAUDIO\\FUNC_01&VEN_FABR&DEV_0001"};
    state.driver_store.packages.push_back(other);
    state.firewall.rules.clear();
    FirewallRule dhcp;
    dhcp.name = "Core Networking - Dynamic Host Configuration Protocol (DHCP-In)";
    dhcp.grouping = "@FirewallAPI.dll,-25000";
    dhcp.application = "%SystemRoot%\\system32\\svchost.exe";
    dhcp.protocol = 17;
    dhcp.local_ports = "68";
    dhcp.remote_addresses = "*";
    state.firewall.rules.push_back(dhcp);
    FirewallRule other_app;
    other_app.name = "Fabrikam Sync (TCP 47000)";
    other_app.grouping = "Fabrikam";
    other_app.application = "C:\\Program Files\\Fabrikam\\sync.exe";
    other_app.protocol = 6;
    other_app.local_ports = "47000";
    other_app.remote_addresses = "LocalSubnet";
    other_app.profiles = 6;
    state.firewall.rules.push_back(other_app);
    fresh_display(state.display, reg, setup.render_gpus, setup.monitors);
}

// ---- machine ----

struct Machine::Lock {
    int fd = -1;
    ~Lock() {
        if (fd >= 0) ::close(fd);  // closing drops the flock
    }
};

Machine::Machine() = default;
Machine::Machine(std::string folder) : folder_(std::move(folder)) {}
Machine::~Machine() = default;

std::string Machine::default_root() {
    std::string root = env_or_empty("SORVANE_SIM_ROOT");
    if (!root.empty()) return root;
    std::string state = env_or_empty("XDG_STATE_HOME");
    if (state.empty()) {
        const std::string home = env_or_empty("HOME");
        state = platform::join_path(home.empty() ? std::string("/tmp") : home, ".local/state");
    }
    return platform::join_path(state, "sorvane-sim");
}

std::unique_ptr<Machine> Machine::open_default() { return std::make_unique<Machine>(default_root()); }

void Machine::set_clock(platform::IClock* clock) { clock_ = clock; }

platform::IClock& Machine::clock() {
    if (clock_ != nullptr) return *clock_;
    if (!system_clock_) system_clock_ = platform::make_system_clock();
    return *system_clock_;
}

void Machine::set_actor(std::string actor) { actor_ = std::move(actor); }

bool Machine::initialized() const {
    return folder_.empty() || platform::file_exists(platform::join_path(folder_, "meta.json"));
}

std::string Machine::program_data() const { return platform::join_path(folder_, "ProgramData"); }
std::string Machine::system32() const { return platform::join_path(folder_, "Windows/System32"); }
std::string Machine::pipes_folder() const { return platform::join_path(folder_, "pipes"); }

void Machine::set_error(std::string e) {
    std::lock_guard<std::mutex> g(error_mutex_);
    last_error_ = std::move(e);
}

std::string Machine::last_error() const {
    std::lock_guard<std::mutex> g(error_mutex_);
    return last_error_;
}

bool Machine::load(MachineState& s, std::vector<std::string>& texts) {
    texts.clear();
    if (folder_.empty()) {
        s = memory_;
        for_each_file(s, [&](auto& m) { texts.push_back(m.to_json().write()); });
        return true;
    }
    bool ok = true;
    std::string error;
    for_each_file(s, [&](auto& m) {
        if (!ok) return;
        using M = std::decay_t<decltype(m)>;
        const std::string path = platform::join_path(folder_, std::string(M::kName) + ".json");
        std::string text;
        const auto r = platform::read_file(path, 64u << 20, text);
        if (r.status == platform::FileStatus::not_found) {
            m = M{};
            texts.push_back(m.to_json().write());
            return;
        }
        if (!r.ok()) {
            ok = false;
            error = "read " + path + ": " + platform::describe(r);
            return;
        }
        Json j;
        if (!Json::parse(text, j, error) || !m.from_json(j, error)) {
            ok = false;
            error = path + ": " + error;
            return;
        }
        texts.push_back(std::move(text));
    });
    if (!ok) set_error(error);
    return ok;
}

bool Machine::store(const MachineState& /*before_state*/, const std::vector<std::string>& before, MachineState& s,
                    std::string_view what, bool always_journal) {
    // Which files changed, and how (the journal's lines).
    std::vector<std::string> after;
    for_each_file(s, [&](auto& m) { after.push_back(m.to_json().write()); });
    std::string lines;
    bool changed = false;
    size_t i = 0;
    for_each_file(s, [&](auto& m) {
        using M = std::decay_t<decltype(m)>;
        const size_t k = i++;
        if (before[k] == after[k] || std::string_view(M::kName) == MachineMeta::kName) return;
        changed = true;
        Json a;
        Json b;
        std::string ignored;
        Json::parse(before[k], a, ignored);
        Json::parse(after[k], b, ignored);
        const auto old_lines = json_flatten(a);
        const auto new_lines = json_flatten(b);
        const std::set<std::string> olds(old_lines.begin(), old_lines.end());
        const std::set<std::string> news(new_lines.begin(), new_lines.end());
        for (const auto& l : old_lines)
            if (news.count(l) == 0) lines += "  - " + std::string(M::kName) + "/" + l + "\n";
        for (const auto& l : new_lines)
            if (olds.count(l) == 0) lines += "  + " + std::string(M::kName) + "/" + l + "\n";
    });
    std::string entry;
    if (changed || always_journal) {
        ++s.meta.change_count;
        after.back() = s.meta.to_json().write();
        char head[160];
        const std::string stamp = platform::utc_stamp(platform::utc_civil(clock().wall_ms()));
        std::snprintf(head, sizeof head, "#%" PRIu64 " %s %s[%d] ", s.meta.change_count, stamp.c_str(),
                      actor_.empty() ? process_name().c_str() : actor_.c_str(), static_cast<int>(::getpid()));
        entry = head + std::string(what) + "\n" + lines;
    }
    if (folder_.empty()) {
        memory_ = s;
        memory_journal_ += entry;
        return true;
    }
    bool ok = true;
    std::string error;
    i = 0;
    for_each_file(s, [&](auto& m) {
        using M = std::decay_t<decltype(m)>;
        const size_t k = i++;
        const std::string path = platform::join_path(folder_, std::string(M::kName) + ".json");
        if (!ok || (before[k] == after[k] && platform::file_exists(path))) return;
        if (!write_whole(path, after[k], error)) ok = false;
    });
    if (!entry.empty()) append_text(platform::join_path(folder_, "journal.log"), entry);
    if (!ok) set_error(error);
    return ok;
}

// Takes the machine's flock (exclusive for a change, shared for a read); an
// in-memory machine needs none.
bool Machine::lock_folder(Lock& lock, bool exclusive) {
    if (folder_.empty()) return true;
    if (!initialized()) {
        set_error("no simulated machine in " + folder_ + " (run sorvane-sim init)");
        return false;
    }
    lock.fd = ::open(platform::join_path(folder_, "machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock.fd < 0) {
        set_error("open machine.lock: " + std::string(std::strerror(errno)));
        return false;
    }
    while (::flock(lock.fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR) {
            set_error("lock machine.lock: " + std::string(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

bool Machine::reap_driver_hosts(MachineState& s, std::vector<std::string>& before) {
    if (folder_.empty()) return true;
    std::string what = reap_ended_driver_hosts(folder_, s);
    if (what.empty()) return true;
    while (what.back() == '\n') what.pop_back();
    for (char& c : what)
        if (c == '\n') c = ';';
    if (!store(s, before, s, what, false)) return false;
    before.clear();
    for_each_file(s, [&](auto& m) { before.push_back(m.to_json().write()); });
    return true;
}

bool Machine::change(std::string_view what, const std::function<void(MachineState&)>& fn, bool always_journal) {
    std::lock_guard<std::mutex> g(mutex_);
    Lock lock;
    if (!lock_folder(lock, true)) return false;
    MachineState s;
    std::vector<std::string> before;
    if (!load(s, before) || !reap_driver_hosts(s, before)) return false;
    fn(s);
    return store(s, before, s, what, always_journal);
}

bool Machine::update(std::string_view what, const std::function<void(MachineState&)>& fn) {
    return change(what, fn, false);
}

bool Machine::record(std::string_view what, const std::function<void(MachineState&)>& fn) {
    return change(what, fn, true);
}

bool Machine::read(const std::function<void(const MachineState&)>& fn) {
    std::lock_guard<std::mutex> g(mutex_);
    MachineState s;
    std::vector<std::string> texts;
    {
        Lock lock;
        if (!lock_folder(lock, false) || !load(s, texts)) return false;
        if (folder_.empty() || !driver_hosts_ended(folder_, s.devices)) {
            fn(s);
            return true;
        }
    }
    // A driver host ended: what it left goes first, under the exclusive lock.
    Lock lock;
    if (!lock_folder(lock, true) || !load(s, texts) || !reap_driver_hosts(s, texts)) return false;
    fn(s);
    return true;
}

uint32_t Machine::fault(std::string_view point) {
    uint32_t code = 0;
    if (!update(std::string("fault point ") + std::string(point), [&](MachineState& s) { code = s.fault(point); }))
        return 21;  // ERROR_NOT_READY
    return code;
}

uint32_t Machine::fault_or_hang(std::string_view point) {
    const uint32_t code = fault(point);
    if (code != kFaultHang) return code;
    for (;;) {
        bool armed = false;
        if (!read([&](const MachineState& s) {
                for (const auto& f : s.faults.faults()) armed = armed || (f.point == point && f.code == kFaultHang);
            }))
            return 21;  // ERROR_NOT_READY
        if (!armed) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool Machine::initialize(const MachineSetup& setup) {
    if (!folder_.empty()) {
        for (const char* sub : {"", "pipes", "ProgramData", "Windows/System32"}) {
            const auto r = platform::create_directories(platform::join_path(folder_, sub));
            if (!r.ok()) {
                set_error("create " + platform::join_path(folder_, sub) + ": " + platform::describe(r));
                return false;
            }
        }
        std::lock_guard<std::mutex> g(mutex_);
        Lock lock;
        lock.fd = ::open(platform::join_path(folder_, "machine.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock.fd < 0 || ::flock(lock.fd, LOCK_EX) != 0) {
            set_error("lock machine.lock: " + std::string(std::strerror(errno)));
            return false;
        }
        MachineState fresh;
        apply_setup(fresh, setup);
        std::string error;
        bool ok = true;
        for_each_file(fresh, [&](auto& m) {
            using M = std::decay_t<decltype(m)>;
            if (ok) ok = write_whole(platform::join_path(folder_, std::string(M::kName) + ".json"), m.to_json().write(), error);
        });
        const std::string stamp = platform::utc_stamp(platform::utc_civil(clock().wall_ms()));
        ok = ok && write_whole(platform::join_path(folder_, "journal.log"),
                               "#0 " + stamp + " " + (actor_.empty() ? process_name() : actor_) + "[" +
                                   std::to_string(::getpid()) + "] init\n",
                               error);
        if (!ok) set_error(error);
        return ok;
    }
    std::lock_guard<std::mutex> g(mutex_);
    memory_ = MachineState{};
    apply_setup(memory_, setup);
    memory_journal_.clear();
    return true;
}

bool Machine::install_system_programs(const std::string& bin_dir) {
    for (const char* tool : {"pnputil", "icacls", "cmd"}) {
        const std::string target = platform::join_path(bin_dir, std::string("sorvane-sim-") + tool);
        const std::string link = platform::join_path(system32(), std::string(tool) + ".exe");
        ::unlink(link.c_str());
        if (::symlink(target.c_str(), link.c_str()) != 0) {
            set_error("link " + link + ": " + std::strerror(errno));
            return false;
        }
    }
    return true;
}

std::string Machine::dump_of(const MachineState& state) {
    Json j = Json::object();
    for_each_model(state, [&](const auto& m) {
        using M = std::decay_t<decltype(m)>;
        j[M::kName] = m.to_json();
    });
    return j.write();
}

bool Machine::dump(std::string& out) {
    if (!read([&](const MachineState& s) { out = dump_of(s); })) return false;
    if (folder_.empty()) return true;
    // The machine's files that are state rather than logs.
    Json files = Json::object();
    std::vector<std::string> pending{""};
    const std::string base = program_data();
    while (!pending.empty()) {
        const std::string rel = pending.back();
        pending.pop_back();
        std::vector<std::string> names;
        platform::list_directory(platform::join_path(base, rel), names);
        for (const auto& n : names) {
            const std::string child = rel.empty() ? n : rel + "/" + n;
            struct stat st {};
            if (::lstat(platform::join_path(base, child).c_str(), &st) != 0) continue;
            if (S_ISDIR(st.st_mode)) pending.push_back(child);
            else if (n.size() < 4 || n.compare(n.size() - 4, 4, ".log") != 0) files[child] = static_cast<int64_t>(st.st_size);
        }
    }
    Json all;
    std::string error;
    if (!Json::parse(out, all, error)) return false;
    all["program_data_files"] = files;
    out = all.write();
    return true;
}

std::string Machine::journal() {
    if (folder_.empty()) {
        std::lock_guard<std::mutex> g(mutex_);
        return memory_journal_;
    }
    std::string text;
    platform::read_file(platform::join_path(folder_, "journal.log"), 256u << 20, text);
    return text;
}

std::string pipe_socket_path(const std::string& root, std::string_view windows_name) {
    std::string n(windows_name);
    for (char& c : n)
        if (c == '/') c = '\\';
    const std::string prefix = "\\\\.\\pipe\\";
    if (n.size() <= prefix.size()) return {};
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = n[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (a != prefix[i]) return {};
    }
    const std::string name = n.substr(prefix.size());
    if (name == "." || name == ".." || name.find_first_of(std::string("\\/\0", 3)) != std::string::npos) return {};
    return platform::join_path(platform::join_path(root, "pipes"), name);
}

}  // namespace sorvane::sim
