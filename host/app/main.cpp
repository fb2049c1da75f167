#include "host/app/entry.h"
#include "host/core/crash.h"

int main(int argc, char** argv) {
    // Before anything else: a crash from here on leaves its record (and its
    // log line once the log is open).
    sorvane::install_crash_handlers(sorvane::default_crash_folder());
    return sorvane::host_main(argc, argv);
}
