#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

#include "platform/random.h"

namespace sorvane::platform {

bool secure_random(void* buf, size_t n) {
    auto* p = static_cast<UCHAR*>(buf);
    while (n > 0) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(n, 0x10000000u));
        if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
        p += chunk;
        n -= chunk;
    }
    return true;
}

uint32_t random_u32() {
    uint32_t v = 0;
    if (!secure_random(&v, sizeof v)) return 0;
    return v;
}

}  // namespace sorvane::platform
