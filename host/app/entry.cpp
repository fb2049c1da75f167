#include "host/app/entry.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "host/app/command_line.h"
#include "host/app/gpu_preference.h"
#include "host/app/host_runtime.h"
#include "host/app/one_shot_commands.h"
#include "host/app/report_command.h"
#include "host/app/tray_features.h"
#include "host/core/crash.h"
#include "host/core/log.h"
#include "host/core/options.h"
#include "host/core/power.h"
#include "platform/console.h"
#include "platform/instance.h"
#include "platform/network.h"
#include "platform/protect.h"

namespace sorvane {

namespace {

std::atomic<bool> g_stop_requested{false};

}  // namespace

std::vector<OneShotCommand> one_shot_commands() {
    return {
        {"--set-autostart", [](const std::vector<std::string>& rest) { return run_set_autostart(rest[0]); }},
        {"--quit", [](const std::vector<std::string>&) { return run_quit(); }},
        {"--purge-user-data", [](const std::vector<std::string>&) { return run_purge_user_data(); }},
        {"--report", [](const std::vector<std::string>&) { return run_report_command(); }},
        {"--gpu-pref-check", [](const std::vector<std::string>&) { return run_gpu_preference_check(); }},
    };
}

int host_main(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);

    // One-shot commands: only the first argument is looked at.
    if (!args.empty()) {
        for (const OneShotCommand& cmd : one_shot_commands()) {
            if (args[0] != cmd.name) continue;
            // "--set-autostart" without its word is not a command; it then
            // fails below as an unknown option.
            if (cmd.name == "--set-autostart" && args.size() < 2) break;
            return cmd.run(std::vector<std::string>(args.begin() + 1, args.end()));
        }
    }

    HostOptions options;
    RunSettings run;
    const ParseOutcome parsed = parse_options(args, options, run);
    if (!parsed.ok) {
        std::fputs(parsed.message.c_str(), stdout);
        std::fputs(kUsageText, stdout);
        std::fflush(stdout);
        return kExitUsage;
    }
    // Whole-program tests give every run a pairing port of its own, so that
    // two runs on one machine never meet on the product's port.
    if (const char* port = std::getenv("SORVANE_PAIRING_PORT"); port != nullptr && *port != '\0') {
        run.pairing_port = static_cast<uint16_t>(std::strtoul(port, nullptr, 10));
    }
    // They point the update check at a local server and make its first check come sooner.
    if (const char* url = std::getenv("SORVANE_UPDATE_URL"); url != nullptr) run.update_url = url;
    if (const char* ca = std::getenv("SORVANE_UPDATE_CA"); ca != nullptr) run.update_ca_file = ca;
    if (const char* first = std::getenv("SORVANE_UPDATE_FIRST_S"); first != nullptr && *first != '\0') {
        run.update_first_seconds = static_cast<uint32_t>(std::strtoul(first, nullptr, 10));
    }
    // They also raise the one-device limit to show several devices streaming at once.
    if (const char* devices = std::getenv("SORVANE_MAX_DEVICES"); devices != nullptr && *devices != '\0') {
        options.max_devices = std::clamp<size_t>(std::strtoull(devices, nullptr, 10), 1, options.max_sessions);
    }
    if (parsed.gpu_pref_restarted) g_gpu_pref_restarted.store(true);
    if (parsed.no_gpu_pref) g_no_gpu_pref.store(true);

    // No thread exists yet: from here on the control signals reach only the
    // console control handler.
    platform::prepare_process_signals();

    if (run.console) {
        platform::set_console_output_utf8();
    } else {
        platform::detach_console();
    }

    auto clock = platform::make_system_clock();
    auto paths = platform::make_system_paths();
    auto network = platform::make_system_network_info();
    auto protector = platform::make_user_data_protector();
    open_log(run.console, host_paths(*paths).log_dir);
    // The crash handlers, installed first in main, now also write their
    // lines to the log. Resume detection comes after the signal set-up,
    // since the power listener is a thread.
    set_crash_log_file(platform::join_path(host_paths(*paths).log_dir, "sorvane-host.log"));
    register_power_notifications(platform::power_notifications());

    std::unique_ptr<platform::InstanceGuard> instance;
    if (!run.console) {
        if (!run.bind_given) {
            options.bind_address = "0.0.0.0";
            log("[host] tepsi modu: tum aglara baglaniyor (0.0.0.0) -- mTLS kimligi zaten dogruluyor (K16)");
        }
        if (!g_no_gpu_pref.load() && run_gpu_preference_step(g_gpu_pref_restarted.load())) return 0;
        bool already = false;
        instance = platform::create_instance_guard("SorvaneHostSingleInstance", already);
        if (already) {
            platform::request_running_instance_panel();
            return 0;
        }
    }

    int exit_code = 0;
    {
        // Tray mode's own features outlive the runtime, whose tray refers to them.
        std::unique_ptr<TrayFeatures> features;
        HostRuntime runtime(HostPlatform{clock.get(), paths.get(), network.get(), protector.get()},
                            g_stop_requested);
        if (!runtime.start_host(options, run)) {
            runtime.stop_host();
            exit_code = 1;
        } else if (run.console) {
            console_wait(*clock, g_stop_requested, run.run_seconds);
            runtime.stop_host();
        } else {
            features = std::make_unique<TrayFeatures>(*clock, run);
            runtime.set_tray_extras(features->extras());
            exit_code = runtime.run_tray();
        }
        instance.reset();
        runtime.teardown_host();
    }
    return exit_code;
}

}  // namespace sorvane
