// The one-shot commands that act on the user's host from outside a running
// instance: --set-autostart on|off, --quit and --purge-user-data.
#pragma once

#include <string>

#include "host/core/purge.h"

namespace sorvane {

// --set-autostart: 0 done, 1 failed, 64 for a word other than "on" or "off".
int run_set_autostart(const std::string& word);
// --quit: asks a running tray host to end and waits up to 10 s; prints the outcome.
int run_quit();
// --purge-user-data: as purge_user_data, printed on the console.
int run_purge_user_data();

// The running tray host as this machine's tray port shows it.
RunningTrayHost system_running_tray_host();

}  // namespace sorvane
