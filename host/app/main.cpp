#include "host/app/entry.h"
#include "host/core/crash.h"
#include "platform/heap.h"

int main(int argc, char** argv) {
    // Before anything else: a crash from here on leaves its record (and its
    // log line once the log is open).
    sorvane::install_crash_handlers(sorvane::default_crash_folder());
    // Each session's pictures and encoder buffers go back to the system when
    // the session ends, so reconnecting all day does not grow the host. A
    // heap that refuses (a sanitizer's) only keeps more memory resident.
    (void)sorvane::platform::release_large_blocks_when_freed();
    return sorvane::host_main(argc, argv);
}
