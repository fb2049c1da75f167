// A lock that several processes take on one file (an advisory lock on a lock
// file beside the data it guards). Blocks until the lock is held.
#pragma once

#include <memory>
#include <string>

namespace sorvane::platform {

class FileLock {
public:
    virtual ~FileLock() = default;  // releases the lock
};

// Opens (creating when missing) the lock file at path and waits for its
// exclusive lock. Null when the file cannot be opened or locked.
std::unique_ptr<FileLock> lock_file(const std::string& path);

}  // namespace sorvane::platform
