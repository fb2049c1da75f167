// The Windows facts the installer tools decide on: the process token
// (elevation, user), the interactive user, the processor architecture, the
// console's OEM code page, the display language, the system folder and the
// system's message texts; and what a problem report tells about the machine:
// the user, the system's version, processors, memory and the security
// products the system knows. On Linux these come from the simulated machine
// ($SORVANE_SIM_ROOT), never from the Linux process: elevation is the
// simulated token's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvane::platform {

class ISystemInfo {
public:
    virtual ~ISystemInfo() = default;

    // TokenElevation of the process token; false when it cannot be read.
    virtual bool token_elevated() = 0;
    // The process token's user as a string SID.
    virtual bool token_user_sid(std::string& sid) = 0;
    // The user of the first "explorer.exe" process in the active console
    // session; false when there is none.
    virtual bool console_user_sid(std::string& sid) = 0;
    // "x64", "arm64", "x86" (the native processor architecture).
    virtual std::string native_architecture() = 0;
    virtual bool computer_name(std::string& out) = 0;
    // The console's OEM code page (437, 850, 857, ...).
    virtual uint32_t oem_code_page() = 0;
    // The user interface language, like "en-US" or "tr-TR".
    virtual std::string display_language() = 0;
    // The folder of the system programs (C:\Windows\System32).
    virtual std::string system_directory() = 0;
    // The system's message text for a Win32/HRESULT code, without trailing
    // line breaks and blanks; empty when the system has none.
    virtual std::string format_message(uint32_t code) = 0;

    // The name of the user running the process (GetUserNameW), UTF-8.
    virtual bool user_name(std::string& out) = 0;
    // The user's profile folder ("USERPROFILE", like C:\Users\name), UTF-8.
    virtual bool user_profile(std::string& out) = 0;
    // The system's own version (RtlGetVersion): major version and build number.
    virtual bool os_version(uint32_t& major, uint32_t& build) = 0;
    // Logical processors the system runs.
    virtual uint32_t logical_processors() = 0;
    // Total physical memory in bytes; 0 when unknown.
    virtual uint64_t physical_memory_bytes() = 0;
};

std::unique_ptr<ISystemInfo> make_system_info();

// Windows Security Center (WMI namespace ROOT\SecurityCenter2): the security
// products registered with the system.
enum class SecurityCenterStatus {
    ok,
    wmi_unavailable,  // the WMI locator could not be created
    unreachable,      // no such namespace (server editions) or the service is off
};

class ISecurityCenter {
public:
    virtual ~ISecurityCenter() = default;
    virtual SecurityCenterStatus connect() = 0;
    // "SELECT displayName FROM <product_class>" ("AntiVirusProduct",
    // "FirewallProduct"): the display names in the order WMI returns them.
    // False when the query failed.
    virtual bool products(const std::string& product_class, std::vector<std::string>& names) = 0;
};

std::unique_ptr<ISecurityCenter> make_security_center();

// A program's file name on this platform ("name.exe" on Windows, "name" elsewhere).
std::string executable_name(const std::string& name);

}  // namespace sorvane::platform
