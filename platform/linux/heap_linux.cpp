#include "platform/heap.h"

#include <malloc.h>

namespace sorvane::platform {

bool release_large_blocks_when_freed() {
#if defined(__GLIBC__) && defined(M_MMAP_THRESHOLD)
    // Setting the threshold also turns off its rise when a mapped block is
    // freed. A 1280x720 NV12 picture is 1.3 MiB, an encoded frame, even a key
    // frame at the highest rate, a few hundred KiB.
    return mallopt(M_MMAP_THRESHOLD, 1 << 20) == 1;
#else
    return true;
#endif
}

}  // namespace sorvane::platform
