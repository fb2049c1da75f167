// Quitting a running tray host from another process, and removing
// everything the host keeps for the current user.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/cert_store.h"
#include "platform/clock.h"
#include "platform/process_wait.h"
#include "platform/registry.h"

namespace sorvane {

inline constexpr uint64_t kQuitTimeoutMs = 10'000;
inline constexpr uint64_t kQuitPollMs = 100;

// A running tray host as another process reaches it: its window, found by
// class, and the process that owns it.
struct RunningTrayHost {
    // True when the window exists; process_id is its owner (0 when unknown).
    std::function<bool(uint32_t& process_id)> find_window;
    // Posts the quit message to the window; false when there is none.
    std::function<bool()> post_quit;
    std::function<std::unique_ptr<platform::ProcessWatch>(uint32_t process_id)> watch = platform::open_process_watch;
};

// 0 when no tray host runs or it ended within timeout_ms (read on clock);
// 1 when it still runs. Its process is waited for when it can be opened,
// otherwise its window, every 100 ms.
int quit_running_host(const RunningTrayHost& host, platform::IClock& clock, uint64_t timeout_ms);

// --quit: the result as a line for the console.
const char* quit_result_text(int result);

struct PurgePorts {
    // The user data folder; empty when the system has none.
    std::string data_folder;
    // quit_running_host with 10 s.
    std::function<int()> quit_running_host;
    // set_autostart(off).
    std::function<bool()> autostart_off;
    // The store of the TLS identity, with what names its certificates and its key.
    platform::ICertificateStore& identity_store;
    std::string identity_subject;
    std::string identity_key_name;
    // The GPU preference is kept under this program's full path.
    platform::IRegistry& registry;
    std::string exe_path;
    // Console output (UTF-8).
    std::function<void(std::string_view)> print;
};

// Stops a running host, then removes the autostart shortcut, the TLS
// identity's certificates and key, the GPU preference entry and the user
// data folder, printing a line for each. 0 all done, 1 partly done, 2 the
// running host could not be stopped (nothing removed).
int purge_user_data(PurgePorts& ports);

}  // namespace sorvane
