#include "host/app/one_shot_commands.h"

#include <cstdio>

#include "host/app/command_line.h"
#include "host/app/host_runtime.h"
#include "host/core/autostart.h"
#include "host/trust/tls_identity.h"
#include "host/ui/tray_icon.h"
#include "platform/cert_store.h"
#include "platform/console.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/self_process.h"
#include "platform/shell_links.h"
#include "platform/tray.h"

namespace sorvane {

namespace {

void print(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string exe_path() {
    std::string path;
    if (!platform::module_file_name(path)) path.clear();
    return path;
}

}  // namespace

RunningTrayHost system_running_tray_host() {
    RunningTrayHost host;
    host.find_window = [](uint32_t& process_id) {
        const platform::TrayWindowRef w = platform::find_tray_window(TrayIcon::kWindowClass);
        process_id = w.process_id;
        return w.found;
    };
    host.post_quit = [] { return platform::post_tray_window(TrayIcon::kWindowClass, TrayIcon::kQuitMessage, 0, 0); };
    return host;
}

int run_set_autostart(const std::string& word) {
    if (word != "on" && word != "off") {
        print("--set-autostart needs on|off\n");
        return kExitUsage;
    }
    auto links = platform::make_shell_links();
    return set_autostart(*links, exe_path(), word == "on") ? 0 : 1;
}

int run_quit() {
    auto clock = platform::make_system_clock();
    const int result = quit_running_host(system_running_tray_host(), *clock, kQuitTimeoutMs);
    print(quit_result_text(result));
    return result;
}

int run_purge_user_data() {
    platform::set_console_output_utf8();
    auto clock = platform::make_system_clock();
    auto paths = platform::make_system_paths();
    auto links = platform::make_shell_links();
    auto registry = platform::make_system_registry();
    const std::string data_folder = host_paths(*paths).data_dir;
    auto identity = platform::make_certificate_store(identity_store_folder(data_folder));
    const std::string exe = exe_path();
    PurgePorts ports{data_folder,
                     [&] { return quit_running_host(system_running_tray_host(), *clock, kQuitTimeoutMs); },
                     [&] { return set_autostart(*links, exe, false); },
                     *identity,
                     kHostIdentityName,
                     std::string(kIdentityKeyPrefix) + kHostIdentityName,
                     *registry,
                     exe,
                     print};
    return purge_user_data(ports);
}

}  // namespace sorvane
