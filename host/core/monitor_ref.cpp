#include "host/core/monitor_ref.h"

#include <cinttypes>
#include <cstdio>

namespace sorvane {

std::string monitor_ref_text(const MonitorRef& ref) {
    if (ref.by_target) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "target %08" PRIx32 ":%08" PRIx32 "/%" PRIu32,
                      static_cast<uint32_t>(ref.adapter_luid >> 32), static_cast<uint32_t>(ref.adapter_luid),
                      ref.target_id);
        return buf;
    }
    // One "?" per character: a UTF-8 sequence counts once.
    std::string out = "monitor '";
    for (size_t i = 0; i < ref.device_id.size(); ++i) {
        const auto c = static_cast<unsigned char>(ref.device_id[i]);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if ((c & 0xC0) != 0x80) {
            out.push_back('?');
        }
    }
    out.push_back('\'');
    return out;
}

}  // namespace sorvane
