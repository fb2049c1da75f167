// Suspend and resume notifications through RegisterSuspendResumeNotification
// in its callback form: the system calls back on a thread of its own. The
// function is looked up at run time, so a system without it reports the
// registration failed instead of refusing to load the program.
#include <windows.h>

#include <mutex>
#include <vector>

#include "platform/power.h"

namespace sorvane::platform {

namespace {

using CallbackRoutine = ULONG(CALLBACK*)(PVOID context, ULONG type, PVOID setting);
struct SubscribeParameters {  // DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS
    CallbackRoutine callback;
    PVOID context;
};
using RegisterFn = HPOWERNOTIFY(WINAPI*)(HANDLE recipient, DWORD flags);
constexpr DWORD kDeviceNotifyCallback = 2;

class Win32PowerNotifications final : public IPowerNotifications {
public:
    bool register_callback(std::function<void(uint32_t type)> callback, uint32_t& error) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handle_ == nullptr) {
            auto fn = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(
                GetProcAddress(LoadLibraryW(L"user32.dll"), "RegisterSuspendResumeNotification")));
            if (fn == nullptr) {
                error = ERROR_PROC_NOT_FOUND;
                return false;
            }
            params_.callback = &Win32PowerNotifications::deliver;
            params_.context = this;
            handle_ = fn(&params_, kDeviceNotifyCallback);
            if (handle_ == nullptr) {
                error = GetLastError();
                return false;
            }
        }
        callbacks_.push_back(std::move(callback));
        return true;
    }

private:
    static ULONG CALLBACK deliver(PVOID context, ULONG type, PVOID) {
        auto* self = static_cast<Win32PowerNotifications*>(context);
        std::vector<std::function<void(uint32_t)>> callbacks;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            callbacks = self->callbacks_;
        }
        for (auto& cb : callbacks) cb(type);
        return 0;
    }

    std::mutex mutex_;
    SubscribeParameters params_{};
    HPOWERNOTIFY handle_ = nullptr;  // kept for the life of the process
    std::vector<std::function<void(uint32_t)>> callbacks_;
};

}  // namespace

IPowerNotifications& power_notifications() {
    static Win32PowerNotifications notifications;
    return notifications;
}

}  // namespace sorvane::platform
