// How a session names the monitor it captures: the adapter LUID and target id
// the driver reported, or a substring of the monitor's device id.
#pragma once

#include <cstdint>
#include <string>

namespace sorvane {

struct MonitorRef {
    bool by_target = false;
    uint64_t adapter_luid = 0;
    uint32_t target_id = 0;
    std::string device_id;  // UTF-8; used when by_target is false
};

// "target %08lx:%08lx/%u" or "monitor '<device id>'" with every character
// above 127 written as "?".
std::string monitor_ref_text(const MonitorRef& ref);

}  // namespace sorvane
