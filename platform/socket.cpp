#include "platform/socket.h"

#include <cinttypes>
#include <cstdio>

namespace sorvane::platform {

std::string address_text(uint32_t address) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%" PRIu32 ".%" PRIu32 ".%" PRIu32 ".%" PRIu32, (address >> 24) & 0xFFu,
                  (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
    return buf;
}

std::string endpoint_text(const Endpoint& endpoint) {
    return address_text(endpoint.address) + ":" + std::to_string(endpoint.port);
}

bool parse_ipv4(std::string_view text, uint32_t& address) {
    uint32_t result = 0;
    size_t pos = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (octet > 0) {
            if (pos >= text.size() || text[pos] != '.') return false;
            ++pos;
        }
        uint32_t value = 0;
        size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<uint32_t>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) return false;
        result = (result << 8) | value;
    }
    if (pos != text.size()) return false;
    address = result;
    return true;
}

}  // namespace sorvane::platform
