// Another process opened for waiting on its end, by its id (SYNCHRONIZE
// access on Windows, a pidfd on Linux): the handle keeps naming that process
// even after its id is given to a new one.
#pragma once

#include <cstdint>
#include <memory>

namespace sorvane::platform {

class ProcessWatch {
public:
    virtual ~ProcessWatch() = default;
    // True once the process has ended; does not block.
    virtual bool ended() = 0;
};

// Null when the process does not exist or may not be opened.
std::unique_ptr<ProcessWatch> open_process_watch(uint32_t process_id);

}  // namespace sorvane::platform
