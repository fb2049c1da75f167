// The problem report: a plain-text summary of the machine and of the host's
// own records, the newest logs of the host, the driver and the setup tool and
// the settings, all masked (mask.h), written as one ZIP file on the user's
// desktop. Each slow probe runs under its own time limit, and a caller's
// cancel flag stops the report at any step; a stopped or failed report
// leaves no file behind.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "host/report/mask.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/firewall.h"
#include "platform/gpu.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/shell.h"
#include "platform/system_info.h"

namespace sorvane::hostreport {

// What the caller tells about the running host.
struct Info {
    std::string version;   // "0.1.14"
    std::string protocol;  // "1.0 (0x0100)"
    std::string encoder;   // summary of the encoder in use; empty before any session
    int paired = 0;        // paired devices
};

struct Result {
    bool ok = false;
    std::string path;   // the ZIP file (UTF-8)
    std::string error;  // "iptal" when cancelled
    int files = 0;      // entries written
    bool cancelled = false;
};

// The driver's answer to GET_STATE on a control connection of the report's own.
struct DriverStateFacts {
    bool connected = false;
    std::string connect_error;
    bool ok = false;
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string failure;  // the failed reply, described
};

// One address offered for pairing, in the order offered.
struct PairingAddress {
    std::string ip;
    std::string friendly_name;
    std::string description;
    bool is_virtual = false;
    bool usb = false;
    bool default_route = false;
    bool mesh_range = false;
};

// The network watcher's view: a fresh snapshot with its firewall query.
struct FirewallBlockFacts {
    std::string network_text;  // "Wi-Fi Genel, Ethernet Ozel" or "fiziksel ag yok"
    bool details_known = false;
    int category = 0;  // of the first Private or Public network: 1 Public, 2 Private, 3 Domain
    bool firewall_enabled = false;
    bool default_inbound_block = false;
    bool block_all_inbound = false;
    bool allow_rule = false;
    bool block_rule = false;
    bool physical_public = false;  // a physical network is Public (mDNS hides the name)
    bool warning_shown = false;    // the panel shows the firewall warning
    std::string first_blocked_at;  // empty when never blocked in this run
};

// Connected networks as the Network List Manager reports them.
struct ConnectedNetwork {
    int category = 0;           // 0 Public, 1 Private, 2 Domain (NLM_NETWORK_CATEGORY)
    uint32_t connectivity = 0;  // NLM_CONNECTIVITY bits
};
enum class NetworkListStatus { ok, unavailable, enumeration_failed };

// The firewall policy as its COM interfaces give it.
struct FirewallPolicyFacts {
    bool opened = false;
    bool profiles_known = false;
    int32_t current_profiles = 0;
    platform::FirewallProfileState domain, private_, public_;
    bool rules_ok = false;
    std::vector<platform::FirewallRuleSpec> rules;
};

// Everything the report reads. Callables marked "timed" run on a thread of
// their own that may outlive create(): they must own whatever they use.
struct ReportEnv {
    platform::IClock* clock = nullptr;
    platform::IPaths* paths = nullptr;
    platform::ISystemInfo* system = nullptr;
    platform::IRegistry* registry = nullptr;
    platform::IShell* shell = nullptr;
    // Creates the ZIP file (platform::create_output_file when empty).
    std::function<std::unique_ptr<platform::OutputFile>(const std::string& path, platform::FileResult& result)>
        create_file;

    // Timed probes; a missing one gives the section's "cannot read" text.
    std::function<std::unique_ptr<platform::IGpuAdapters>()> gpu_adapters;
    std::function<DriverStateFacts()> driver_state;
    std::function<NetworkListStatus(std::vector<ConnectedNetwork>&)> networks;
    std::function<std::optional<FirewallBlockFacts>()> firewall_block;
    std::function<std::vector<PairingAddress>()> pairing_addresses;
    std::function<std::unique_ptr<platform::IFirewallPolicy>()> firewall_policy;
    std::function<std::unique_ptr<platform::ISecurityCenter>()> security_center;
    uint16_t pairing_port = 47010;

    // Host records, read on the caller's thread.
    std::function<std::string()> driver_readiness_note;  // empty: none
    std::function<std::string()> update_status;          // update_status_text
    std::function<std::string()> removal_note;           // removal_note_for_report
    // Client ids and names of the paired devices, masked everywhere.
    std::function<void(std::vector<std::string>& client_ids, std::vector<std::string>& names)> paired_devices;

    // Called after each step's log line with the step's name (tests stop a
    // report at a chosen step through it).
    std::function<void(std::string_view step)> on_step;
};

// The machine's own facilities (platform factories) with no host records:
// what a process that runs no host (the console's --report) starts from.
// The ports are owned by the returned holder.
struct SystemReportEnv {
    std::unique_ptr<platform::IClock> clock;
    std::unique_ptr<platform::IPaths> paths;
    std::unique_ptr<platform::ISystemInfo> system;
    std::unique_ptr<platform::IRegistry> registry;
    std::unique_ptr<platform::IShell> shell;
    ReportEnv env;
};
std::unique_ptr<SystemReportEnv> system_report_env();

// Builds the report. Blocks until it is written, failed or cancelled.
Result create(const Info& info, bool open_folder, const std::atomic<bool>* cancel, const ReportEnv& env);

// Runs body on a detached thread and waits at most limit_ms of clock for its
// text; on time-out (logged) or cancellation, returns fallback and drops the
// body's late result.
std::string with_timeout(platform::IClock& clock, const char* name, uint32_t limit_ms, const std::atomic<bool>* cancel,
                         std::function<std::string()> body, const std::string& fallback);

// The texts of the timed sections, each line starting with two blanks.
std::string adapters_text(int32_t enum_result, const std::vector<platform::AdapterDesc>& adapters);
std::string driver_state_text(const DriverStateFacts& facts);
std::string network_list_text(NetworkListStatus status, const std::vector<ConnectedNetwork>& networks);
std::string firewall_block_text(const std::optional<FirewallBlockFacts>& facts);
std::string pairing_text(const std::vector<PairingAddress>& addresses, bool listening,
                         const std::vector<std::string>& pairing_lines);
std::string firewall_rules_text(const FirewallPolicyFacts& facts, const std::string& host_executable);
std::string security_products_text(platform::ISecurityCenter* center);

// The lines of a log's tail that tell about pairing: longer than 8
// characters and containing "[pairing]", the last 12.
std::vector<std::string> pairing_log_lines(std::string_view tail);

}  // namespace sorvane::hostreport
