// The crash port's part that Windows threads need: a reserve of stack that a
// thread overflowing its own still has for the unhandled-exception filter.
#include <windows.h>

#include "platform/crash.h"

namespace sorvane::platform {

bool install_thread_fault_stack() {
    ULONG reserve = 64 * 1024;
    return SetThreadStackGuarantee(&reserve) != 0;
}

}  // namespace sorvane::platform
