#include "host/app/report_command.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "common/text.h"
#include "host/app/discovery.h"
#include "host/app/host_runtime.h"
#include "host/core/log.h"
#include "host/core/options.h"
#include "host/monitors/driver_control_client.h"
#include "host/monitors/driver_monitor_provider.h"
#include "host/net/network_profile.h"
#include "host/net/network_watcher.h"
#include "host/protocol/defaults.h"
#include "host/trust/pairing_store.h"
#include "host/ui/device_management.h"
#include "host/ui/update_check.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/firewall.h"
#include "platform/network.h"
#include "platform/self_process.h"

namespace sorvane {

namespace {

constexpr uint32_t kDriverConnectMs = 800;
constexpr size_t kPairingsReadLimit = 16u << 20;

hostreport::DriverStateFacts driver_state_facts() {
    hostreport::DriverStateFacts f;
    auto clock = platform::make_system_clock();
    DriverControlClient client(*clock);
    if (!client.connect(kDriverConnectMs, f.connect_error)) return f;
    f.connected = true;
    ControlReply reply;
    client.request("GET_STATE", reply);
    f.ok = reply.ok;
    f.pairs = reply.pairs;
    if (!reply.ok) f.failure = DriverControlClient::describe(reply);
    client.close();
    return f;
}

std::vector<hostreport::PairingAddress> offered_pairing_addresses() {
    auto network = platform::make_system_network_info();
    std::vector<hostreport::PairingAddress> out;
    for (const auto& a : netprofile::enumerate(*network)) {
        hostreport::PairingAddress p;
        p.ip = a.ip;
        p.friendly_name = a.friendly_name;
        p.description = a.description;
        p.is_virtual = a.is_virtual;
        p.usb = a.usb;
        p.default_route = a.default_route;
        p.mesh_range = a.mesh_range;
        out.push_back(std::move(p));
    }
    return out;
}

// A fresh snapshot's firewall block; live, the running watcher's snapshot,
// tells whether the panel shows the warning and since when.
hostreport::FirewallBlockFacts firewall_block_facts(const std::optional<NetworkSnapshot>& live) {
    auto network = platform::make_system_network_info();
    auto list = platform::make_network_list();
    auto firewall = platform::make_firewall_policy();
    std::string exe;
    platform::module_file_name(exe);
    const std::vector<PhysicalNetwork> networks = physical_networks(*network, *list);
    const BlockVerdict verdict =
        evaluate_blocked(networks, query_firewall(*firewall), ascii_lower(exe), proto::kDefaultControlPort);
    hostreport::FirewallBlockFacts f;
    f.network_text = network_text(networks);
    f.details_known = verdict.details_known;
    f.category = verdict.details.category;
    f.firewall_enabled = verdict.details.profile_enabled;
    f.default_inbound_block = verdict.details.default_inbound_block;
    f.block_all_inbound = verdict.details.block_all_inbound;
    f.allow_rule = verdict.details.allow_rule;
    f.block_rule = verdict.details.block_rule;
    f.physical_public = std::any_of(networks.begin(), networks.end(),
                                    [](const PhysicalNetwork& n) { return n.category == kCategoryPublic; });
    // The panel's warning: the watcher's (it stays for the run); without a
    // running watcher, what the panel would show now.
    f.warning_shown = live && live->valid ? live->blocked : verdict.blocked;
    if (live && live->valid) f.first_blocked_at = live->first_blocked_at;
    return f;
}

// The paired devices a report masks, as read when it starts.
std::function<void(std::vector<std::string>&, std::vector<std::string>&)> paired_devices_source(
    std::vector<std::string> client_ids, std::vector<std::string> names) {
    return [client_ids = std::move(client_ids), names = std::move(names)](std::vector<std::string>& ids,
                                                                          std::vector<std::string>& device_names) {
        ids = client_ids;
        device_names = names;
    };
}

// What a report masks of the paired devices: every client id and every name given.
void add_paired_devices(const std::vector<PairingRecord>& records, std::vector<std::string>& client_ids,
                        std::vector<std::string>& names) {
    for (const PairingRecord& r : records) {
        client_ids.push_back(r.client_id);
        if (!r.name.empty()) names.push_back(r.name);
    }
}

// No check has run in this process: the setting, and no last result.
std::string update_status_without_check() {
    return std::string(update_check_enabled() ? "acik" : "kapali") + "; son denetim: yok";
}

}  // namespace

void add_host_report_sources(hostreport::ReportEnv& env, const HostDiscovery* discovery) {
    env.driver_state = driver_state_facts;
    env.pairing_addresses = offered_pairing_addresses;
    // The watcher's snapshot is taken now: the timed section must not reach
    // into the host once the report is over.
    std::optional<NetworkSnapshot> live;
    if (discovery != nullptr) live = discovery->network_snapshot();
    env.firewall_block = [live] { return std::optional<hostreport::FirewallBlockFacts>(firewall_block_facts(live)); };
    env.driver_readiness_note = [] {
        const auto [set, text] = driver_readiness_note();
        return set ? text : std::string();
    };
    env.removal_note = removal_note_for_report;
}

void paired_devices_in_file(const std::string& path, platform::IDataProtector& protector,
                            std::vector<std::string>& client_ids, std::vector<std::string>& names) {
    std::string blob;
    std::string plain;
    uint32_t error = 0;
    if (!platform::read_file(path, kPairingsReadLimit, blob).ok() || !protector.unprotect(blob, plain, error)) return;
    add_paired_devices(PairingStore::parse(plain), client_ids, names);
}

int run_report_command() {
    // Standard output carries the one result line; the steps go to standard error.
    process_log().set_echo_sink([](std::string_view line) {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    });
    open_log(true, "");

    auto system = hostreport::system_report_env();
    hostreport::ReportEnv& env = system->env;
    add_host_report_sources(env);
    if (const char* port = std::getenv("SORVANE_PAIRING_PORT"); port != nullptr && *port != '\0') {
        env.pairing_port = static_cast<uint16_t>(std::strtoul(port, nullptr, 10));
    }
    const HostPaths paths = host_paths(*system->paths);
    auto protector = platform::make_user_data_protector();
    std::vector<std::string> client_ids, names;
    if (protector) paired_devices_in_file(paths.pairings_file, *protector, client_ids, names);
    const int paired = static_cast<int>(client_ids.size());
    env.paired_devices = paired_devices_source(std::move(client_ids), std::move(names));
    env.update_status = update_status_without_check;

    hostreport::Info info;
    info.version = kHostVersion;
    info.protocol = protocol_text();
    info.paired = paired;
    const hostreport::Result r = hostreport::create(info, false, nullptr, env);
    if (!r.ok) {
        std::printf("report: HATA %s\n", r.error.c_str());
        std::fflush(stdout);
        return 1;
    }
    platform::set_console_output_utf8();
    std::printf("report: %s (%d dosya)\n", r.path.c_str(), r.files);
    std::fflush(stdout);
    return 0;
}

PanelReportJob panel_report_job(const PairingStore& store, const HostDiscovery* discovery,
                                std::function<std::string()> update_status, std::function<uint16_t()> pairing_port) {
    if (!update_status) update_status = update_status_without_check;
    return [&store, discovery, update_status = std::move(update_status), pairing_port = std::move(pairing_port)](
               const PanelReportRequest& request, const std::atomic<bool>& cancel) {
        auto system = hostreport::system_report_env();
        hostreport::ReportEnv& env = system->env;
        add_host_report_sources(env, discovery);
        env.update_status = update_status;
        if (pairing_port) env.pairing_port = pairing_port();
        std::vector<std::string> client_ids, names;
        add_paired_devices(store.list(), client_ids, names);
        env.paired_devices = paired_devices_source(std::move(client_ids), std::move(names));
        hostreport::Info info;
        info.version = request.version;
        info.protocol = request.protocol;
        info.encoder = request.encoder;
        info.paired = request.paired;
        const hostreport::Result r = hostreport::create(info, true, &cancel, env);
        PanelReportOutcome outcome;
        outcome.ok = r.ok;
        outcome.path = r.path;
        outcome.files = r.files;
        outcome.error = r.error;
        outcome.cancelled = r.cancelled;
        return outcome;
    };
}

}  // namespace sorvane
