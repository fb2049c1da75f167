#include <sys/random.h>

#include <cerrno>

#include "platform/random.h"

namespace sorvane::platform {

bool secure_random(void* buf, size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n > 0) {
        const ssize_t got = getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

uint32_t random_u32() {
    uint32_t v = 0;
    if (!secure_random(&v, sizeof v)) return 0;
    return v;
}

}  // namespace sorvane::platform
