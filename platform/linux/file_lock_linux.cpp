#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_lock.h"

namespace sorvane::platform {
namespace {

class FlockFile final : public FileLock {
public:
    explicit FlockFile(int fd) : fd_(fd) {}
    ~FlockFile() override {
        flock(fd_, LOCK_UN);
        close(fd_);
    }

private:
    int fd_;
};

}  // namespace

std::unique_ptr<FileLock> lock_file(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    int r;
    do {
        r = flock(fd, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<FlockFile>(fd);
}

}  // namespace sorvane::platform
