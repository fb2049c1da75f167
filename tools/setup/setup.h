// sorvane-setup: the elevated installer helper. Signs and installs the driver
// package, grants the driver's control pipe to the user, creates the root
// device through sorvane-devtool, records the installation, adds the
// firewall rules, and removes all of it again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/code_signing.h"
#include "platform/firewall.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/system_info.h"

namespace sorvane::setup {

inline constexpr const char* kHardwareId = "Root\\SorvaneVDD";
inline constexpr const char* kDeviceDescription = "Sorvane Virtual Display Adapter";
inline constexpr const char* kProvider = "Sorvane";
inline constexpr const char* kInfName = "SorvaneVDD.inf";
inline constexpr const char* kCatName = "sorvanevdd.cat";
inline constexpr const char* kDllName = "SorvaneVDD.dll";
inline constexpr const char* kInstallKey = "SOFTWARE\\Sorvane\\Install";
inline constexpr const char* kDriverKey = "SOFTWARE\\Sorvane\\VDD";
inline constexpr const char* kProductKey = "SOFTWARE\\Sorvane";
inline constexpr const char* kKeyPrefix = "SorvaneDriverSigning-";
inline constexpr const char* kSubjectPrefix = "Sorvane Driver Signing (";
inline constexpr uint64_t kChildTimeoutMs = 600'000;

// The ports the tool works through.
struct Ports {
    platform::IRegistry& registry;
    platform::ISystemInfo& system;
    platform::ICodeSigning& signing;
    platform::IFirewallPolicy& firewall;
    platform::IProcessRunner& runner;
    platform::IClock& clock;
    platform::IPaths& paths;
    // Receives each console line (without its line break).
    std::function<void(std::string_view)> console;
};

// Runs the command line (the arguments after the program name); returns the
// exit code.
int run(const std::vector<std::string>& args, Ports& ports);

// One driver-store package of this product, as read from pnputil.
struct DriverPackage {
    std::string published_name;
    std::string inf_name;
    std::string provider;
    std::string version;
};

// The packages of this product in "pnputil /enum-drivers" output (UTF-8,
// either line end, any language).
std::vector<DriverPackage> parse_driver_packages(std::string_view output);

// True when the output of "pnputil /enum-devices" shows our adapter started:
// its block (up to the next empty line) holds "Started", "Başlatıldı" or "Baslat".
bool device_started(std::string_view output);

// "%u.%u.%u" (missing parts 0) compared part by part: <0, 0, >0.
int compare_versions(std::string_view a, std::string_view b);

// The certificate's end of validity: the same date and time ten years on,
// 29 February becoming 28 February.
platform::CivilTime ten_years_after(const platform::CivilTime& t);

}  // namespace sorvane::setup
