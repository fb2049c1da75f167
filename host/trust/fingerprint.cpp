#include "host/trust/fingerprint.h"

#include "common/text.h"
#include "platform/crypto.h"

namespace sorvane {

bool certificate_fingerprint(const std::vector<uint8_t>& der, Fingerprint& out) {
    platform::Sha256Digest digest{};
    const bool ok = platform::sha256(der.data(), der.size(), digest);
    out = digest;
    return ok;
}

std::string to_hex(const Fingerprint& fingerprint) { return to_hex(fingerprint.data(), fingerprint.size()); }

}  // namespace sorvane
