#include <windows.h>

#include "platform/process_wait.h"

namespace sorvane::platform {

namespace {

class HandleWatch final : public ProcessWatch {
public:
    explicit HandleWatch(HANDLE h) : h_(h) {}
    ~HandleWatch() override { CloseHandle(h_); }
    HandleWatch(const HandleWatch&) = delete;
    HandleWatch& operator=(const HandleWatch&) = delete;

    bool ended() override { return WaitForSingleObject(h_, 0) == WAIT_OBJECT_0; }

private:
    HANDLE h_;
};

}  // namespace

std::unique_ptr<ProcessWatch> open_process_watch(uint32_t process_id) {
    if (process_id == 0) return nullptr;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, process_id);
    if (h == nullptr) return nullptr;
    return std::make_unique<HandleWatch>(h);
}

}  // namespace sorvane::platform
