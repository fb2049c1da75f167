// The simulated Windows machine: every facility Linux lacks, modelled once.
//
// The machine's state is a set of models (plain classes, usable in memory)
// kept as one JSON file each in the machine's folder, so that separate
// processes (setup, devtool, driver, host, sorvane-sim) see one machine:
//
//   <root>/machine.lock     one flock lock: every read-modify-write holds it
//   <root>/<model>.json     one file per model, written whole and renamed in
//   <root>/faults.json      armed fault points and their call counts
//   <root>/meta.json        seed and counters of the machine's identifiers
//   <root>/journal.log      every change: who, when, what, and the lines of
//                           the models that changed
//   <root>/pipes/           the pipe namespace: \\.\pipe\NAME is pipes/NAME
//   <root>/ProgramData/     C:\ProgramData
//   <root>/Windows/System32 the system programs (pnputil, icacls, cmd)
//
// The root is $SORVANE_SIM_ROOT, or when unset $XDG_STATE_HOME/sorvane-sim,
// else ~/.local/state/sorvane-sim.
//
// Adding a model: write a class with kName, to_json() and from_json(), add a
// member to MachineState and one line to for_each_model. Code changes the
// machine only through Machine::update, which runs under the lock, writes the
// models whose JSON changed and journals the change.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/sim/device_model.h"
#include "platform/sim/display_model.h"
#include "platform/sim/input_model.h"
#include "platform/sim/json.h"
#include "platform/sim/network_model.h"
#include "platform/sim/registry_model.h"
#include "platform/sim/security_model.h"
#include "platform/sim/startup_model.h"
#include "platform/sim/system_model.h"
#include "platform/sim/tray_model.h"
#include "platform/sim/workstation_model.h"

namespace sorvane::sim {

// The code of a fault that makes the calls of its point never answer, as a
// hung system service does: from the Nth call on, every call of the point
// blocks until the fault is cleared (sorvane-sim fault clear POINT). Points
// that can hang say so where they are listed.
inline constexpr uint32_t kFaultHang = 0xFFFFFFFFu;

// Named fault points: "the Nth call of POINT (counted from when it was armed)
// fails with CODE", for TIMES consecutive calls. Point names are the
// operation names of the models and ports, like "registry.set_value" or
// "devices.register".
class FaultTable {
public:
    static constexpr const char* kName = "faults";

    struct Fault {
        std::string point;
        uint64_t nth = 1;
        uint32_t code = 0;
        uint64_t times = 1;
        uint64_t calls = 0;  // calls of the point seen since arming
    };

    void arm(std::string point, uint64_t nth, uint32_t code, uint64_t times = 1);
    // Disarms every fault of point, or all when point is empty.
    void clear(std::string_view point = {});
    // Counts one call of point; returns the code when this call must fail, else 0.
    uint32_t hit(std::string_view point);
    const std::vector<Fault>& faults() const { return faults_; }

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);

private:
    std::vector<Fault> faults_;
};

// Seeds and counters behind the machine's generated identifiers.
struct MachineMeta {
    static constexpr const char* kName = "meta";
    uint64_t seed = 0x5EED;
    uint64_t guid_count = 0;
    uint64_t change_count = 0;
    uint32_t adapter_count = 0;  // indirect display adapters started, so each gets a LUID of its own

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

struct MachineState {
    SystemModel system;
    RegistryModel registry;
    DeviceModel devices;
    DriverStoreModel driver_store;
    CertificateModel certificates;
    KeyModel keys;
    AclModel acls;
    FirewallModel firewall;
    DisplayModel display;
    InputModel input;
    StartupModel startup;
    NetworkModel network;
    WorkstationModel workstation;

    // The running programs' windows and notification icons: not part of the
    // dump, since they go with their programs.
    TrayModel tray;

    // Steering of the simulation; not part of the dump.
    FaultTable faults;
    MachineMeta meta;

    // Counts a call of a fault point; non-zero is the code the call fails with.
    uint32_t fault(std::string_view point) { return faults.hit(point); }
    // The next identifier of the machine's seeded sequence, as
    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
    std::string new_guid();
};

// Every model of the machine's state, in dump order.
template <class State, class F>
void for_each_model(State& s, F&& f) {
    f(s.system);
    f(s.registry);
    f(s.devices);
    f(s.driver_store);
    f(s.certificates);
    f(s.keys);
    f(s.acls);
    f(s.firewall);
    f(s.display);
    f(s.input);
    f(s.startup);
    f(s.network);
    f(s.workstation);
}

// The Windows facts a fresh machine starts with.
struct MachineSetup {
    uint32_t build = 22631;  // Windows 11 23H2
    std::string architecture = "x64";
    std::string language = "en-US";  // "tr-TR" gives Turkish system texts
    bool elevated = true;
    bool s_mode = false;
    std::string computer_name = "SIMPC";
    uint64_t seed = 0x5EED;
    // Rendering GPUs and the physical monitors on the first of them.
    uint32_t render_gpus = 1;
    std::vector<DisplayMode> monitors = {{1920, 1080, 60}};
};

// Writes the registry values and system facts of setup into state (over
// whatever was there).
void apply_setup(MachineState& state, const MachineSetup& setup);

class Machine {
public:
    // A machine in memory only.
    Machine();
    // The machine kept in folder (not created or checked here).
    explicit Machine(std::string folder);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The folder of the machine processes use ($SORVANE_SIM_ROOT or the
    // per-user default).
    static std::string default_root();
    // The machine in default_root().
    static std::unique_ptr<Machine> open_default();

    // Not owned; null selects the system clock. Used for journal stamps and
    // by models that read time.
    void set_clock(platform::IClock* clock);
    platform::IClock& clock();
    // The program name written in journal entries (default: this process's name).
    void set_actor(std::string actor);

    const std::string& folder() const { return folder_; }
    bool in_memory() const { return folder_.empty(); }
    // False for a folder that sorvane-sim init never set up.
    bool initialized() const;

    // Fresh state: the folder's layout, every model written, a new journal.
    bool initialize(const MachineSetup& setup);

    // Puts the system programs into Windows/System32 (pnputil.exe, icacls.exe,
    // cmd.exe as links to sorvane-sim-pnputil, ... in bin_dir).
    bool install_system_programs(const std::string& bin_dir);

    // Runs fn on the current state under the lock, then persists the models
    // that changed and journals the change under the heading what. False
    // (with last_error) when the state could not be read or written; fn has
    // then not run, or its changes are lost.
    bool update(std::string_view what, const std::function<void(MachineState&)>& fn);
    // Like update, but journals what even when no model changed: an event of
    // the machine (a program opened by the shell) rather than a change of its
    // state. fn may count fault points.
    bool record(std::string_view what, const std::function<void(MachineState&)>& fn);
    // Runs fn on the current state under the shared lock. Like update, it
    // first takes away what a driver host that ended left (driver_host.h).
    bool read(const std::function<void(const MachineState&)>& fn);
    // Counts one call of a fault point (its own transaction); 0 when it
    // does not fail. A machine that cannot be read gives ERROR_NOT_READY.
    uint32_t fault(std::string_view point);
    // The same for a point that can hang: a call that hits a kFaultHang fault
    // blocks until that fault is cleared, then goes on as a call that did not
    // fail (0).
    uint32_t fault_or_hang(std::string_view point);

    // The canonical dump of every model (faults, counters and logs excluded),
    // and for a machine in a folder the files under ProgramData other than
    // logs (*.log) with their sizes.
    bool dump(std::string& out);
    static std::string dump_of(const MachineState& state);

    // The journal's text (folder: journal.log; memory: what was journaled).
    std::string journal();

    // The file system paths of the machine.
    std::string program_data() const;
    std::string system32() const;
    std::string pipes_folder() const;

    std::string last_error() const;

private:
    struct Lock;
    bool lock_folder(Lock& lock, bool exclusive);
    bool load(MachineState& s, std::vector<std::string>& texts);
    bool store(const MachineState& before_state, const std::vector<std::string>& before, MachineState& s,
               std::string_view what, bool always_journal);
    bool change(std::string_view what, const std::function<void(MachineState&)>& fn, bool always_journal);
    // Takes away what driver hosts that ended without unloading left (driver_host.h),
    // as a change of its own; before becomes the texts of the state stored.
    bool reap_driver_hosts(MachineState& s, std::vector<std::string>& before);
    void set_error(std::string e);

    std::string folder_;
    std::mutex mutex_;  // threads of this process; the flock covers processes
    MachineState memory_;
    std::string memory_journal_;
    platform::IClock* clock_ = nullptr;
    std::unique_ptr<platform::IClock> system_clock_;
    std::string actor_;
    mutable std::mutex error_mutex_;
    std::string last_error_;
};

// The Unix socket of the pipe \\.\pipe\NAME (forward slashes accepted) in the
// machine rooted at root: root/pipes/NAME. Empty when the name is not a pipe
// name or NAME is empty, ".", "..", or holds a slash, backslash or NUL.
std::string pipe_socket_path(const std::string& root, std::string_view windows_name);

}  // namespace sorvane::sim
