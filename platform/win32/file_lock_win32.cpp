// The lock file's exclusive byte-range lock through LockFileEx, which waits
// while another handle (of this or another process) holds it. The file stays
// open for every kind of sharing so that others can open it to wait.
#include <windows.h>

#include "platform/file_lock.h"
#include "platform/win32/win32_text.h"

namespace sorvane::platform {
namespace {

class LockedFile final : public FileLock {
public:
    explicit LockedFile(HANDLE file) : file_(file) {}
    ~LockedFile() override {
        OVERLAPPED at{};
        UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &at);
        CloseHandle(file_);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

private:
    HANDLE file_;
};

}  // namespace

std::unique_ptr<FileLock> lock_file(const std::string& path) {
    const std::wstring wide = win32::widen(path);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    // The whole range, from offset 0: every locker names the same bytes.
    OVERLAPPED at{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at)) {
        CloseHandle(file);
        return nullptr;
    }
    return std::make_unique<LockedFile>(file);
}

}  // namespace sorvane::platform
