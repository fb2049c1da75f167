#include "host/core/options.h"

#include <cstdio>

namespace sorvane {

std::atomic<bool> g_gpu_pref_restarted{false};
std::atomic<bool> g_no_gpu_pref{false};

std::string protocol_text(uint16_t version) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u.%u (0x%04X)", static_cast<unsigned>(version >> 8),
                  static_cast<unsigned>(version & 0xFF), static_cast<unsigned>(version));
    return buf;
}

std::string ipv4_text(uint32_t a) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", static_cast<unsigned>(a >> 24), static_cast<unsigned>(a >> 16 & 0xFF),
                  static_cast<unsigned>(a >> 8 & 0xFF), static_cast<unsigned>(a & 0xFF));
    return buf;
}

}  // namespace sorvane
