// The Windows heap maps blocks above its virtual-allocation limit on their
// own and releases them when freed; there is nothing to set.
#include "platform/heap.h"

namespace sorvane::platform {

bool release_large_blocks_when_freed() { return true; }

}  // namespace sorvane::platform
