// The problem report as the host's components feed it: the facts the report
// cannot read through ports alone (the driver's state, the offered addresses,
// the paired devices), for the console's --report and the panel's job.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/report/report.h"
#include "host/ui/panel_bridge.h"
#include "platform/protect.h"

namespace sorvane {

class PairingStore;
class HostDiscovery;

// Adds the sources every report of this host has: the driver's state over a
// control connection of its own, the offered addresses, a fresh look at the
// networks and the firewall, the driver-readiness note and the last device
// removal. discovery (when the host runs one) adds what its watcher saw: the
// panel's warning and since when.
void add_host_report_sources(hostreport::ReportEnv& env, const HostDiscovery* discovery = nullptr);

// The paired devices' client ids and names as pairings.dat holds them, read
// without touching the file.
void paired_devices_in_file(const std::string& path, platform::IDataProtector& protector,
                            std::vector<std::string>& client_ids, std::vector<std::string>& names);

// "--report": builds the report and prints where it is; the exit code.
int run_report_command();

// The panel's "create_report" over a running host: the paired devices of
// its store are masked, its network watcher tells about the warning,
// update_status gives the update check's text (empty: the setting, no check
// ran), pairing_port the port the pairing listener is probed on, the folder
// is shown with the report selected. Runs on the panel's job thread.
PanelReportJob panel_report_job(const PairingStore& store, const HostDiscovery* discovery,
                                std::function<std::string()> update_status, std::function<uint16_t()> pairing_port);

}  // namespace sorvane
