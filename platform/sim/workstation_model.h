// The simulated machine's user account, hardware figures and security
// products: what a problem report reads about the machine. The processor's
// name lives in the registry, where Windows keeps it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/json.h"

namespace sorvane::sim {

inline constexpr const char* kProcessorKey = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
inline constexpr const char* kProcessorName = "Simulated x64 Processor @ 3.00GHz";

class WorkstationModel {
public:
    static constexpr const char* kName = "workstation";

    // The account running the programs (GetUserNameW) and the folder of its
    // profile, C:\Users\<profile_folder>: renaming an account changes the
    // first, never the second, as on Windows.
    std::string user_name = "SimUser";
    std::string profile_folder = "SimUser";
    uint32_t logical_processors = 8;
    uint64_t memory_bytes = 16ull << 30;
    // WMI answers; the Security Center namespace exists (not on servers).
    bool wmi = true;
    bool security_center = true;
    std::vector<std::string> antivirus = {"Windows Defender"};
    std::vector<std::string> firewall_products;

    Json to_json() const;
    bool from_json(const Json& j, std::string& error);
};

// "C:\Users\<profile folder>".
std::string profile_path(const WorkstationModel& w);

}  // namespace sorvane::sim
