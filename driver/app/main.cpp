// sorvane-vdd: the process that hosts the virtual display driver, as the
// system hosts a user-mode driver.
//   sorvane-vdd run
// loads the driver on this machine's display framework, serves the control
// pipe and unloads on SIGINT or SIGTERM; the driver writes its log in
// <ProgramData>\Sorvane\VDD\Logs.
//   sorvane-vdd edid <width>x<height>@<hz> [--serial HEX] [--mm <w>x<h>]
// writes the 256-byte EDID a monitor with that mode, serial and physical
// size gets to standard output (inspect it with edid-decode).
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"
#include "driver/core/control_plane.h"
#include "driver/core/edid.h"
#include "driver/core/protocol.h"
#include "driver/core/registry.h"
#include "driver/runtime/vdd_driver.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/device_manager.h"
#include "platform/files.h"
#include "platform/iddcx.h"
#include "platform/paths.h"
#include "platform/registry.h"

namespace {

using namespace sorvane::vdd;
namespace platform = sorvane::platform;

constexpr char kUsage[] =
    "usage: sorvane-vdd run\n"
    "  Loads the virtual display driver and serves its control pipe until SIGINT or SIGTERM.\n"
    "usage: sorvane-vdd edid <width>x<height>@<hz> [--serial HEX] [--mm <w>x<h>]\n"
    "  Writes the 256-byte EDID of a virtual monitor with that mode to standard output.\n"
    "  --serial  EDID serial number in hexadecimal (default 0x00DE0000, the first\n"
    "            slot's serial of a monitor added without a key)\n"
    "  --mm      physical size in millimetres, each side 1..2550 (default: 110 pixels per inch)\n";

int usage_error(const std::string& what) {
    std::fprintf(stderr, "sorvane-vdd: %s\n%s", what.c_str(), kUsage);
    return 2;
}

// "<a>x<b>" with both parts in the protocol's number form.
bool parse_pair(std::string_view text, uint32_t& a, uint32_t& b) {
    const size_t x = text.find('x');
    return x != std::string_view::npos && parse_number(text.substr(0, x), a) && parse_number(text.substr(x + 1), b);
}

bool parse_mode(std::string_view text, Mode& mode) {
    const size_t at = text.find('@');
    return at != std::string_view::npos && parse_pair(text.substr(0, at), mode.width, mode.height) &&
           parse_number(text.substr(at + 1), mode.refresh);
}

bool parse_serial(std::string_view text, uint32_t& out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.remove_prefix(2);
    return sorvane::parse_hex_u32(text, out);
}

int edid_command(const std::vector<std::string_view>& args) {
    if (args.empty()) return usage_error("missing mode");
    Mode mode;
    if (!parse_mode(args[0], mode)) return usage_error("bad mode '" + std::string(args[0]) + "'");
    uint32_t serial = base_serial(std::nullopt, 0);
    uint32_t width_mm = 0;
    uint32_t height_mm = 0;
    for (size_t i = 1; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return usage_error("missing value of " + std::string(args[i]));
        if (args[i] == "--serial") {
            if (!parse_serial(args[i + 1], serial)) return usage_error("bad serial");
        } else if (args[i] == "--mm") {
            if (!parse_pair(args[i + 1], width_mm, height_mm) || check_size_mm(width_mm, height_mm) != nullptr) {
                return usage_error("bad physical size");
            }
        } else {
            return usage_error("unknown option " + std::string(args[i]));
        }
    }
    // The same limits a monitor request must pass, so the output is an EDID
    // the driver could actually hand out.
    if (const char* detail = check_mode_shape(mode.width, mode.height, mode.refresh)) {
        return usage_error(std::string("mode not allowed (") + detail + ")");
    }
    if (const char* detail = check_pixel_clock(mode.width, mode.height, mode.refresh)) {
        return usage_error(std::string("mode not allowed (") + detail + ")");
    }
    const ControlConfig config;
    const EdidInput input{config.edid_maker, config.product_code, serial,   config.name, mode.width,
                          mode.height,       mode.refresh,        width_mm, height_mm};
    std::string detail;
    const std::vector<uint8_t> edid = build_edid(input, detail);
    if (edid.empty()) return usage_error("cannot build the EDID (" + detail + ")");
    if (std::fwrite(edid.data(), 1, edid.size(), stdout) != edid.size() || std::fflush(stdout) != 0) {
        std::fprintf(stderr, "sorvane-vdd: cannot write to standard output\n");
        return 1;
    }
    return 0;
}

// The driver is loaded for its root device node only: a present node with the
// hardware id Root\SorvaneVDD that is bound to an installed driver package
// (it then has the package's service) and has no driver loaded yet (one
// driver instance per device node). Empty when there is one (its instance id
// in instance); else why not.
std::string device_node_problem(std::string& instance) {
    auto devices = platform::make_device_manager();
    platform::DeviceInfoSet set;
    const uint32_t rc = devices->get_class_devs("ROOT", true, set);
    if (rc != 0) return "cannot list the root device nodes (error " + std::to_string(rc) + ")";
    bool found = false;
    std::string loaded;
    for (const auto& dev : set.elements) {
        std::vector<uint8_t> ids;
        if (devices->get_registry_property(dev, platform::kSpdrpHardwareId, ids) != 0) continue;
        std::vector<std::string> list;
        if (!platform::read_multi_sz({platform::kRegMultiSz, ids}, list)) continue;
        bool ours = false;
        for (const auto& id : list) ours = ours || sorvane::ascii_lower(id) == "root\\sorvanevdd";
        if (!ours) continue;
        found = true;
        std::vector<uint8_t> service;
        if (devices->get_registry_property(dev, platform::kSpdrpService, service) != 0 || service.size() <= 2) continue;
        uint32_t status = 0;
        uint32_t problem = 0;
        if (devices->get_devnode_status(dev, status, problem) == platform::kCrSuccess &&
            (status & platform::kDnDriverLoaded) != 0) {
            loaded = dev.instance_id;
            continue;
        }
        instance = dev.instance_id;
        return {};
    }
    if (!loaded.empty()) {
        return "the Root\\SorvaneVDD device node " + loaded +
               " already has a loaded driver (another sorvane-vdd run serves it; one driver per device node)";
    }
    return found ? "the Root\\SorvaneVDD device node is not bound to the installed driver package"
                 : "no Root\\SorvaneVDD device node (install the driver with sorvane-setup)";
}

int run_driver() {
    platform::prepare_process_signals();
    std::string instance;
    const std::string problem = device_node_problem(instance);
    if (!problem.empty()) {
        std::fprintf(stderr, "sorvane-vdd: the driver is not loaded: %s\n", problem.c_str());
        return 1;
    }
    auto clock = platform::make_system_clock();
    std::string program_data;
    if (!platform::make_system_paths()->program_data(program_data)) {
        std::fprintf(stderr, "sorvane-vdd: no ProgramData folder\n");
        return 1;
    }
    platform::create_directories(driver_data_folder(program_data));
    DriverLog log(*clock, driver_log_folder(program_data));
    install_driver_log(&log);

    std::mutex mutex;
    std::condition_variable cv;
    bool stop = false;
    auto handler = platform::install_console_control_handler([&](platform::ControlEvent) {
        std::lock_guard<std::mutex> g(mutex);
        stop = true;
        cv.notify_all();
    });
    auto registry = platform::make_system_registry();
    int rc = 0;
    {
        auto iddcx = platform::make_system_iddcx(instance);
        VirtualDisplayDriver driver(*iddcx, *clock, *registry);
        driver.driver_entry();
        const uint32_t status = driver.device_add();
        if (status != 0) {
            // Another process may have loaded the node's driver meanwhile.
            std::string now;
            const std::string why = device_node_problem(now);
            std::fprintf(stderr, "sorvane-vdd: device add failed: %s%s%s\n", hex_short(status).c_str(),
                         why.empty() ? "" : ": ", why.c_str());
            rc = 1;
        } else {
            std::printf("sorvane-vdd: driver loaded; log folder %s\n", log.folder().c_str());
            std::fflush(stdout);
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [&] { return stop; });
        }
        driver.unload();
    }
    if (handler) handler->uninstall();
    install_driver_log(nullptr);
    std::printf("sorvane-vdd: driver unloaded\n");
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.empty()) return usage_error("missing command");
    if (args[0] == "run") return args.size() == 1 ? run_driver() : usage_error("run takes no arguments");
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (args[0] == "edid") return edid_command({args.begin() + 1, args.end()});
    return usage_error("unknown command '" + std::string(args[0]) + "'");
}
